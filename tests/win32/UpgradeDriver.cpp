// Drives ks-idu.exe as a user would: starts it, finds its window by class and
// caption, checks the version it carries, presses Start (BM_CLICK) and
// watches the status line until "Done.", failing on any message box; then
// closes the window and expects the program to end with status 0.
//
//   ksidu_win32_driver.exe PROGRAM.exe [ARGUMENT...]
//   ksidu_win32_driver.exe --hold SECONDS PROGRAM.exe [ARGUMENT...]
//   ksidu_win32_driver.exe --close-at STATUS PROGRAM.exe [ARGUMENT...]
//   ksidu_win32_driver.exe --box SECONDS PROGRAM.exe [ARGUMENT...]
//   ksidu_win32_driver.exe --hold-report FILE PROGRAM.exe [ARGUMENT...]
//   ksidu_win32_driver.exe --hold-file FILE RELEASE
//   ksidu_win32_driver.exe --unplug COMn
//   ksidu_win32_driver.exe --plug COMn TARGET
//
// tools/wine-tests.sh runs it against a simulated station on COM7 and then
// compares the station's memory with the image. With --hold it presses
// nothing: it prints "window: LEFT TOP WIDTH HEIGHT" once the idle window is
// up, keeps it open that long (for a picture of it) and closes it. With
// --close-at it closes the window as soon as the status line shows STATUS,
// in the middle of the run, and expects the program to end at once with
// status 0 and no message. With --box the run must end in a box: the driver
// prints its caption, texts and buttons ("box caption: ...", "box text: ...",
// "box button: ..."), opens its details with "Show details" and prints what
// it shows then ("box details: ..." a line), prints "box: LEFT TOP WIDTH
// HEIGHT", keeps it open that long (for a picture of it), presses OK and
// expects the window idle again, Start enabled and the status line blank.
// With --hold-report it holds FILE as a spreadsheet holds a file it has open
// (others may only read it) through a first run, which must reach "Done."
// and then say in a box of its own that the file is held by another
// program; it presses OK, lets the file go and runs a second upgrade, which
// must end with "Done." and no box. With --hold-file it only holds FILE that
// way, prints "holding" and waits until RELEASE exists. --unplug removes the
// port's name from the system's device names, as Windows does when its
// adapter is pulled out, and prints "unplugged COMn TARGET"; --plug gives the
// name back.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Win32Ids.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kRunLimit = 240s;

std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  for (wchar_t c : argument) {
    if (c == L'"') quoted += L'\\';
    quoted += c;
  }
  return quoted + L"\"";
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

// The window's text through WM_GETTEXT, without hanging on a busy window.
bool TextOf(HWND window, std::wstring& text) {
  wchar_t buffer[512] = {};
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer),
                           SMTO_ABORTIFHUNG, 2000, &copied)) {
    return false;
  }
  text.assign(buffer, copied);
  return true;
}

std::wstring VersionString(const std::wstring& file, const wchar_t* name) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return {};
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  wchar_t* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return {};
  }
  std::wstring text(value, length);
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

struct BoxSearch {
  DWORD process;
  HWND box;
};

BOOL CALLBACK FindProcessBox(HWND window, LPARAM searchAddress) {
  auto& search = *reinterpret_cast<BoxSearch*>(searchAddress);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t windowClass[64] = {};
  GetClassNameW(window, windowClass, 64);
  if (process == search.process && std::wstring(windowClass) == L"#32770" &&
      IsWindowVisible(window)) {
    search.box = window;
    return FALSE;
  }
  return TRUE;
}

struct BoxParts {
  std::vector<std::wstring> texts;
  std::vector<std::pair<std::wstring, HWND>> buttons;
};

BOOL CALLBACK CollectBoxPart(HWND child, LPARAM partsAddress) {
  auto& parts = *reinterpret_cast<BoxParts*>(partsAddress);
  wchar_t windowClass[64] = {};
  GetClassNameW(child, windowClass, 64);
  std::wstring text;
  if (!IsWindowVisible(child) || !TextOf(child, text)) return TRUE;
  if (lstrcmpiW(windowClass, L"Button") == 0) {
    parts.buttons.emplace_back(text, child);
  } else if (!text.empty()) {
    parts.texts.push_back(text);
  }
  return TRUE;
}

