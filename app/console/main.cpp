// The console program's entry.
#include <algorithm>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "ConsoleProgram.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  const bool terminal = _isatty(_fileno(stdout)) != 0;
#else
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  // A reader that goes away (a closed pipe) must not end a run half way:
  // the output is lost, the upgrade goes on.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  return console::ConsoleMain(arguments, std::cout, std::cerr, terminal);
}
