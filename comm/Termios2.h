// The kernel's termios with explicit speeds (asm/termbits.h cannot be
// included next to <termios.h>); TCGETS2/TCSETS2 refer to this name.
#pragma once

#include <termios.h>

struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