BoxParts PartsOf(HWND box) {
  BoxParts parts;
  EnumChildWindows(box, &CollectBoxPart, reinterpret_cast<LPARAM>(&parts));
  return parts;
}

HWND ButtonOf(const BoxParts& parts, const std::wstring& text) {
  for (const auto& [label, button] : parts.buttons) {
    if (label == text) return button;
  }
  return nullptr;
}

// Each line of a text, CR LF or LF, printed after the prefix.
void PrintLines(const char* prefix, const std::wstring& text) {
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t end = text.find(L'\n', from);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(from, end - from);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    std::printf("%s%s\n", prefix, Narrow(line).c_str());
    from = end + 1;
  }
}

BOOL CALLBACK PrintBoxText(HWND child, LPARAM) {
  std::wstring text;
  if (IsWindowVisible(child) && TextOf(child, text) && !text.empty()) {
    std::printf("  box: \"%s\"\n", Narrow(text).c_str());
  }
  return TRUE;
}

BOOL CALLBACK CollectBoxText(HWND child, LPARAM textAddress) {
  std::wstring text;
  if (IsWindowVisible(child) && TextOf(child, text) && !text.empty()) {
    *reinterpret_cast<std::wstring*>(textAddress) += text + L"\n";
  }
  return TRUE;
}

