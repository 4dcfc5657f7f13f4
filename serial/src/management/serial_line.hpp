// Device set-up through termios2, kept apart from code that includes <termios.h>.
#pragma once

#include "management/serial_transport.hpp"

namespace tessaly::serial {

// Opens and configures the line; the descriptor is non-blocking. Returns -1 on any failure.
int open_line(const SerialConfig& config);
// Bytes written but not yet transmitted, or -1.
int output_queue(int fd);

}  // namespace tessaly::serial
