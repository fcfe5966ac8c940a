#include "Win32Services.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <vector>

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

int CaptionFitWidth(std::wstring_view caption, int frameWidth) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return 0;
  HFONT font = CreateFontIndirectW(&metrics.lfCaptionFont);
  HDC screen = GetDC(nullptr);
  SIZE size{};
  if (screen != nullptr) {
    HGDIOBJ old = font != nullptr ? SelectObject(screen, font) : nullptr;
    GetTextExtentPoint32W(screen, caption.data(), static_cast<int>(caption.size()), &size);
    if (old != nullptr) SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
  }
  if (font != nullptr) DeleteObject(font);
  // The close button, and as much again for the padding at the ends of the
  // title bar and between the text and the button.
  const int button = std::max<int>(metrics.iCaptionWidth, GetSystemMetrics(SM_CXSIZE));
  return size.cx + 2 * button + frameWidth;
}

namespace {

// MessageBox sizes its box by the text alone: a caption longer than the text
// is cut off ("Hard... rror."). A hook on the thread's windows widens the
// box as it is first activated, before it is drawn.
struct PendingBox {
  bool fitted = false;
};
thread_local std::vector<PendingBox*> pendingBoxes;
thread_local HHOOK boxHook = nullptr;

bool IsDialogBox(HWND window) {
  wchar_t name[16] = {};
  return GetClassNameW(window, name, 16) > 0 && std::wstring_view(name) == L"#32770";
}

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(std::max(length, 0)) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

void WidenToCaption(HWND box) {
  RECT frame{};
  RECT client{};
  if (!GetWindowRect(box, &frame) || !GetClientRect(box, &client)) return;
  const int width = frame.right - frame.left;
  const int frameWidth = width - (client.right - client.left);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoW(MonitorFromWindow(box, MONITOR_DEFAULTTONEAREST), &monitor)) return;
  const RECT& work = monitor.rcWork;
  const int wanted =
      std::min<int>(CaptionFitWidth(WindowText(box), frameWidth), work.right - work.left);
  const int growth = wanted - width;
  if (growth <= 0) return;

