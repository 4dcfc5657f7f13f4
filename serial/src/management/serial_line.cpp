// Raw, exclusive line set-up with arbitrary baud rates (termios2 with BOTHER).
#include "management/serial_line.hpp"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tessaly::serial {

namespace {

bool configure(int fd, const SerialConfig& config) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) < 0) return false;
  // Raw mode: no input processing, no output processing, no echo, no signals.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CBAUD);
  tio.c_cflag |= CREAD | CLOCAL | BOTHER;
  switch (config.data_bits) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    default:
      tio.c_cflag |= CS8;
      break;
  }
  if (config.parity != Parity::None) tio.c_cflag |= PARENB;
  if (config.parity == Parity::Odd) tio.c_cflag |= PARODD;
  if (config.stop_bits == 2) tio.c_cflag |= CSTOPB;
  tio.c_ispeed = config.baud_rate;
  tio.c_ospeed = config.baud_rate;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD << IBSHIFT);
  tio.c_cflag |= BOTHER << IBSHIFT;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace

int open_line(const SerialConfig& config) {
  const int fd = ::open(config.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (ioctl(fd, TIOCEXCL) < 0 || !configure(fd, config)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int output_queue(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) < 0 ? -1 : queued;
}

}  // namespace tessaly::serial
