// The line settings of a DCB in the kernel's termios terms, and the modem
// status bits in Windows terms. Pure functions: they touch no device, so the
// mapping is checked also where the kernel would not take a setting (a pty
// keeps 8 bits without parity).
#pragma once

#ifndef _WIN32

#include "Termios2.h"
#include "WinDefs.h"

namespace comm::posix {

// Puts rate, data bits, parity, stop bits, CTS handshake, XON/XOFF, parity
// checking and the XON/XOFF characters of d into t, leaving every other flag
// as it is. False, with t untouched, for what no UART takes.
bool LineFromDcb(const DCB& d, termios2& t);

// The termios side of GetCommState: rate, data bits, parity, stop bits,
// fParity, fOutxCtsFlow, fOutX, fInX and the XON/XOFF characters.
void DcbFromLine(const termios2& t, DCB& d);

// Raw 8-bit line: no echo, no line editing, no signals, no character
// translation, reads that return what is there, no hang-up on a carrier drop
// (CLOCAL); DTR and RTS go down when the last opener closes (HUPCL), as they
// do when a Windows program ends.
void MakeRaw(termios2& t);

// Whether the driver kept the settings that matter for the line (a UART may
// round the rate within 3 percent).
bool SameLine(const termios2& want, const termios2& got);

// TIOCM_* bits to the MS_*_ON bits of GetCommModemStatus.
DWORD ModemStatusFromBits(int bits);

// What a port without modem-control lines reports: carrier detect, CTS and
// DSR asserted, as a null-modem cable that ties them up would give.
inline constexpr DWORD kNoModemLinesStatus = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;

}  // namespace comm::posix

#endif
