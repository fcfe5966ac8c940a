// Presses Ctrl+C in a console program as a user at its console would: starts
// the program on a console of its own that it shares, echoes the program's
// standard output, and once a line holds TRIGGER sends COUNT Ctrl+C events
// to the console, one straight after the other; then waits for the program
// and exits with its status. A TRIGGER of "@FILE" sends them once FILE
// exists instead, whatever the program prints (the rig decides when).
//
//   ksidu_ctrl_events.exe COUNT TRIGGER PROGRAM.exe [ARGUMENT...]
//
// tools/wine-tests.sh runs ks-idu-cli.exe under it. A process that Wine
// starts from a pipe has no console that takes control events, hence the
// console of its own.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  for (wchar_t c : argument) {
    if (c == L'"') quoted += L'\\';
    quoted += c;
  }
  return quoted + L"\"";
}

// The events go to every process of the console, this one too: it stays.
BOOL WINAPI Ignore(DWORD) {
  return TRUE;
}

int Fail(const char* what) {
  std::fprintf(stderr, "ctrl events: %s (error %lu)\n", what, GetLastError());
  return 99;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: ksidu_ctrl_events COUNT TRIGGER PROGRAM.exe [ARGUMENT...]\n");
    return 2;
  }
  const int count = _wtoi(argv[1]);
  const int triggerBytes =
      WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, nullptr, 0, nullptr, nullptr);
  std::string trigger(static_cast<std::size_t>(std::max(triggerBytes, 1)) - 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, trigger.data(), triggerBytes, nullptr, nullptr);
  std::wstring commandLine = Quoted(argv[3]);
  for (int i = 4; i < argc; ++i) commandLine += L" " + Quoted(argv[i]);

  // The program's standard error is this one's, taken before the console
  // replaces it.
  HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  SetHandleInformation(errors, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  FreeConsole();
  if (!AllocConsole()) return Fail("no console");
  SetConsoleCtrlHandler(&Ignore, TRUE);

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outputRead = nullptr;
  HANDLE outputWrite = nullptr;
  if (!CreatePipe(&outputRead, &outputWrite, &inherit, 0)) return Fail("no pipe");
  SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = outputWrite;
  startup.hStdError = errors;
  PROCESS_INFORMATION program{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &program)) {
    return Fail("cannot start the program");
  }
  CloseHandle(outputWrite);
  CloseHandle(program.hThread);

  std::atomic<bool> sent{false};
  auto send = [&] {
    for (int i = 0; i < count; ++i) {
      if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return false;
    }
    return true;
  };
  std::thread fileTrigger;
  if (argv[2][0] == L'@') {
    fileTrigger = std::thread([&, file = std::wstring(argv[2] + 1)] {
      while (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (WaitForSingleObject(program.hProcess, 50) == WAIT_OBJECT_0) return;
      }
      sent = true;
      if (!send()) TerminateProcess(program.hProcess, 98);
    });
  }
  std::string pending;
  char chunk[4096];
  DWORD n = 0;
  while (ReadFile(outputRead, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    std::fwrite(chunk, 1, n, stdout);
    std::fflush(stdout);
    if (sent || fileTrigger.joinable()) continue;
    pending.append(chunk, n);
    if (pending.find(trigger) == std::string::npos) {
      // Keep only what may still begin the trigger.
      if (pending.size() > trigger.size()) pending.erase(0, pending.size() - trigger.size());
      continue;
    }
    sent = true;
    if (!send()) {
      TerminateProcess(program.hProcess, 98);
      return Fail("no Ctrl+C");
    }
  }
  CloseHandle(outputRead);
  const bool ended = WaitForSingleObject(program.hProcess, 120000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(program.hProcess, 98);
  if (fileTrigger.joinable()) fileTrigger.join();
  if (!ended) return Fail("the program did not end");
  DWORD status = 0;
  GetExitCodeProcess(program.hProcess, &status);
  CloseHandle(program.hProcess);
  if (!sent) {
    std::fprintf(stderr, "ctrl events: the program never printed \"%s\"\n", trigger.c_str());
    return 97;
  }
  std::fprintf(stderr, "ctrl events: %d sent, exit status %lu\n", count, status);
  return static_cast<int>(status);
}