  // The buttons keep their alignment: centred ones stay centred, ones at
  // the right edge stay there. The text and the icon stay where they are.
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[16] = {};
    GetClassNameW(child, name, 16);
    if (lstrcmpiW(name, L"Button") != 0) continue;
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(HWND_DESKTOP, box, reinterpret_cast<POINT*>(&r), 2);
    const int leftGap = r.left;
    const int rightGap = client.right - r.right;
    int shift = 0;
    if (std::abs(leftGap - rightGap) <= 2) {
      shift = growth / 2;
    } else if (rightGap < leftGap) {
      shift = growth;
    }
    SetWindowPos(child, nullptr, r.left + shift, r.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // Widened about its centre, inside the work area.
  const int left = std::clamp<int>(frame.left - growth / 2, work.left, work.right - wanted);
  SetWindowPos(box, nullptr, left, frame.top, wanted, frame.bottom - frame.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && !pendingBoxes.empty() && !pendingBoxes.back()->fitted) {
    HWND window = reinterpret_cast<HWND>(wParam);
    if (IsDialogBox(window)) {
      pendingBoxes.back()->fitted = true;
      WidenToCaption(window);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// While it exists, the next dialog box this thread activates is widened to
// its caption. Nests: a box shown from inside another box's loop gets its own.
class CaptionFit {
 public:
  CaptionFit() {
    if (pendingBoxes.empty()) {
      boxHook = SetWindowsHookExW(WH_CBT, &BoxHook, nullptr, GetCurrentThreadId());
    }
    pendingBoxes.push_back(&box_);
  }
  ~CaptionFit() {
    pendingBoxes.pop_back();
    if (pendingBoxes.empty() && boxHook != nullptr) {
      UnhookWindowsHookEx(boxHook);
      boxHook = nullptr;
    }
  }
  CaptionFit(const CaptionFit&) = delete;
  CaptionFit& operator=(const CaptionFit&) = delete;

 private:
  PendingBox box_;
};

int FittedMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  CaptionFit fit;
  return MessageBoxW(BoxOwner(), Widen(text).c_str(), Widen(caption).c_str(), flags);
}

using TaskDialogFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// Only common controls 6 (the one the manifest asks for) has the task
// dialog; the older one, and Windows before Vista, have not.
TaskDialogFunction TaskDialogEntry() {
  HMODULE controls = GetModuleHandleW(L"comctl32.dll");
  if (controls == nullptr) return nullptr;
  FARPROC entry = GetProcAddress(controls, "TaskDialogIndirect");
  return reinterpret_cast<TaskDialogFunction>(reinterpret_cast<void (*)()>(entry));
}

constexpr wchar_t kBoxProcProperty[] = L"KsIduBoxProc";
constexpr const wchar_t* kShowDetails = L"Show details";
constexpr const wchar_t* kHideDetails = L"Hide details";

// Esc reaches a dialog as IDCANCEL from the dialog manager. A task dialog
// with OK alone does not always take it for closing (Wine's ignores it),
// so it presses OK, as Esc does in a plain box with OK.
LRESULT CALLBACK EscapePressesOk(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto previous =
      reinterpret_cast<WNDPROC>(reinterpret_cast<LONG_PTR>(GetPropW(box, kBoxProcProperty)));
  if (message == WM_COMMAND && wParam == IDCANCEL && lParam == 0) {
    SendMessageW(box, TDM_CLICK_BUTTON, IDOK, 0);
    return 0;
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    RemovePropW(box, kBoxProcProperty);
  }
  return CallWindowProcW(previous, box, message, wParam, lParam);
}

// Where the task dialog's parts are windows of their own (Wine's), some are
// laid out narrower than they draw: the expander as wide as its text alone,
// its arrow then pushing the text over ("Show"), and at some resolutions a
// text one letter short, its last word wrapped out of sight. They are
// widened to hold what they show, within the box. Windows' task dialog draws
// its parts itself and has no such windows.
void FitParts(HWND box) {
  RECT client{};
  GetClientRect(box, &client);
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[16] = {};
    GetClassNameW(child, name, 16);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    const bool expander = lstrcmpiW(name, L"Button") == 0 && (style & BS_TYPEMASK) == BS_OWNERDRAW;
    const bool label = lstrcmpiW(name, L"Static") == 0 && (style & SS_TYPEMASK) <= SS_RIGHT;
    if (!expander && !label) continue;
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(HWND_DESKTOP, box, reinterpret_cast<POINT*>(&r), 2);
    HDC dc = GetDC(child);
    if (dc == nullptr) continue;
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
    SIZE letters{};
    GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52,
                          &letters);
    const int base = std::max(1, (static_cast<int>(letters.cx) / 26 + 1) / 2);
    int wanted = 0;
    if (expander) {
      for (const wchar_t* text : {kShowDetails, kHideDetails}) {
        SIZE size{};
        GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
        wanted = std::max<int>(wanted, size.cx);
      }
      // The arrow is ten dialog units wide, with half a character after it.
      wanted += MulDiv(10, base, 4) + base;
    } else {
      const std::wstring text = WindowText(child);
      RECT needed{0, 0, std::max<LONG>(1, client.right - r.left - base), 0};
      DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
                DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
      // A letter to spare, for the drawing that needs more than the measure.
      wanted = needed.right + base;
    }
    SelectObject(dc, old);
    ReleaseDC(child, dc);
    wanted = std::min<int>(wanted, client.right - r.left);
    if (r.right - r.left < wanted) {
      SetWindowPos(child, nullptr, 0, 0, wanted, r.bottom - r.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
}

HRESULT CALLBACK OnTaskDialog(HWND box, UINT notification, WPARAM, LPARAM, LONG_PTR) {
  if (notification == TDN_DIALOG_CONSTRUCTED && GetPropW(box, kBoxProcProperty) == nullptr) {
    const LONG_PTR previous = GetWindowLongPtrW(box, GWLP_WNDPROC);
    SetPropW(box, kBoxProcProperty, reinterpret_cast<HANDLE>(previous));
    SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EscapePressesOk));
  }
  // Laid out at creation and again when the expander is first opened.
  if (notification == TDN_CREATED || notification == TDN_EXPANDO_BUTTON_CLICKED) FitParts(box);
  return S_OK;
}

// The width of the task dialog's client area in its dialog units (those of
// the message font): room for the caption, and for the longest line of the
// text and the details up to two thirds of the screen, but never narrower
// than the expander and OK need side by side.
UINT TaskDialogWidth(HWND owner, std::wstring_view caption, std::wstring_view text,
                     std::wstring_view details) {
  constexpr int kMinimumUnits = 180;
  constexpr int kMarginUnits = 24;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return 0;
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY), &monitor)) return 0;
  const int workWidth = monitor.rcWork.right - monitor.rcWork.left;

  HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
  HDC screen = GetDC(nullptr);
  if (font == nullptr || screen == nullptr) {
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    if (font != nullptr) DeleteObject(font);
    return 0;
  }
  HGDIOBJ old = SelectObject(screen, font);
  auto widthOf = [&](std::wstring_view line) {
    SIZE size{};
    GetTextExtentPoint32W(screen, line.data(), static_cast<int>(line.size()), &size);
    return static_cast<int>(size.cx);
  };
  // The dialog's horizontal base unit, as Windows reckons it.
  const int base =
      std::max(1, (widthOf(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2);
  int longest = 0;
  for (std::wstring_view all : {text, details}) {
    while (!all.empty()) {
      const std::size_t end = std::min(all.find(L'\n'), all.size());
      longest = std::max(longest, widthOf(all.substr(0, end)));
      all.remove_prefix(std::min(end + 1, all.size()));
    }
  }
  SelectObject(screen, old);
  ReleaseDC(nullptr, screen);
  DeleteObject(font);

  auto units = [base](int pixels) { return (pixels * 4 + base - 1) / base; };
  const int contentUnits = std::min(units(longest) + kMarginUnits, units(workWidth * 2 / 3));
  const int captionUnits = std::min(units(CaptionFitWidth(caption, 0)), units(workWidth) - 8);
  return static_cast<UINT>(std::max({kMinimumUnits, contentUnits, captionUnits}));
}

}  // namespace

int StandardMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return FittedMessageBox(text, caption, flags);
}

int DetailedMessageBox(const std::string& text, const std::string& caption, unsigned flags,
                       const std::string& details) {
  std::string shown = details;
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  const TaskDialogFunction taskDialog = shown.empty() || flags != 0 ? nullptr : TaskDialogEntry();
  if (taskDialog == nullptr) return FittedMessageBox(text, caption, flags);

  const std::wstring title = Widen(caption);
  const std::wstring message = Widen(text);
  const std::wstring expanded = Widen(shown);
  HWND owner = BoxOwner();
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hwndParent = owner;
  config.hInstance = GetModuleHandleW(nullptr);
  // Esc and the close button close it, as they close a plain box with OK.
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
  config.dwCommonButtons = TDCBF_OK_BUTTON;
  config.pszWindowTitle = title.c_str();
  config.pszContent = message.c_str();
  config.pszExpandedInformation = expanded.c_str();
  config.pszCollapsedControlText = kShowDetails;
  config.pszExpandedControlText = kHideDetails;
  config.nDefaultButton = IDOK;
  config.cxWidth = TaskDialogWidth(owner, title, message, expanded);
  config.pfCallback = &OnTaskDialog;
  int pressed = 0;
  if (FAILED(taskDialog(&config, &pressed, nullptr, nullptr))) {
    return FittedMessageBox(text, caption, flags);
  }
  // A box with OK alone answers OK however it was closed.
  return IDOK;
}

void StandardExceptionBox(const std::string& text, const std::string& caption) {
  FittedMessageBox(text, caption, MB_OK | MB_ICONERROR);
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
