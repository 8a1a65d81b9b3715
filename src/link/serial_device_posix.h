#pragma once
// The POSIX backend of ISerialDevice (serial_device_posix.cpp) and its Linux
// helpers (serial_device_linux.cpp, kept apart because <asm/termbits.h>, which
// has termios2 and BOTHER, clashes with <termios.h>).
#include <cstdint>
#include <memory>
#include <string>

#include "link/serial_device.h"

namespace vr {

// Opens a terminal device exclusively (O_RDWR | O_NOCTTY | O_NONBLOCK, a
// non-blocking flock and TIOCEXCL) and puts it into raw mode; nullptr when it
// is missing, not a terminal or in use. OpenPlatformSerialDevice(n) calls it
// with SerialDevicePath(n); tests call it with a pseudo-terminal's path.
std::unique_ptr<ISerialDevice> OpenPosixSerialDevice(const std::string& path);

#ifdef __linux__
// Any baud rate, through termios2 with BOTHER (TCGETS2 / TCSETS2).
bool LinuxSetBaudRate(int fd, uint32_t baud);
// The output speed as the kernel holds it (termios2 c_ospeed).
bool LinuxGetBaudRate(int fd, uint32_t& baud);
#endif

}  // namespace vr