// Holds the file as a program that has it open for editing does: others may
// read it, not write, rename or remove it.
HANDLE HoldFile(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

int Fail(const char* what, PROCESS_INFORMATION* program = nullptr) {
  std::printf("upgrade driver: FAILED: %s\n", what);
  std::fflush(stdout);
  if (program != nullptr) {
    TerminateProcess(program->hProcess, 99);
    CloseHandle(program->hProcess);
    CloseHandle(program->hThread);
  }
  return 1;
}

// The box that ended the run: what it says, its details opened, then OK.
int ReadBox(HWND box, int holdSeconds, HWND window, HWND start, HWND status,
            PROCESS_INFORMATION& child) {
  // Laid out and painted before it is read.
  WaitForInputIdle(child.hProcess, 10000);
  std::this_thread::sleep_for(300ms);
  std::wstring caption;
  TextOf(box, caption);
  std::printf("box caption: %s\n", Narrow(caption).c_str());
  const BoxParts shut = PartsOf(box);
  for (const std::wstring& text : shut.texts) PrintLines("box text: ", text);
  for (const auto& [label, button] : shut.buttons) {
    std::printf("box button: %s\n", Narrow(label).c_str());
  }
  HWND expander = ButtonOf(shut, L"Show details");
  if (expander == nullptr) return Fail("the box has no \"Show details\"", &child);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(expander, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
  std::this_thread::sleep_for(300ms);
  const BoxParts open = PartsOf(box);
  if (ButtonOf(open, L"Hide details") == nullptr) {
    return Fail("\"Show details\" did not turn into \"Hide details\"", &child);
  }
  // What the opened box shows beyond the shut one.
  for (const std::wstring& text : open.texts) {
    if (std::find(shut.texts.begin(), shut.texts.end(), text) == shut.texts.end()) {
      PrintLines("box details: ", text);
    }
  }
  RECT frame{};
  GetWindowRect(box, &frame);
  std::printf("box: %ld %ld %ld %ld\n", frame.left, frame.top, frame.right - frame.left,
              frame.bottom - frame.top);
  std::fflush(stdout);
  if (holdSeconds > 0) Sleep(static_cast<DWORD>(holdSeconds) * 1000);

  HWND ok = ButtonOf(open, L"OK");
  if (ok == nullptr) return Fail("the box has no OK", &child);
  PostMessageW(ok, BM_CLICK, 0, 0);
  for (auto end = Clock::now() + 10s; IsWindow(box);) {
    if (Clock::now() > end) return Fail("OK did not close the box", &child);
    std::this_thread::sleep_for(50ms);
  }
  std::wstring text;
  for (auto end = Clock::now() + 10s; !IsWindowEnabled(start);) {
    if (Clock::now() > end) return Fail("Start is not enabled again after the box", &child);
    std::this_thread::sleep_for(50ms);
  }
  if (!TextOf(status, text) || !text.empty()) {
    return Fail("the status line is not blank after the box", &child);
  }
  std::printf("upgrade driver: OK closed the box; Start enabled, the status line blank\n");
  PostMessageW(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(child.hProcess, 30000) != WAIT_OBJECT_0) {
    return Fail("the program did not end when its window closed", &child);
  }
  DWORD exitCode = 1;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  if (exitCode != 0) return Fail("the program's exit status is not 0");
  std::printf("upgrade driver: passed\n");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  int holdSeconds = -1;
  int boxSeconds = -1;
  std::wstring closeAt;
  std::wstring holdReport;
  if (argc == 4 && std::wstring(argv[1]) == L"--hold-file") {
    const HANDLE held = HoldFile(argv[2]);
    if (held == INVALID_HANDLE_VALUE) return Fail("cannot hold the file");
    std::printf("holding\n");
    std::fflush(stdout);
    for (auto end = Clock::now() + kRunLimit;
         GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES && Clock::now() < end;) {
      std::this_thread::sleep_for(50ms);
    }
    CloseHandle(held);
    return 0;
  }
  if (argc == 3 && std::wstring(argv[1]) == L"--unplug") {
    wchar_t target[1024];
    if (QueryDosDeviceW(argv[2], target, 1024) == 0) return Fail("no such device name");
    if (!DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE,
                          argv[2], target)) {
      return Fail("cannot remove the device name");
    }
    std::printf("unplugged %s %s\n", Narrow(argv[2]).c_str(), Narrow(target).c_str());
    return 0;
  }
  if (argc == 4 && std::wstring(argv[1]) == L"--plug") {
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH, argv[2], argv[3]))
      return Fail("cannot define the device name");
    return 0;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"--hold") {
    holdSeconds = _wtoi(argv[2]);
    first = 3;
  } else if (argc >= 3 && std::wstring(argv[1]) == L"--close-at") {
    closeAt = argv[2];
    first = 3;
  } else if (argc >= 3 && std::wstring(argv[1]) == L"--box") {
    boxSeconds = _wtoi(argv[2]);
    first = 3;
  } else if (argc >= 3 && std::wstring(argv[1]) == L"--hold-report") {
    holdReport = argv[2];
    first = 3;
  }
  if (argc <= first) {
    std::printf(
        "usage: ksidu_win32_driver [--hold SECONDS | --close-at STATUS | --box SECONDS |\n"
        "                           --hold-report FILE] PROGRAM.exe [ARGUMENT...]\n"
        "       ksidu_win32_driver --hold-file FILE RELEASE\n"
        "       ksidu_win32_driver --unplug COMn | --plug COMn TARGET\n");
    return 2;
  }
  const std::wstring program = argv[first];
  const std::wstring version = VersionString(program, L"FileVersion");
  const std::wstring product = VersionString(program, L"ProductName");
  std::printf("upgrade driver: %s, version \"%s\" of \"%s\"\n", Narrow(program).c_str(),
              Narrow(version).c_str(), Narrow(product).c_str());
  if (version != L"2.3") return Fail("the program's version resource is not \"2.3\"");
  if (product != L"KS_E -> IDU") return Fail("the program's product name is not \"KS_E -> IDU\"");

  // Held from before the program starts: a held file must not stop it.
  HANDLE held = INVALID_HANDLE_VALUE;
  if (!holdReport.empty()) {
    held = HoldFile(holdReport);
    if (held == INVALID_HANDLE_VALUE) return Fail("cannot hold the report file");
    std::printf("upgrade driver: holding the report file, others may only read it\n");
  }
  std::wstring commandLine = Quoted(program);
  for (int i = first + 1; i < argc; ++i) commandLine += L" " + Quoted(argv[i]);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &child)) {
    return Fail("the program does not start");
  }
  WaitForInputIdle(child.hProcess, 30000);

  HWND window = nullptr;
  for (auto end = Clock::now() + 30s; window == nullptr && Clock::now() < end;) {
    HWND found = FindWindowW(L"TMainPanel", L"KS_E -> IDU");
    DWORD process = 0;
    if (found != nullptr) GetWindowThreadProcessId(found, &process);
    if (process == child.dwProcessId) {
      window = found;
    } else {
      std::this_thread::sleep_for(50ms);
    }
  }
  if (window == nullptr) return Fail("no window \"KS_E -> IDU\" of class TMainPanel", &child);
  // The window exists before its controls do: wait for them too.
  HWND start = nullptr, status = nullptr, bar = nullptr;
  for (auto end = Clock::now() + 30s; Clock::now() < end; std::this_thread::sleep_for(50ms)) {
    start = GetDlgItem(window, win32front::ControlId("Button1"));
    status = GetDlgItem(window, win32front::ControlId("StaticText1"));
    bar = GetDlgItem(window, win32front::ControlId("ProgressBar1"));
    if (start != nullptr && status != nullptr && bar != nullptr) break;
  }
  WaitForInputIdle(child.hProcess, 10000);
  std::wstring text;
  if (start == nullptr || status == nullptr || bar == nullptr) {
    return Fail("the window lacks Start, the status line or the progress bar", &child);
  }
  if (!IsWindowVisible(window) || !IsWindowEnabled(start) || !TextOf(start, text) ||
      text != L"&Start") {
    return Fail("the window is not idle with \"&Start\" enabled", &child);
  }
  if (!TextOf(status, text) || !text.empty()) return Fail("the status line is not blank", &child);

  if (holdSeconds >= 0) {
    // Idle and painted: the window has handled everything it was sent.
    WaitForInputIdle(child.hProcess, 10000);
    RECT frame{};
    GetWindowRect(window, &frame);
    std::printf("window: %ld %ld %ld %ld\n", frame.left, frame.top, frame.right - frame.left,
                frame.bottom - frame.top);
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(holdSeconds) * 1000);
    PostMessageW(window, WM_CLOSE, 0, 0);
    const bool ended = WaitForSingleObject(child.hProcess, 30000) == WAIT_OBJECT_0;
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return ended ? 0 : Fail("the program did not end when its window closed");
  }

  for (int round = 1; round <= (holdReport.empty() ? 1 : 2); ++round) {
    std::printf("upgrade driver: pressing Start\n");
    PostMessageW(start, BM_CLICK, 0, 0);

    std::vector<std::wstring> seen;
    LRESULT highest = 0;
    const auto began = Clock::now();
    bool done = false;
    while (!done) {
      if (Clock::now() - began > kRunLimit) return Fail("no \"Done.\" in time", &child);
      if (WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0) {
        return Fail("the program ended during the run", &child);
      }
      BoxSearch search{child.dwProcessId, nullptr};
      EnumWindows(&FindProcessBox, reinterpret_cast<LPARAM>(&search));
      if (search.box != nullptr && boxSeconds >= 0) {
        return ReadBox(search.box, boxSeconds, window, start, status, child);
      }
      if (search.box != nullptr) {
        // The box that says the record is not written comes after "Done.",
        // which the window may have shown only while it was busy trying.
        std::wstring said;
        EnumChildWindows(search.box, &CollectBoxText, reinterpret_cast<LPARAM>(&said));
        if (held != INVALID_HANDLE_VALUE &&
            said.find(L"held by another program") != std::wstring::npos && TextOf(status, text) &&
            text == L"Done." && IsWindowEnabled(start)) {
          if (seen.empty() || seen.back() != text) seen.push_back(text);
          break;
        }
        EnumChildWindows(search.box, &PrintBoxText, 0);
        return Fail("the program shows a message box", &child);
      }
      if (boxSeconds >= 0 && !seen.empty() && seen.back() == L"Done.") {
        return Fail("the run ended \"Done.\" instead of in a box", &child);
      }
      // Blank before the click is handled (and after a failure, which shows a box).
      if (TextOf(status, text) && !text.empty() && (seen.empty() || seen.back() != text)) {
        seen.push_back(text);
        std::printf("  status: \"%s\" after %.1f s\n", Narrow(text).c_str(),
                    std::chrono::duration<double>(Clock::now() - began).count());
        std::fflush(stdout);
      }
      if (!closeAt.empty() && !seen.empty() && seen.back() == closeAt) {
        std::printf("upgrade driver: closing the window during the run\n");
        PostMessageW(window, WM_CLOSE, 0, 0);
        const auto asked = Clock::now();
        while (WaitForSingleObject(child.hProcess, 50) != WAIT_OBJECT_0) {
          BoxSearch shown{child.dwProcessId, nullptr};
          EnumWindows(&FindProcessBox, reinterpret_cast<LPARAM>(&shown));
          if (shown.box != nullptr) {
            EnumChildWindows(shown.box, &PrintBoxText, 0);
            return Fail("closing during the run shows a message box", &child);
          }
          if (Clock::now() - asked > 30s) return Fail("the program did not end", &child);
        }
        DWORD exitCode = 1;
        GetExitCodeProcess(child.hProcess, &exitCode);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        if (exitCode != 0) return Fail("the program's exit status is not 0");
        std::printf("upgrade driver: the program ended with status 0 after %.1f s\n",
                    std::chrono::duration<double>(Clock::now() - asked).count());
        return 0;
      }
      DWORD_PTR position = 0;
      if (SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position)) {
        highest = std::max<LRESULT>(highest, static_cast<LRESULT>(position));
      }
      done = !seen.empty() && seen.back() == L"Done." && IsWindowEnabled(start);
      if (!done) std::this_thread::sleep_for(20ms);
    }
    DWORD_PTR finalPosition = 1;
    SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &finalPosition);
    std::printf("upgrade driver: \"Done.\" after %.1f s; progress went up to %lld, now %llu\n",
                std::chrono::duration<double>(Clock::now() - began).count(),
                static_cast<long long>(highest), static_cast<unsigned long long>(finalPosition));
    // The window repaints and answers only between events, so a short phase
    // can pass unseen; what is seen must come in the run's order.
    const std::vector<std::wstring> order{L"Initialize bootloader...", L"Erase processor...",
                                          L"Programming...", L"Reset station...", L"Done."};
    std::size_t next = 0;
    for (const std::wstring& status : seen) {
      while (next < order.size() && order[next] != status) ++next;
      if (next == order.size()) return Fail("a status out of the run's order", &child);
    }
    if (highest <= 0) return Fail("the progress bar never moved", &child);
    if (finalPosition != 0) return Fail("the progress bar is not back at 0", &child);
    if (held != INVALID_HANDLE_VALUE) {
      // The record waits a few seconds for the file, then says why it is not
      // written, in a box of its own.
      BoxSearch told{child.dwProcessId, nullptr};
      for (auto end = Clock::now() + 60s; told.box == nullptr && Clock::now() < end;) {
        std::this_thread::sleep_for(50ms);
        EnumWindows(&FindProcessBox, reinterpret_cast<LPARAM>(&told));
      }
      if (told.box == nullptr) return Fail("no box says the record is not written", &child);
      std::wstring said;
      EnumChildWindows(told.box, &CollectBoxText, reinterpret_cast<LPARAM>(&said));
      EnumChildWindows(told.box, &PrintBoxText, 0);
      if (said.find(L"held by another program") == std::wstring::npos) {
        return Fail("the box does not say that another program holds the file", &child);
      }
      PostMessageW(told.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      for (auto end = Clock::now() + 30s; IsWindow(told.box) && Clock::now() < end;) {
        std::this_thread::sleep_for(50ms);
      }
      CloseHandle(held);
      held = INVALID_HANDLE_VALUE;
      std::printf("upgrade driver: told that the file is held; the file let go\n");
    }
  }

  PostMessageW(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(child.hProcess, 30000) != WAIT_OBJECT_0) {
    return Fail("the program did not end when its window closed", &child);
  }
  DWORD exitCode = 1;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  if (exitCode != 0) return Fail("the program's exit status is not 0");
  std::printf("upgrade driver: passed\n");
  return 0;
}
