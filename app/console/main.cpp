// The console program's entry.
#include <algorithm>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "ConsoleProgram.h"
#include "Fleet.h"
#include "Unicode.h"

namespace {

// The width of the terminal that standard output shows on; 0 when unknown.
int TerminalColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
#else
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
#endif
}

}  // namespace

#ifdef _WIN32
// Wide: the arguments reach the program as they were typed (a user's folder
// in any script), not through the ANSI code page.
int wmain(int argc, wchar_t** argv) {
  const bool terminal = _isatty(_fileno(stdout)) != 0;
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(unicode::Narrow(argv[i]));
  unicode::HandleStreamBuf out(GetStdHandle(STD_OUTPUT_HANDLE));
  unicode::HandleStreamBuf err(GetStdHandle(STD_ERROR_HANDLE));
  std::streambuf* const coutWas = std::cout.rdbuf(&out);
  std::streambuf* const cerrWas = std::cerr.rdbuf(&err);
  const int code = console::ConsoleMain(arguments, std::cout, std::cerr, terminal, TerminalColumns,
                                        {console::fleet::FleetHelp, console::fleet::RunFleet});
  std::cout.flush();
  std::cerr.flush();
  std::cout.rdbuf(coutWas);
  std::cerr.rdbuf(cerrWas);
  return code;
}
#else
int main(int argc, char** argv) {
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  // A reader that goes away (a closed pipe) must not end a run half way:
  // the output is lost, the upgrade goes on.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  return console::ConsoleMain(arguments, std::cout, std::cerr, terminal, TerminalColumns,
                              {console::fleet::FleetHelp, console::fleet::RunFleet});
}
#endif
