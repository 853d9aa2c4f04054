// Linux takes any rate through termios2 and BOTHER. This header clashes with <termios.h>,
// which is why this lives in its own file.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "link/serial_speed.h"

bool set_custom_speed(int fd, std::uint32_t baud_rate) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) {
    return true;
  }
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = baud_rate;
  settings.c_ospeed = baud_rate;
  if (ioctl(fd, TCSETS2, &settings) != 0) {
    return true;
  }
  struct termios2 check {};
  if (ioctl(fd, TCGETS2, &check) != 0) {
    return true;
  }
  return check.c_ospeed != baud_rate || check.c_ispeed != baud_rate;
}
