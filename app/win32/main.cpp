// ks-idu.exe: the window that upgrades the indoor unit's firmware.
#include "Win32Program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int showCommand) {
  return win32front::RunProgram(instance, showCommand, win32front::CommandLineArguments());
}
