#ifndef _WIN32

#include "PosixLine.h"

#include <sys/ioctl.h>

namespace comm::posix {

namespace {

constexpr tcflag_t kBother = 0010000;       // BOTHER: speed given in c_ospeed
constexpr tcflag_t kCbaud = 0010017;        // CBAUD
constexpr tcflag_t kCibaud = 002003600000;  // CIBAUD
constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

struct BaudCode {
  speed_t rate;
  tcflag_t code;
};
constexpr BaudCode kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},        {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},        {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},      {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},  {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

void SetSpeed(termios2& t, speed_t rate) {
  tcflag_t code = kBother;
  for (const auto& b : kBauds)
    if (b.rate == rate) code = b.code;
  t.c_cflag &= ~(kCbaud | kCibaud);
  t.c_cflag |= code;
  t.c_ispeed = t.c_ospeed = rate;
}

}  // namespace

bool LineFromDcb(const DCB& d, termios2& out) {
  if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
      d.StopBits > TWOSTOPBITS || (d.StopBits == ONE5STOPBITS && d.ByteSize != 5) ||
      ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar))
    return false;
  termios2 t = out;
  SetSpeed(t, d.BaudRate);
  t.c_cflag &= ~kLineBits;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[d.ByteSize - 5];
  switch (d.Parity) {
    case ODDPARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case SPACEPARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // 1.5 stop bits exist only with 5 data bits, where CSTOPB means just that.
  if (d.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | INPCK);
  if (d.fOutX) t.c_iflag |= IXON;
  if (d.fInX) t.c_iflag |= IXOFF;
  if (d.fParity) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  out = t;
  return true;
}

void DcbFromLine(const termios2& t, DCB& d) {
  d.BaudRate = t.c_ospeed;
  d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
  d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
  d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
  d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d.ByteSize = 5;
      break;
    case CS6:
      d.ByteSize = 6;
      break;
    case CS7:
      d.ByteSize = 7;
      break;
    default:
      d.ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB))
    d.Parity = NOPARITY;
  else if (t.c_cflag & CMSPAR)
    d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  if (!(t.c_cflag & CSTOPB))
    d.StopBits = ONESTOPBIT;
  else
    d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

void MakeRaw(termios2& t) {
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                 INPCK | IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  t.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

bool SameLine(const termios2& want, const termios2& got) {
  constexpr tcflag_t imask = IXON | IXOFF | INPCK;
  if ((want.c_cflag & kLineBits) != (got.c_cflag & kLineBits)) return false;
  if ((want.c_iflag & imask) != (got.c_iflag & imask)) return false;
  if (want.c_cc[VSTART] != got.c_cc[VSTART] || want.c_cc[VSTOP] != got.c_cc[VSTOP]) return false;
  double w = want.c_ospeed, g = got.c_ospeed;
  return g > 0 && g >= w * 0.97 && g <= w * 1.03;
}

DWORD ModemStatusFromBits(int bits) {
  DWORD s = 0;
  if (bits & TIOCM_CTS) s |= MS_CTS_ON;
  if (bits & TIOCM_DSR) s |= MS_DSR_ON;
  if (bits & TIOCM_RNG) s |= MS_RING_ON;
  if (bits & TIOCM_CAR) s |= MS_RLSD_ON;
  return s;
}

}  // namespace comm::posix

#endif
