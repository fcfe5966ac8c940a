#include "Win32MainWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "Win32Ids.h"
#include "Win32Services.h"

namespace win32front {

namespace {

using resources::ControlKind;
using resources::ControlSpec;
using resources::FontSpec;

constexpr UINT_PTR kDelayTimerId = 1;
#ifndef WM_DPICHANGED
constexpr UINT WM_DPICHANGED = 0x02E0;
#endif

// The resolution of the monitor the window is on: Windows 10 (1607) and
// later tell it; before them every window has the system's.
int WindowPixelsPerInch(HWND window) {
  using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  return getDpiForWindow != nullptr ? static_cast<int>(getDpiForWindow(window)) : 0;
}

int Scale(int designValue, int ppi) {
  return resources::ScaleToScreen(designValue, ppi);
}

int CALLBACK NoteFamily(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FamilyInstalled(std::wstring_view family) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  family.copy(wanted.lfFaceName, LF_FACESIZE - 1);
  bool found = false;
  HDC screen = GetDC(nullptr);
  EnumFontFamiliesExW(screen, &wanted, &NoteFamily, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  return found;
}

// The design's family where it is installed, else the first substitute that
// is; with none of them the design's name, and Windows' font mapper picks.
std::wstring ChooseFace(const FontSpec& spec) {
  const std::wstring family = Widen(spec.family);
  if (FamilyInstalled(family)) return family;
  for (std::string_view substitute : spec.substitutes) {
    const std::wstring face = Widen(substitute);
    if (!face.empty() && FamilyInstalled(face)) return face;
  }
  return family;
}

DWORD WindowStyle(const resources::FormSpec& form) {
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
  if (form.systemMenu) style |= WS_SYSMENU;
  if (form.minimizeButton) style |= WS_MINIMIZEBOX;
  if (form.maximizeButton) style |= WS_MAXIMIZEBOX;
  if (form.resizable) style |= WS_THICKFRAME;
  return style;
}

}  // namespace

bool Win32Button::Enabled() const {
  return IsWindowEnabled(handle) != FALSE;
}

void Win32Button::SetEnabled(bool enabled) {
  if (!enabled && GetFocus() == handle) {
    // A disabled button keeps no focus; the window holds it meanwhile, so
    // the keyboard still reaches the dialog manager (which then finds the
    // default button disabled and does nothing).
    SetFocus(GetParent(handle));
  }
  EnableWindow(handle, enabled ? TRUE : FALSE);
  if (enabled && window != nullptr) window->RestoreFocusTo(handle);
}

std::int32_t Win32ProgressBar::Min() const {
  return static_cast<std::int32_t>(SendMessageW(handle, PBM_GETRANGE, TRUE, 0));
}

std::int32_t Win32ProgressBar::Max() const {
  return static_cast<std::int32_t>(SendMessageW(handle, PBM_GETRANGE, FALSE, 0));
}

std::int32_t Win32ProgressBar::Position() const {
  return static_cast<std::int32_t>(SendMessageW(handle, PBM_GETPOS, 0, 0));
}

void Win32ProgressBar::SetMin(std::int32_t value) {
  SendMessageW(handle, PBM_SETRANGE32, static_cast<WPARAM>(value), static_cast<LPARAM>(Max()));
}

void Win32ProgressBar::SetMax(std::int32_t value) {
  SendMessageW(handle, PBM_SETRANGE32, static_cast<WPARAM>(Min()), static_cast<LPARAM>(value));
}

void Win32ProgressBar::SetPosition(std::int32_t value) {
  // Held at the nearer end, so that a position past the maximum shows full.
  const std::int32_t low = Min();
  const std::int32_t high = Max();
  const std::int32_t held = low <= high ? std::clamp(value, low, high) : low;
  SendMessageW(handle, PBM_SETPOS, static_cast<WPARAM>(held), 0);
}

std::string Win32StaticText::Caption() const {
  const int length = GetWindowTextLengthW(handle);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(handle, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return Narrow(text);
}

void Win32StaticText::SetCaption(const std::string& text) {
  SetWindowTextW(handle, Widen(text).c_str());
}

void Win32Timer::Attach(HWND window, UINT_PTR id) {
  window_ = window;
  id_ = id;
}

void Win32Timer::SetInterval(std::uint32_t milliseconds) {
  interval_ = milliseconds;
  // A new interval starts a fresh countdown on a running timer.
  if (enabled_) SetEnabled(true);
}

void Win32Timer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (enabled) {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_);
    Arm(std::chrono::milliseconds(interval_));
  } else if (window_ != nullptr) {
    KillTimer(window_, id_);
  }
}

void Win32Timer::Arm(std::chrono::milliseconds wait) {
  if (window_ == nullptr) return;
  // SetTimer takes at most USER_TIMER_MAXIMUM; a longer wait is taken in
  // parts, each tick checking the deadline.
  const auto count = std::clamp<std::chrono::milliseconds::rep>(wait.count(), USER_TIMER_MINIMUM,
                                                                USER_TIMER_MAXIMUM);
  // Replaces a running countdown of the same id.
  SetTimer(window_, id_, static_cast<UINT>(count), nullptr);
}

void Win32Timer::Elapsed() {
  if (!enabled_) {
    KillTimer(window_, id_);
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now < deadline_) {
    // Early: wait out the rest, rounded up to whole milliseconds.
    Arm(std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now));
    return;
  }
  KillTimer(window_, id_);
  enabled_ = false;
  if (OnTimer) Guarded([this] { OnTimer(this); });
}

