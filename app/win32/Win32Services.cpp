#include "Win32Services.h"

#include <atomic>
#include <stdexcept>

namespace win32front {

namespace {

constexpr wchar_t kHandOffClass[] = L"KsIduHandOff";

std::atomic<HWND> applicationWindow{nullptr};

LRESULT CALLBACK HandOffProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kHandOffMessage) {
    app::RunHandOffs();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void SetApplicationWindow(HWND window) {
  applicationWindow.store(window);
}

HWND ApplicationWindow() {
  return applicationWindow.load();
}

HWND BoxOwner() {
  HWND active = GetActiveWindow();
  if (active != nullptr && IsWindowEnabled(active)) return active;
  HWND main = ApplicationWindow();
  return main != nullptr && IsWindow(main) ? main : nullptr;
}

int StandardMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return MessageBoxW(BoxOwner(), Widen(text).c_str(), Widen(caption).c_str(), flags);
}

void StandardExceptionBox(const std::string& text, const std::string& caption) {
  MessageBoxW(BoxOwner(), Widen(text).c_str(), Widen(caption).c_str(), MB_OK | MB_ICONERROR);
}

FrontEndServices::FrontEndServices(HINSTANCE instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  if (!GetClassInfoExW(instance, kHandOffClass, &windowClass)) {
    windowClass = WNDCLASSEXW{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &HandOffProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kHandOffClass;
    if (RegisterClassExW(&windowClass) == 0) {
      throw std::runtime_error("Cannot register the hand-off window class.");
    }
  }
  window_ = CreateWindowExW(0, kHandOffClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                            nullptr);
  if (window_ == nullptr) throw std::runtime_error("Cannot create the hand-off window.");

  HWND target = window_;
  frontEnd_ = std::make_unique<app::FrontEnd>(app::FrontEndHooks{
      .messageBox = &StandardMessageBox,
      .exceptionBox = &StandardExceptionBox,
      // Called on the serial event thread, which then blocks until its call
      // has run: a posted message reaches this thread's loop, and the modal
      // loop of any box it shows.
      .wakeup = [target] { PostMessageW(target, kHandOffMessage, 0, 0); },
  });
}

FrontEndServices::~FrontEndServices() {
  frontEnd_.reset();
  DestroyWindow(window_);
}

void ProcessMessage(HWND dialog, MSG& message) {
  if (dialog != nullptr && IsWindow(dialog) && IsDialogMessageW(dialog, &message)) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

int RunMessageLoop(HWND dialog) {
  MSG message{};
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(message.wParam);
    if (got == -1) return 0;
    ProcessMessage(dialog, message);
  }
}

}  // namespace win32front
