// termios2 with BOTHER: any baud rate (5760 included) on Linux. Only
// <asm/termbits.h> here: it clashes with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "link/serial_device_posix.h"

namespace vr {

bool LinuxSetBaudRate(int fd, uint32_t baud) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

bool LinuxGetBaudRate(int fd, uint32_t& baud) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  baud = tio.c_ospeed;
  return true;
}

}  // namespace vr
