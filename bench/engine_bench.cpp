// Client engine throughput against a loopback device that answers every read of holding
// registers at once: sequential round trips, and pipelined with 100 and 1000 in flight.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>
#include <thread>
#include <vector>

#include "client/client_core.hpp"

using namespace tessaly;
using Clock = std::chrono::steady_clock;

namespace {

// Answers each request with 10 registers; reads in bulk and writes all answers of one read
// together, so the device is not the bottleneck of the pipelined runs.
void serve(int listener) {
  const int fd = ::accept(listener, nullptr, nullptr);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<std::uint8_t> in(1 << 16), out;
  std::size_t fill = 0;
  for (;;) {
    const ssize_t n = ::read(fd, in.data() + fill, in.size() - fill);
    if (n <= 0) break;
    fill += static_cast<std::size_t>(n);
    std::size_t pos = 0;
    out.clear();
    while (fill - pos >= 6) {
      const std::size_t size = ((in[pos + 4] << 8) | in[pos + 5]) + 6u;
      if (fill - pos < size) break;
      const std::uint8_t reply[9] = {in[pos], in[pos + 1], 0, 0, 0, 23, in[pos + 6], 0x03, 20};
      out.insert(out.end(), reply, reply + 9);
      for (int i = 0; i < 10; ++i) out.push_back(0), out.push_back(static_cast<std::uint8_t>(i));
      pos += size;
    }
    std::memmove(in.data(), in.data() + pos, fill - pos);
    fill -= pos;
    for (std::size_t done = 0; done < out.size();) {
      const ssize_t w = ::write(fd, out.data() + done, out.size() - done);
      if (w <= 0) return;
      done += static_cast<std::size_t>(w);
    }
  }
  ::close(fd);
}

std::uint16_t start_device(std::thread& thread) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener, 4);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  thread = std::thread([listener] {
    serve(listener);
    ::close(listener);
  });
  return ntohs(address.sin_port);
}

core::ClientRequest read10() {
  return core::ClientRequest{1, core::ClientRequest::ReadHoldingRegisters{0, 10}};
}

// For reference: a plain blocking socket that writes one request and reads its answer, no engine at
// all.
double run_raw_socket(std::size_t total) {
  std::thread device;
  const std::uint16_t port = start_device(device);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::uint8_t request[12] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10}, reply[64];
  const auto start = Clock::now();
  for (std::size_t i = 0; i < total; ++i) {
    if (::write(fd, request, sizeof request) != sizeof request) break;
    std::size_t got = 0;
    while (got < 29) {
      const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  device.join();
  return static_cast<double>(total) / seconds;
}

double run(std::size_t in_flight, std::size_t total) {
  std::thread device;
  const std::uint16_t port = start_device(device);
  double rate = 0;
  {
    auto handle = engine::ClientHandle::create_tcp("127.0.0.1", port, 5000);
    if (!handle->connect()) return 0;
    for (int i = 0; i < 1000; ++i) (void)handle->request(read10());  // warm up
    const auto start = Clock::now();
    std::deque<engine::Call> window;
    std::size_t failures = 0;
    for (std::size_t sent = 0; sent < total; ++sent) {
      if (in_flight == 1) {  // one caller blocking on each request, as a blocking client does
        if (!handle->request(read10())) ++failures;
        continue;
      }
      if (window.size() == in_flight) {
        if (!window.front().wait()) ++failures;
        window.pop_front();
      }
      window.push_back(*handle->submit(read10()));
    }
    for (auto& call : window)
      if (!call.wait()) ++failures;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rate = static_cast<double>(total) / seconds;
    if (failures) std::printf("  (%zu failures)\n", failures);
  }
  device.join();
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  const double raw = run_raw_socket(30000);
  const double sequential = run(1, 30000);
  if (argc > 1 && std::string_view(argv[1]) == "sequential") {
    std::printf("raw %.0f req/s, sequential %.0f req/s (%.2f of raw)\n", raw, sequential,
                sequential / raw);
    return 0;
  }
  const double hundred = run(100, 300000);
  const double thousand = run(1000, 300000);
  std::printf("engine, read 10 holding registers over loopback TCP\n");
  std::printf("  plain blocking socket  : %9.0f req/s (no engine)\n", raw);
  std::printf("  sequential round trips : %9.0f req/s\n", sequential);
  std::printf("  100 in flight          : %9.0f req/s\n", hundred);
  std::printf("  1000 in flight         : %9.0f req/s\n", thousand);
}