Win32MainWindow::Win32MainWindow(HINSTANCE instance, std::span<const std::string_view> imageLines,
                                 PanelFactory factory, int showCommand)
    : instance_(instance) {
  const resources::FormSpec& form = resources::kMainForm;
  HDC screen = GetDC(nullptr);
  if (screen != nullptr) {
    // The program is DPI-aware (its manifest), so this is the system's
    // resolution, not the 96 of a stretched legacy window.
    ppi_ = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  if (ppi_ <= 0) ppi_ = resources::kDesignPixelsPerInch;

  RegisterWindowClass();

  const DWORD style = WindowStyle(form);
  RECT frame{0, 0, Scale(form.clientWidth, ppi_), Scale(form.clientHeight, ppi_)};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  windowSize_ = {frame.right - frame.left, frame.bottom - frame.top};

  // Centred in the primary screen's work area, past the taskbar; the form's
  // stored position is only a fallback.
  int left = form.designLeft;
  int top = form.designTop;
  RECT work{};
  if (form.centred && SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
    left = work.left + ((work.right - work.left) - windowSize_.cx) / 2;
    top = work.top + ((work.bottom - work.top) - windowSize_.cy) / 2;
  }

  const std::wstring className = Widen(form.className);
  window_ = CreateWindowExW(0, className.c_str(), Widen(form.caption).c_str(), style, left, top,
                            windowSize_.cx, windowSize_.cy, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) {
    const DWORD error = GetLastError();
    if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
    throw std::runtime_error("Cannot create the main window (error " + std::to_string(error) +
                             ").");
  }
  try {
    if (bigIcon_ != nullptr) SendMessageW(window_, WM_SETICON, ICON_BIG, (LPARAM)bigIcon_);
    if (smallIcon_ != nullptr) SendMessageW(window_, WM_SETICON, ICON_SMALL, (LPARAM)smallIcon_);
    SendMessageW(window_, WM_SETFONT, (WPARAM)Font(*form.font), FALSE);
    BuildControls(imageLines);
    // Per-monitor aware: a window that opens on a monitor of a resolution
    // other than the system's is scaled to that monitor's.
    if (const int monitorPpi = WindowPixelsPerInch(window_); monitorPpi > 0 && monitorPpi != ppi_)
      ApplyResolution(monitorPpi, nullptr);
    panel_ = factory ? factory(*this) : std::make_unique<app::TMainPanel>(nullptr, *this);
  } catch (...) {
    panel_.reset();
    DestroyWindow(window_);
    window_ = nullptr;
    for (auto& [spec, font] : fonts_) DeleteObject(font);
    if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
    throw;
  }
  SetApplicationWindow(window_);

  savedFocus_ = Control(form.focusedControl);
  ShowWindow(window_, showCommand);
  UpdateWindow(window_);
  if (savedFocus_ != nullptr && GetActiveWindow() == window_) SetFocus(savedFocus_);
}

Win32MainWindow::~Win32MainWindow() {
  // The logic goes first, closing an open port, while the controls exist.
  panel_.reset();
  if (ApplicationWindow() == window_) SetApplicationWindow(nullptr);
  if (window_ != nullptr) {
    KillTimer(window_, kDelayTimerId);
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  for (auto& [spec, font] : fonts_) DeleteObject(font);
  if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

void Win32MainWindow::RegisterWindowClass() {
  const std::wstring className = Widen(resources::kMainForm.className);
  bigIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kIconResourceId), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                           LR_DEFAULTCOLOR));
  smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kIconResourceId),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  if (GetClassInfoExW(instance_, className.c_str(), &windowClass)) return;
  windowClass = WNDCLASSEXW{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &Win32MainWindow::WindowProc;
  windowClass.hInstance = instance_;
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = className.c_str();
  if (RegisterClassExW(&windowClass) == 0) {
    throw std::runtime_error("Cannot register the main window's class (error " +
                             std::to_string(GetLastError()) + ").");
  }
}

