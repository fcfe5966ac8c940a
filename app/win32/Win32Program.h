// The Windows program's entry, after WinMain: the command line, the front
// end's services, the one window, the message loop.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace win32front {

// The program's arguments (after its name) in UTF-8.
std::vector<std::string> CommandLineArguments();

// Runs the program; returns its exit status: 0 once the window has closed
// (also after an exception, which it has shown), 2 for a command line it
// cannot use.
int RunProgram(HINSTANCE instance, int showCommand, const std::vector<std::string>& arguments);

}  // namespace win32front