HFONT Win32MainWindow::Font(const FontSpec& spec) {
  if (const auto found = fonts_.find(&spec); found != fonts_.end()) return found->second;
  const std::wstring face = ChooseFace(spec);
  LOGFONTW font{};
  // Negative: the character height without internal leading, as designed.
  font.lfHeight = -std::max(1, Scale(spec.height, ppi_));
  font.lfWeight = spec.bold ? FW_BOLD : FW_NORMAL;
  font.lfCharSet = static_cast<BYTE>(spec.charset);
  font.lfOutPrecision = OUT_DEFAULT_PRECIS;
  font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  face.copy(font.lfFaceName, LF_FACESIZE - 1);
  HFONT handle = CreateFontIndirectW(&font);
  if (handle == nullptr) throw std::runtime_error("Cannot create the window's fonts.");
  fonts_[&spec] = handle;
  faces_[&spec] = face;
  return handle;
}

std::wstring Win32MainWindow::FaceName(const FontSpec& spec) const {
  const auto found = faces_.find(&spec);
  return found != faces_.end() ? found->second : std::wstring();
}

HWND Win32MainWindow::Control(std::string_view name) const {
  const auto found = controls_.find(name);
  return found != controls_.end() ? found->second : nullptr;
}

void Win32MainWindow::BuildControls(std::span<const std::string_view> imageLines) {
  std::vector<std::pair<int, HWND>> tabOrder;

  for (const ControlSpec& c : resources::kMainFormControls) {
    const int id = ControlId(c.name);
    if (c.kind == ControlKind::Timer) {
      delay_.Attach(window_, kDelayTimerId);
      delay_.SetInterval(static_cast<std::uint32_t>(c.intervalMs));
      delay_.SetEnabled(c.enabled);
      continue;
    }
    HWND parent = c.parent.empty() ? window_ : controls_.at(c.parent);
    const wchar_t* windowClass = L"Static";
    DWORD style = WS_CHILD;
    DWORD exStyle = 0;
    switch (c.kind) {
      case ControlKind::Panel:
        // The lowered outer bevel: a one-pixel sunken edge inside the
        // panel's own rectangle, which its children are placed in.
        style |= SS_LEFT | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
        if (c.bevelOuter == resources::Bevel::Lowered) style |= SS_SUNKEN;
        break;
      case ControlKind::Label:
        style |= c.alignment == resources::Alignment::Center ? SS_CENTER : SS_LEFT;
        break;
      case ControlKind::Button:
        windowClass = L"Button";
        // The window's one button is its default: Enter presses it.
        style |= BS_DEFPUSHBUTTON;
        break;
      case ControlKind::ProgressBar:
        windowClass = PROGRESS_CLASSW;
        if (c.smooth) style |= PBS_SMOOTH;
        break;
      case ControlKind::ListBox:
        windowClass = L"ListBox";
        // Unsorted: the lines stay in the image's order.
        style |= WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_HASSTRINGS;
        exStyle |= WS_EX_CLIENTEDGE;
        break;
      case ControlKind::StaticText:
        // Whatever a status text holds is shown as it stands: an '&' is
        // not taken for an access key.
        style |= SS_LEFT | SS_NOPREFIX;
        if (c.sunkenBorder) style |= SS_SUNKEN;
        break;
      case ControlKind::Timer:
        break;
    }
    if (c.visible) style |= WS_VISIBLE;
    if (c.canFocus) style |= WS_TABSTOP;
    // A hidden control that must never take the focus is disabled as well:
    // SetFocus would otherwise give it the focus, invisible as it is.
    if (!c.visible && !c.canFocus) style |= WS_DISABLED;

    const std::wstring caption = c.kind == ControlKind::ListBox ? L"" : Widen(c.caption);
    HWND control =
        CreateWindowExW(exStyle, windowClass, caption.c_str(), style, Scale(c.left, ppi_),
                        Scale(c.top, ppi_), Scale(c.width, ppi_), Scale(c.height, ppi_), parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (control == nullptr) {
      throw std::runtime_error("Cannot create the control " + std::string(c.name) + " (error " +
                               std::to_string(GetLastError()) + ").");
    }
    SendMessageW(control, WM_SETFONT, (WPARAM)Font(*c.font), FALSE);

    switch (c.kind) {
      case ControlKind::Panel:
        panel1_.handle = control;
        break;
      case ControlKind::Label:
        label1_.handle = control;
        break;
      case ControlKind::Button:
        button1_.handle = control;
        button1_.window = this;
        break;
      case ControlKind::ProgressBar:
        progressBar1_.handle = control;
        SendMessageW(control, PBM_SETRANGE32, static_cast<WPARAM>(c.rangeMin),
                     static_cast<LPARAM>(c.rangeMax));
        SendMessageW(control, PBM_SETPOS, static_cast<WPARAM>(c.position), 0);
        break;
      case ControlKind::ListBox: {
        progSrc_.handle = control;
        progSrc_.items.assign(imageLines.begin(), imageLines.end());
        std::size_t bytes = 0;
        for (const std::string& line : progSrc_.items) bytes += (line.size() + 1) * 2;
        SendMessageW(control, LB_INITSTORAGE, progSrc_.items.size(), static_cast<LPARAM>(bytes));
        for (const std::string& line : progSrc_.items) {
          SendMessageW(control, LB_ADDSTRING, 0, (LPARAM)Widen(line).c_str());
        }
        if (c.itemHeight > 0) {
          SendMessageW(control, LB_SETITEMHEIGHT, 0, MAKELPARAM(Scale(c.itemHeight, ppi_), 0));
        }
        break;
      }
      case ControlKind::StaticText:
        staticText1_.handle = control;
        break;
      case ControlKind::Timer:
        break;
    }
    controls_[c.name] = control;
    if (c.tabOrder >= 0 && parent == window_) tabOrder.emplace_back(c.tabOrder, control);
  }

  // The dialog manager tabs in z-order: put the controls in the form's order.
  std::stable_sort(tabOrder.begin(), tabOrder.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  HWND previous = HWND_TOP;
  for (const auto& [order, control] : tabOrder) {
    SetWindowPos(control, previous, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
    previous = control;
  }
}

void Win32MainWindow::ApplyResolution(int ppi, const RECT* place) {
  if (ppi <= 0) return;
  ppi_ = ppi;
  const resources::FormSpec& form = resources::kMainForm;
  std::map<const FontSpec*, HFONT> previous = std::exchange(fonts_, {});
  faces_.clear();
  SendMessageW(window_, WM_SETFONT, (WPARAM)Font(*form.font), FALSE);
  for (const ControlSpec& c : resources::kMainFormControls) {
    HWND control = Control(c.name);
    if (control == nullptr) continue;
    SetWindowPos(control, nullptr, Scale(c.left, ppi_), Scale(c.top, ppi_), Scale(c.width, ppi_),
                 Scale(c.height, ppi_), SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(control, WM_SETFONT, (WPARAM)Font(*c.font), FALSE);
    if (c.kind == ControlKind::ListBox && c.itemHeight > 0) {
      SendMessageW(control, LB_SETITEMHEIGHT, 0, MAKELPARAM(Scale(c.itemHeight, ppi_), 0));
    }
  }
  // The controls hold the new fonts now.
  for (auto& [spec, font] : previous) DeleteObject(font);

  const int width = Scale(form.clientWidth, ppi_);
  const int height = Scale(form.clientHeight, ppi_);
  RECT before{};
  GetWindowRect(window_, &before);
  RECT frame{0, 0, width, height};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE)), FALSE, 0);
  // The frame's own size at the new resolution is the system's to draw:
  // sized once, the client area is measured and the rest made up.
  for (int pass = 0; pass < 2; ++pass) {
    windowSize_ = {frame.right - frame.left, frame.bottom - frame.top};
    const int left =
        place != nullptr ? place->left : (before.left + before.right) / 2 - windowSize_.cx / 2;
    const int top =
        place != nullptr ? place->top : (before.top + before.bottom) / 2 - windowSize_.cy / 2;
    SetWindowPos(window_, nullptr, left, top, windowSize_.cx, windowSize_.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client{};
    GetClientRect(window_, &client);
    if (client.right == width && client.bottom == height) break;
    frame.right += width - client.right;
    frame.bottom += height - client.bottom;
  }
  InvalidateRect(window_, nullptr, TRUE);
}

int Win32MainWindow::MessageBox(const std::string& text, const std::string& caption,
                                unsigned flags) {
  // What the run found out goes behind the box's expander.
  return DetailedMessageBox(text, caption, flags, BoxDetails);
}

bool Win32MainWindow::CanTakeFocus(HWND control) const {
  return control != nullptr && IsWindow(control) && IsChild(window_, control) &&
         IsWindowVisible(control) && IsWindowEnabled(control);
}

void Win32MainWindow::RestoreFocusTo(HWND control) {
  HWND focus = GetFocus();
  if (focus != nullptr && focus != window_) return;
  if (GetActiveWindow() == window_) {
    SetFocus(control);
  } else {
    // Taken up when the window is next activated.
    savedFocus_ = control;
  }
}

void Win32MainWindow::Close() {
  app::TCloseAction action = app::TCloseAction::Free;
  if (OnClose) Guarded([&] { OnClose(this, action); });
  if (action == app::TCloseAction::None) return;
  // Closing the main window ends the program: the loop stops and the window
  // goes with the objects that own it, after the logic.
  ShowWindow(window_, SW_HIDE);
  PostQuitMessage(0);
}

LRESULT CALLBACK Win32MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    auto* self = static_cast<Win32MainWindow*>(create->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  LRESULT result = 0;
  bool handled = false;
  // Nothing may unwind into Windows' own frames.
  Guarded([&] {
    result = self->Handle(message, wParam, lParam);
    handled = true;
  });
  return handled ? result : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Win32MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND window = window_;
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == ControlId("Button1") && HIWORD(wParam) == BN_CLICKED) {
        // Whatever sent it, a disabled Start does nothing.
        if (button1_.Enabled() && button1_.OnClick) {
          Guarded([this] { button1_.OnClick(&button1_); });
        }
        return 0;
      }
      break;
    case WM_SETFONT:
      // A plain window keeps no font; the form's font is kept for WM_GETFONT.
      windowFont_ = reinterpret_cast<HFONT>(wParam);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(windowFont_);
    case DM_GETDEFID:
      return MAKELRESULT(ControlId("Button1"), DC_HASDEFID);
    case WM_TIMER:
      if (wParam == kDelayTimerId) {
        delay_.Elapsed();
        return 0;
      }
      break;
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window_, focus)) savedFocus_ = focus;
      } else if (CanTakeFocus(savedFocus_)) {
        SetFocus(savedFocus_);
        return 0;
      }
      break;
    case WM_SETFOCUS:
      if (CanTakeFocus(savedFocus_)) {
        SetFocus(savedFocus_);
        return 0;
      }
      break;
    case WM_DPICHANGED:
      // Moved to a monitor of another resolution: Windows suggests where.
      ApplyResolution(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case WM_SYSCOMMAND:
      // Fixed size: no maximising and no sizing, whichever way they are asked.
      if ((wParam & 0xFFF0) == SC_MAXIMIZE || (wParam & 0xFFF0) == SC_SIZE) return 0;
      break;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      if (windowSize_.cx > 0) {
        info->ptMinTrackSize = {windowSize_.cx, windowSize_.cy};
        info->ptMaxTrackSize = {windowSize_.cx, windowSize_.cy};
        info->ptMaxSize = {windowSize_.cx, windowSize_.cy};
      }
      return 0;
    }
    case WM_DESTROY:
      // Destroyed from outside (not by this object): end the loop all the same.
      if (ApplicationWindow() == window_) PostQuitMessage(0);
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      window_ = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace win32front
