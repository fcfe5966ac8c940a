// The Win32 window, created in this process as the program creates it: its
// geometry at the system's resolution, every control's class, style, text and
// font, the focus, Start pressed by click and keyboard through the program's
// own message dispatch, the one-shot timer, the modal boxes with the serial
// hand-offs served inside them, a box's details behind its expander, every
// box as wide as its caption, closing, and the icon drawn from the form.
// tools/wine-tests.sh runs it at 96 and at 120 pixels per inch, naming the
// resolution in KSIDU_WINE_DPI; without a display the cases skip.
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Classes.h"
#include "EmbeddedImage.h"
#include "Main.h"
#include "MainForm.h"
#include "PortSource.h"
#include "Watchdog.h"
#include "Win32Ids.h"
#include "Win32MainWindow.h"
#include "Win32Services.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using resources::ControlSpec;
using resources::FontSpec;
using win32front::Narrow;
using win32front::Widen;

int Scale(int value, int ppi) {
  return resources::ScaleToScreen(value, ppi);
}

// The window's logic with Start and the timer's handler counted instead of
// run: no port is touched.
class CountingPanel : public app::TMainPanel {
 public:
  CountingPanel(app::TMainForm& form, app::TPortSource& ports)
      : app::TMainPanel(nullptr, form, comm::SystemCommOs(), ports) {}
  void Button1Click(comm::TObject*) override {
    ++clicks;
    if (throwOnClick) throw std::runtime_error("Simulated failure in a handler.");
  }
  void DelayTimer(comm::TObject*) override {
    ++ticks;
    lastTick = Clock::now();
  }
  int clicks = 0;
  int ticks = 0;
  bool throwOnClick = false;
  Clock::time_point lastTick;
};

std::string ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return Narrow(name);
}

std::string TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return Narrow(text);
}

LONG StyleOf(HWND window) {
  return GetWindowLongW(window, GWL_STYLE);
}

bool SameClass(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
         CSTR_EQUAL;
}

LOGFONTW FontOf(HWND window) {
  LOGFONTW font{};
  auto handle = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  EXPECT_NE(handle, nullptr) << ClassOf(window) << " has no font of its own";
  if (handle != nullptr) GetObjectW(handle, sizeof font, &font);
  return font;
}

// The face GDI really gives for the window's font.
std::wstring RealizedFace(HWND window) {
  auto handle = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, handle);
  wchar_t face[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, face);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return face;
}

// The rectangle of a child in its parent's client coordinates.
RECT RectInParent(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    try {
      services_ = std::make_unique<win32front::FrontEndServices>(GetModuleHandleW(nullptr));
      window_ = std::make_unique<win32front::Win32MainWindow>(
          GetModuleHandleW(nullptr), resources::EmbeddedImageLines(), [this](app::TMainForm& form) {
            auto panel = std::make_unique<CountingPanel>(form, ports_);
            panel_ = panel.get();
            return panel;
          });
    } catch (const std::exception& e) {
      GTEST_SKIP() << "no window can be made here (a display is needed): " << e.what();
    }
    main_ = window_->Handle();
    button_ = window_->Control("Button1");
    // Let the window come up and take the focus.
    Pump([] { return false; }, 200ms);
  }

  void TearDown() override {
    window_.reset();
    services_.reset();
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  // Dispatches this thread's messages as the program's loop does, until
  // done() holds or the limit has passed; WM_QUIT is noted, not obeyed.
  bool Pump(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
          quitSeen_ = true;
          continue;
        }
        win32front::ProcessMessage(main_, message);
        if (done()) return true;
      }
      if (done()) return true;
      const auto now = Clock::now();
      if (now >= end) return false;
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(end - now);
      MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(wait.count()), QS_ALLINPUT,
                                  MWMO_INPUTAVAILABLE);
    }
  }

  void PumpFor(std::chrono::milliseconds time) {
    Pump([] { return false; }, time);
  }

  int Ppi() const { return window_->ScreenPixelsPerInch(); }

  testsupport::Watchdog watchdog_{60s, "window test"};
  app::TNamedPortSource ports_{{}};
  std::unique_ptr<win32front::FrontEndServices> services_;
  std::unique_ptr<win32front::Win32MainWindow> window_;
  CountingPanel* panel_ = nullptr;
  HWND main_ = nullptr;
  HWND button_ = nullptr;
  bool quitSeen_ = false;
};

TEST_F(WindowTest, IsScaledToTheSystemResolutionAndCentred) {
  // The manifest declares the program DPI-aware, so it sees the real
  // resolution; the rig names the one it set.
  EXPECT_TRUE(IsProcessDPIAware());
  HDC screen = GetDC(nullptr);
  const int systemPpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(Ppi(), systemPpi);
  if (const char* expected = std::getenv("KSIDU_WINE_DPI")) {
    EXPECT_EQ(Ppi(), std::atoi(expected)) << "the rig's resolution did not reach the program";
  }

  RECT client{};
  GetClientRect(main_, &client);
  EXPECT_EQ(client.right, Scale(215, Ppi()));
  EXPECT_EQ(client.bottom, Scale(92, Ppi()));

  RECT frame{};
  GetWindowRect(main_, &frame);
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int centreX = (work.left + work.right) / 2;
  const int centreY = (work.top + work.bottom) / 2;
  EXPECT_LE(std::abs((frame.left + frame.right) / 2 - centreX), 1);
  EXPECT_LE(std::abs((frame.top + frame.bottom) / 2 - centreY), 1);

  for (const ControlSpec& c : resources::kMainFormControls) {
    if (c.kind == resources::ControlKind::Timer) continue;
    SCOPED_TRACE(std::string(c.name));
    HWND control = window_->Control(c.name);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(GetDlgCtrlID(control), win32front::ControlId(c.name));
    EXPECT_EQ(GetParent(control), c.parent.empty() ? main_ : window_->Control(c.parent));
    const RECT rect = RectInParent(control);
    EXPECT_EQ(rect.left, Scale(c.left, Ppi()));
    EXPECT_EQ(rect.top, Scale(c.top, Ppi()));
    EXPECT_EQ(rect.right - rect.left, Scale(c.width, Ppi()));
    EXPECT_EQ(rect.bottom - rect.top, Scale(c.height, Ppi()));
  }
  // The status line spans the client area's whole width along its bottom.
  const RECT status = RectInParent(window_->Control("StaticText1"));
  EXPECT_EQ(status.right - status.left, client.right);
  EXPECT_LE(std::abs(status.bottom - client.bottom), 1);
}

TEST_F(WindowTest, MovedToAMonitorOfAnotherResolutionItScalesToThatOne) {
  // As Windows tells a per-monitor aware window that it now shows on a
  // monitor of 144 pixels per inch, and where it suggests the window go.
  const int before = Ppi();
  for (const int ppi : {144, before}) {
    SCOPED_TRACE(ppi);
    RECT suggested{40, 30, 40 + 500, 30 + 300};
    SendMessageW(main_, WM_DPICHANGED, MAKEWPARAM(ppi, ppi), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(Ppi(), ppi);
    RECT client{};
    GetClientRect(main_, &client);
    EXPECT_EQ(client.right, Scale(215, ppi));
    EXPECT_EQ(client.bottom, Scale(92, ppi));
    RECT frame{};
    GetWindowRect(main_, &frame);
    EXPECT_EQ(frame.left, 40);
    EXPECT_EQ(frame.top, 30);
    for (const ControlSpec& c : resources::kMainFormControls) {
      if (c.kind == resources::ControlKind::Timer) continue;
      SCOPED_TRACE(std::string(c.name));
      const RECT rect = RectInParent(window_->Control(c.name));
      EXPECT_EQ(rect.left, Scale(c.left, ppi));
      EXPECT_EQ(rect.top, Scale(c.top, ppi));
      EXPECT_EQ(rect.right - rect.left, Scale(c.width, ppi));
      EXPECT_EQ(rect.bottom - rect.top, Scale(c.height, ppi));
      EXPECT_EQ(FontOf(window_->Control(c.name)).lfHeight, -Scale(c.font->height, ppi));
    }
    EXPECT_EQ(FontOf(main_).lfHeight, -Scale(11, ppi));
  }
}

TEST_F(WindowTest, WindowIsAFixedDialogOfButtonFaceWithItsFormsFont) {
  EXPECT_EQ(ClassOf(main_), "TMainPanel");
  EXPECT_EQ(TextOf(main_), "KS_E -> IDU");
  EXPECT_EQ(FindWindowW(L"TMainPanel", L"KS_E -> IDU"), main_);
  EXPECT_TRUE(IsWindowVisible(main_));
  const LONG style = StyleOf(main_);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_EQ(GetClassLongPtrW(main_, GCLP_HBRBACKGROUND), COLOR_BTNFACE + 1);

  const LOGFONTW font = FontOf(main_);
  EXPECT_EQ(font.lfHeight, -Scale(11, Ppi()));
  EXPECT_EQ(font.lfWeight, FW_NORMAL);
  EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);

  // Neither maximised nor resized, however asked; minimised and restored.
  RECT before{};
  GetWindowRect(main_, &before);
  SendMessageW(main_, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
  PumpFor(50ms);
  RECT after{};
  GetWindowRect(main_, &after);
  EXPECT_FALSE(IsZoomed(main_));
  EXPECT_EQ(after.right - after.left, before.right - before.left);
  EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);
  ShowWindow(main_, SW_MAXIMIZE);
  PumpFor(50ms);
  GetWindowRect(main_, &after);
  EXPECT_EQ(after.right - after.left, before.right - before.left);
  EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);
  ShowWindow(main_, SW_RESTORE);
  SetWindowPos(main_, nullptr, before.left, before.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  SendMessageW(main_, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  PumpFor(50ms);
  EXPECT_TRUE(IsIconic(main_));
  SendMessageW(main_, WM_SYSCOMMAND, SC_RESTORE, 0);
  PumpFor(50ms);
  EXPECT_FALSE(IsIconic(main_));
}

TEST_F(WindowTest, EveryControlHasItsClassStyleTextAndFont) {
  struct Expected {
    std::string_view name;
    const char* windowClass;
  };
  const std::array<Expected, 6> expected{{{"Panel1", "Static"},
                                          {"Label1", "Static"},
                                          {"Button1", "Button"},
                                          {"ProgressBar1", "msctls_progress32"},
                                          {"ProgSrc", "ListBox"},
                                          {"StaticText1", "Static"}}};
  for (const Expected& e : expected) {
    SCOPED_TRACE(std::string(e.name));
    const ControlSpec& spec = *resources::FindControl(e.name);
    HWND control = window_->Control(e.name);
    ASSERT_NE(control, nullptr);
    EXPECT_TRUE(SameClass(ClassOf(control), e.windowClass)) << ClassOf(control);
    EXPECT_EQ(IsWindowVisible(control) != FALSE, spec.visible);
    EXPECT_EQ((StyleOf(control) & WS_TABSTOP) != 0, spec.canFocus);
    if (spec.kind != resources::ControlKind::ListBox) {
      EXPECT_EQ(TextOf(control), spec.caption);
    }

    const FontSpec& fontSpec = *spec.font;
    const LOGFONTW font = FontOf(control);
    EXPECT_EQ(font.lfHeight, -Scale(fontSpec.height, Ppi()));
    EXPECT_EQ(font.lfWeight, fontSpec.bold ? FW_BOLD : FW_NORMAL);
    EXPECT_EQ(font.lfCharSet, fontSpec.charset);
    // The design's family, or a substitute where it is not installed; the
    // face chosen is one that GDI really has.
    const std::wstring face = font.lfFaceName;
    bool known = face == Widen(fontSpec.family);
    for (std::string_view substitute : fontSpec.substitutes) known |= face == Widen(substitute);
    EXPECT_TRUE(known) << Narrow(face);
    EXPECT_EQ(face, window_->FaceName(fontSpec));
    if (face != Widen(fontSpec.family)) {
      EXPECT_EQ(RealizedFace(control), face);
    }
  }

  HWND panel = window_->Control("Panel1");
  EXPECT_TRUE(StyleOf(panel) & SS_SUNKEN);
  EXPECT_EQ(GetParent(window_->Control("Label1")), panel);
  EXPECT_EQ(StyleOf(window_->Control("Label1")) & SS_TYPEMASK, SS_CENTER);

  EXPECT_EQ(StyleOf(button_) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  EXPECT_TRUE(IsWindowEnabled(button_));

  HWND bar = window_->Control("ProgressBar1");
  EXPECT_TRUE(StyleOf(bar) & PBS_SMOOTH);
  EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 0);
  EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
  // Past the maximum the bar shows full; before the minimum, empty.
  panel_->ProgressBar1->SetMax(30860);
  panel_->ProgressBar1->SetPosition(30864);
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 30860);
  EXPECT_EQ(panel_->ProgressBar1->Max(), 30860);
  panel_->ProgressBar1->SetPosition(-5);
  EXPECT_EQ(panel_->ProgressBar1->Position(), 0);

  // The hidden list holds the image's lines in their order.
  HWND list = window_->Control("ProgSrc");
  const auto lines = resources::EmbeddedImageLines();
  EXPECT_FALSE(StyleOf(list) & LBS_SORT);
  ASSERT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), static_cast<LRESULT>(lines.size()));
  for (std::size_t index : {std::size_t{0}, lines.size() / 2, lines.size() - 1}) {
    wchar_t item[128] = {};
    SendMessageW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(item));
    EXPECT_EQ(Narrow(item), lines[index]);
  }
  EXPECT_EQ(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0), Scale(13, Ppi()));
  ASSERT_EQ(panel_->ProgSrc->Items().size(), lines.size());
  EXPECT_EQ(panel_->ProgSrc->Items().back(), lines.back());

  // The status line: sunken, and a text shown as it stands, '&' included.
  HWND status = window_->Control("StaticText1");
  EXPECT_TRUE(StyleOf(status) & SS_SUNKEN);
  EXPECT_TRUE(StyleOf(status) & SS_NOPREFIX);
  panel_->ShowStatus("Erase & program...");
  EXPECT_EQ(TextOf(status), "Erase & program...");
  EXPECT_EQ(panel_->StaticText1->Caption(), "Erase & program...");
  panel_->ShowStatus("");
  EXPECT_EQ(TextOf(status), "");

  // Creation and tab order: the form's order; Start is the only tab stop.
  std::vector<std::string> order;
  for (HWND child = GetWindow(main_, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    order.push_back(std::to_string(GetDlgCtrlID(child)));
  }
  std::vector<std::string> wanted;
  for (const char* name : {"Panel1", "Button1", "ProgressBar1", "ProgSrc", "StaticText1"}) {
    wanted.push_back(std::to_string(win32front::ControlId(name)));
  }
  EXPECT_EQ(order, wanted);
  EXPECT_EQ(GetNextDlgTabItem(main_, button_, FALSE), button_);
}

TEST_F(WindowTest, StartHasTheFocusAndGetsItBackWhenEnabledAgain) {
  ASSERT_TRUE(Pump([&] { return GetFocus() == button_; }, 2s)) << "focus on " << GetFocus();
  panel_->Button1->SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(button_));
  EXPECT_NE(GetFocus(), button_);
  // ProgSrc never takes the focus, although it is in the tab order.
  SetFocus(window_->Control("ProgSrc"));
  EXPECT_NE(GetFocus(), window_->Control("ProgSrc"));
  panel_->Button1->SetEnabled(true);
  EXPECT_EQ(GetFocus(), button_);
}

TEST_F(WindowTest, StartIsPressedByClickEnterSpaceAndAltS) {
  ASSERT_TRUE(Pump([&] { return GetFocus() == button_; }, 2s));
  auto pressesTo = [&](int count) {
    return Pump([&] { return panel_->clicks >= count; }, 2s) && panel_->clicks == count;
  };
  SendMessageW(button_, BM_CLICK, 0, 0);
  EXPECT_TRUE(pressesTo(1)) << "BM_CLICK";
  PostMessageW(button_, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  EXPECT_TRUE(pressesTo(2)) << "Enter";
  PostMessageW(button_, WM_KEYDOWN, VK_SPACE, 0x00390001);
  PostMessageW(button_, WM_KEYUP, VK_SPACE, 0xC0390001);
  EXPECT_TRUE(pressesTo(3)) << "Space";
  PostMessageW(button_, WM_SYSCHAR, 's', 0x201F0001);
  EXPECT_TRUE(pressesTo(4)) << "Alt+S";
  const LPARAM inside = MAKELPARAM(5, 5);
  PostMessageW(button_, WM_LBUTTONDOWN, MK_LBUTTON, inside);
  PostMessageW(button_, WM_LBUTTONUP, 0, inside);
  EXPECT_TRUE(pressesTo(5)) << "mouse";

  // While a run lasts Start is disabled: nothing presses it.
  panel_->Button1->SetEnabled(false);
  SendMessageW(button_, BM_CLICK, 0, 0);
  PostMessageW(GetFocus() != nullptr ? GetFocus() : main_, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  PostMessageW(main_, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  PostMessageW(main_, WM_SYSCHAR, 's', 0x201F0001);
  PostMessageW(main_, WM_COMMAND, MAKEWPARAM(win32front::ControlId("Button1"), BN_CLICKED),
               reinterpret_cast<LPARAM>(button_));
  PumpFor(300ms);
  EXPECT_EQ(panel_->clicks, 5);

  panel_->Button1->SetEnabled(true);
  PostMessageW(button_, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  EXPECT_TRUE(pressesTo(6)) << "Enter once enabled again";
}

TEST_F(WindowTest, DelayIsAOneShotThatNeverFiresEarly) {
  app::TTimer& delay = *panel_->Delay;
  EXPECT_FALSE(delay.Enabled());
  EXPECT_EQ(delay.Interval(), 1000u);

  delay.SetInterval(120);
  auto start = Clock::now();
  delay.SetEnabled(true);
  // A WM_TIMER that comes before the time (as a coarse tick can) is no tick.
  PostMessageW(main_, WM_TIMER, 1, 0);
  ASSERT_TRUE(Pump([&] { return panel_->ticks == 1; }, 5s));
  EXPECT_GE(panel_->lastTick - start, 120ms);
  EXPECT_FALSE(delay.Enabled());
  PumpFor(400ms);
  EXPECT_EQ(panel_->ticks, 1) << "a tick leaves the timer off";

  // Enabling a running timer starts a fresh countdown; so does a new interval.
  delay.SetEnabled(true);
  PumpFor(60ms);
  start = Clock::now();
  delay.SetEnabled(true);
  ASSERT_TRUE(Pump([&] { return panel_->ticks == 2; }, 5s));
  EXPECT_GE(panel_->lastTick - start, 120ms);

  delay.SetEnabled(true);
  PumpFor(60ms);
  start = Clock::now();
  delay.SetInterval(200);
  ASSERT_TRUE(Pump([&] { return panel_->ticks == 3; }, 5s));
  EXPECT_GE(panel_->lastTick - start, 200ms);

  // Disabling cancels the countdown.
  delay.SetInterval(100);
  delay.SetEnabled(true);
  PumpFor(30ms);
  delay.SetEnabled(false);
  PumpFor(300ms);
  EXPECT_EQ(panel_->ticks, 3);
}

// What a probe found out about a box while it was up.
struct BoxSeen {
  HWND box = nullptr;
  HWND owner = nullptr;
  bool ownerEnabled = true;
  std::string caption;
  std::string text;
  std::vector<std::string> texts;  // every visible text, in z-order
  std::vector<std::string> buttons;
  bool icon = false;
  RECT frame{};
  RECT client{};
  std::vector<RECT> buttonRects;  // in client coordinates
};

BOOL CALLBACK CollectBox(HWND child, LPARAM seenAddress) {
  auto& seen = *reinterpret_cast<BoxSeen*>(seenAddress);
  if (!IsWindowVisible(child)) return TRUE;
  const std::string windowClass = ClassOf(child);
  if (SameClass(windowClass, "Button")) {
    seen.buttons.push_back(TextOf(child));
    seen.buttonRects.push_back(RectInParent(child));
  } else if (SameClass(windowClass, "Static")) {
    if ((StyleOf(child) & SS_TYPEMASK) == SS_ICON) {
      seen.icon |= SendMessageW(child, STM_GETICON, 0, 0) != 0;
    } else if (!TextOf(child).empty()) {
      seen.text = TextOf(child);
      std::string text = seen.text;
      std::erase(text, '\r');
      seen.texts.push_back(text);
    }
  }
  return TRUE;
}

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
  if (ClassOf(window) == "#32770" && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

HWND OpenBox() {
  HWND box = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), &FindBox, reinterpret_cast<LPARAM>(&box));
  return box;
}

BoxSeen Describe(HWND box) {
  BoxSeen seen;
  seen.box = box;
  seen.owner = GetWindow(box, GW_OWNER);
  seen.ownerEnabled = seen.owner != nullptr && IsWindowEnabled(seen.owner);
  seen.caption = TextOf(box);
  GetWindowRect(box, &seen.frame);
  GetClientRect(box, &seen.client);
  EnumChildWindows(box, &CollectBox, reinterpret_cast<LPARAM>(&seen));
  return seen;
}

bool Has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Whether an expander shows its whole text beside its arrow (about as wide
// as the button is high).
bool ExpanderFits(HWND expander) {
  if (expander == nullptr) return false;
  RECT r{};
  GetWindowRect(expander, &r);
  HDC dc = GetDC(expander);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(expander, WM_GETFONT, 0, 0)));
  const std::wstring text = Widen(TextOf(expander));
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(expander, dc);
  return r.right - r.left >= size.cx + (r.bottom - r.top);
}

HWND ButtonOf(HWND box, const std::string& text) {
  std::pair<std::string, HWND> search{text, nullptr};
  EnumChildWindows(
      box,
      [](HWND child, LPARAM searchAddress) -> BOOL {
        auto& [wanted, found] = *reinterpret_cast<std::pair<std::string, HWND>*>(searchAddress);
        if (SameClass(ClassOf(child), "Button") && TextOf(child) == wanted) {
          found = child;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.second;
}

// What a box needs at the least to show its whole caption, reckoned apart
// from the program: the caption's text in the caption font, the close button
// beside it, and the frame.
int CaptionNeeds(const BoxSeen& seen) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  HFONT font = CreateFontIndirectW(&metrics.lfCaptionFont);
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  const std::wstring caption = Widen(seen.caption);
  SIZE size{};
  GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  DeleteObject(font);
  const int frame = (seen.frame.right - seen.frame.left) - (seen.client.right - seen.client.left);
  return size.cx + GetSystemMetrics(SM_CXSIZE) + frame;
}

// Runs on the thread's own timer inside a box's modal loop: the step is
// called every 20 ms with the open box (or null) until it returns true.
struct Probe {
  static inline std::function<bool(HWND)> step;
  static void CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
    if (step && step(OpenBox())) {
      KillTimer(nullptr, id);
      step = nullptr;
    }
  }
  explicit Probe(std::function<bool(HWND)> s) {
    step = std::move(s);
    id = SetTimer(nullptr, 0, 20, &Tick);
  }
  ~Probe() {
    KillTimer(nullptr, id);
    step = nullptr;
  }
  UINT_PTR id;
};

TEST_F(WindowTest, MessageBoxIsModalAndServesTimerAndHandOffs) {
  ASSERT_TRUE(Pump([&] { return GetFocus() == button_; }, 2s));
  BoxSeen seen;
  std::thread handOff;
  std::atomic<bool> handedOver{false};
  std::thread::id ranOn;
  const int token = 0;
  panel_->Delay->SetInterval(100);
  panel_->Delay->SetEnabled(true);

  Probe probe([&](HWND box) {
    if (box == nullptr) return false;
    if (seen.box == nullptr) {
      seen = Describe(box);
      // A serial event thread hands a call over while the box is up.
      handOff = std::thread([&] {
        comm::TMainThreadQueue::Instance().Synchronize(&token,
                                                       [&] { ranOn = std::this_thread::get_id(); });
        handedOver = true;
      });
    }
    if (!handedOver || panel_->ticks == 0) return false;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return true;
  });
  const int pressed =
      window_->MessageBox("Station KESTRO not found.", "Hardware error.", app::kMessageBoxOk);
  if (handOff.joinable()) handOff.join();

  EXPECT_EQ(pressed, IDOK);
  ASSERT_NE(seen.box, nullptr) << "no box was seen";
  EXPECT_EQ(seen.owner, main_);
  EXPECT_FALSE(seen.ownerEnabled) << "the window stays usable under its box";
  EXPECT_EQ(seen.caption, "Hardware error.");
  EXPECT_EQ(seen.text, "Station KESTRO not found.");
  EXPECT_EQ(seen.buttons, std::vector<std::string>{"OK"});
  EXPECT_FALSE(seen.icon);
  EXPECT_TRUE(handedOver);
  EXPECT_EQ(ranOn, std::this_thread::get_id()) << "the hand-off ran off the GUI thread";
  EXPECT_EQ(panel_->ticks, 1);
  EXPECT_TRUE(IsWindowEnabled(main_));
  EXPECT_TRUE(Pump([&] { return GetFocus() == button_; }, 2s)) << "focus not back on Start";
}

TEST_F(WindowTest, SerialComponentsBoxIsTheSameKind) {
  BoxSeen seen;
  Probe probe([&](HWND box) {
    if (box == nullptr) return false;
    seen = Describe(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return true;
  });
  comm::ApplicationMessageBox("Cannot open port.(Error: 5)", "Serial Port Error.", 0);
  EXPECT_EQ(seen.owner, main_);
  EXPECT_EQ(seen.caption, "Serial Port Error.");
  EXPECT_EQ(seen.text, "Cannot open port.(Error: 5)");
  EXPECT_FALSE(seen.icon);
}

// The details of a box (why ports were passed over) behind an expander, in a
// box that is otherwise the plain one: caption, text, OK, no icon, owned and
// modal; Esc closes it expanded, Enter closes it as it comes.
TEST_F(WindowTest, DetailsAreBehindAnExpanderAndEscOrEnterCloseTheBox) {
  ASSERT_TRUE(Pump([&] { return GetFocus() == button_; }, 2s));
  const std::string details =
      "COM1: does not exist\nCOM12: no valid answer to its identify frames\n";
  for (const WPARAM key : {VK_ESCAPE, VK_RETURN}) {
    SCOPED_TRACE(key == VK_ESCAPE ? "Esc" : "Enter");
    BoxSeen collapsed;
    BoxSeen expanded;
    bool keyClosed = true;
    bool collapsedFits = false;
    bool expandedFits = false;
    int step = 0;
    Probe probe([&](HWND box) {
      if (box == nullptr) return false;
      const int now = step++;
      if (now == 0) {
        collapsed = Describe(box);
        if (key == VK_RETURN) {
          PostMessageW(GetFocus() != nullptr ? GetFocus() : box, WM_KEYDOWN, key, 0);
          return false;
        }
        HWND expander = ButtonOf(box, "Show details");
        collapsedFits = ExpanderFits(expander);
        if (expander != nullptr) SendMessageW(expander, BM_CLICK, 0, 0);
        return false;
      }
      if (now == 1 && key == VK_ESCAPE) {
        expanded = Describe(box);
        expandedFits = ExpanderFits(ButtonOf(box, "Hide details"));
        PostMessageW(GetFocus() != nullptr ? GetFocus() : box, WM_KEYDOWN, key, 0);
        return false;
      }
      if (now < 60) return false;
      // Still up a second after the key: close it so that the test ends.
      keyClosed = false;
      if (HWND ok = ButtonOf(box, "OK")) PostMessageW(ok, BM_CLICK, 0, 0);
      return true;
    });
    window_->BoxDetails = details;
    const int pressed =
        window_->MessageBox("Station KESTRO not found.", "Hardware error.", app::kMessageBoxOk);
    window_->BoxDetails.clear();

    EXPECT_EQ(pressed, IDOK);
    EXPECT_TRUE(keyClosed) << "the key did not close the box";
    ASSERT_NE(collapsed.box, nullptr) << "no box was seen";
    EXPECT_EQ(collapsed.owner, main_);
    EXPECT_FALSE(collapsed.ownerEnabled) << "the window stays usable under its box";
    EXPECT_EQ(collapsed.caption, "Hardware error.");
    EXPECT_TRUE(Has(collapsed.texts, "Station KESTRO not found."));
    EXPECT_TRUE(Has(collapsed.buttons, "OK"));
    EXPECT_TRUE(Has(collapsed.buttons, "Show details"));
    EXPECT_EQ(collapsed.buttons.size(), 2u) << "OK and the expander only";
    EXPECT_FALSE(collapsed.icon);
    for (const std::string& text : collapsed.texts) {
      EXPECT_EQ(text.find("COM1: does not exist"), std::string::npos) << "details shown at once";
    }
    if (key == VK_ESCAPE) {
      EXPECT_EQ(expanded.caption, "Hardware error.");
      EXPECT_TRUE(Has(expanded.texts, details.substr(0, details.size() - 1)))
          << "the details are not shown as given";
      EXPECT_TRUE(Has(expanded.buttons, "Hide details"));
      EXPECT_TRUE(collapsedFits) << "\"Show details\" is cut off";
      EXPECT_TRUE(expandedFits) << "\"Hide details\" is cut off";
    }
    EXPECT_TRUE(IsWindowEnabled(main_));
    EXPECT_TRUE(Pump([&] { return GetFocus() == button_; }, 2s)) << "focus not back on Start";
  }
}

// Windows sizes a box by its text; the caption must still fit in the title
// bar, with details and without, however short the text.
TEST_F(WindowTest, BoxesAreWideEnoughForTheirCaption) {
  const std::string longCaption =
      "A caption far longer than the text of its box, as a translation may make it";
  struct Case {
    std::string text;
    std::string caption;
    std::string details;
  };
  for (const Case& c :
       {Case{"Station KESTRO not found.", "Hardware error.", ""},
        Case{"Command timeout.", "Upgrade error.", ""}, Case{"OK.", longCaption, ""},
        Case{"OK.", longCaption, "COM1: does not exist\n"}}) {
    SCOPED_TRACE(c.caption + (c.details.empty() ? "" : ", with details"));
    BoxSeen seen;
    int needs = 0;
    Probe probe([&](HWND box) {
      if (box == nullptr) return false;
      seen = Describe(box);
      needs = CaptionNeeds(seen);
      if (HWND ok = ButtonOf(box, "OK")) PostMessageW(ok, BM_CLICK, 0, 0);
      return true;
    });
    window_->BoxDetails = c.details;
    window_->MessageBox(c.text, c.caption, app::kMessageBoxOk);
    window_->BoxDetails.clear();
    ASSERT_NE(seen.box, nullptr) << "no box was seen";
    EXPECT_EQ(seen.caption, c.caption);
    EXPECT_TRUE(Has(seen.texts, c.text));
    EXPECT_GE(seen.frame.right - seen.frame.left, needs) << "the caption is cut off";
    // Widening keeps every button inside the box.
    for (const RECT& button : seen.buttonRects) {
      EXPECT_GE(button.left, seen.client.left);
      EXPECT_LE(button.right, seen.client.right);
    }
  }
}

TEST_F(WindowTest, AnExceptionFromAHandlerIsShownAndTheLoopGoesOn) {
  BoxSeen seen;
  panel_->throwOnClick = true;
  {
    Probe probe([&](HWND box) {
      if (box == nullptr) return false;
      seen = Describe(box);
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return true;
    });
    SendMessageW(button_, BM_CLICK, 0, 0);
    Pump([&] { return seen.box != nullptr && OpenBox() == nullptr; }, 5s);
  }
  EXPECT_EQ(seen.caption, "KS_E -> IDU");
  EXPECT_EQ(seen.text, "Simulated failure in a handler.");
  EXPECT_TRUE(seen.icon) << "the exception box shows the error icon";
  EXPECT_EQ(seen.buttons, std::vector<std::string>{"OK"});

  panel_->throwOnClick = false;
  SendMessageW(button_, BM_CLICK, 0, 0);
  EXPECT_EQ(panel_->clicks, 2);
}

TEST_F(WindowTest, ClosingEndsTheLoopWithThePortClosed) {
  PostMessageW(main_, WM_CLOSE, 0, 0);
  EXPECT_TRUE(Pump([&] { return quitSeen_; }, 2s));
  EXPECT_FALSE(IsWindowVisible(main_));
  EXPECT_FALSE(panel_->Comm->IsOpen());
}

TEST_F(WindowTest, IconIsTheFormsPicture) {
  EXPECT_NE(SendMessageW(main_, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageW(main_, WM_GETICON, ICON_SMALL, 0), 0);

  auto icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr),
                                            MAKEINTRESOURCEW(win32front::kIconResourceId),
                                            IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
  ASSERT_NE(icon, nullptr);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(icon, &info));
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = 32;
  format.bmiHeader.biHeight = -32;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  std::vector<std::uint32_t> colour(32 * 32);
  std::vector<std::uint32_t> mask(32 * 32);
  HDC dc = GetDC(nullptr);
  EXPECT_EQ(GetDIBits(dc, info.hbmColor, 0, 32, colour.data(), &format, DIB_RGB_COLORS), 32);
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  EXPECT_EQ(GetDIBits(dc, info.hbmMask, 0, 32, mask.data(), &format, DIB_RGB_COLORS), 32);
  ReleaseDC(nullptr, dc);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  DestroyIcon(icon);

  int wrong = 0;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const char c = resources::kIcon[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
      const std::size_t at = static_cast<std::size_t>(y * 32 + x);
      const bool clear = (mask[at] & 0xFFFFFF) != 0;
      if (c == '.') {
        wrong += clear ? 0 : 1;
      } else {
        const int index = c <= '9' ? c - '0' : c - 'A' + 10;
        const std::uint32_t want = resources::kIconPalette[static_cast<std::size_t>(index)];
        wrong += (!clear && (colour[at] & 0xFFFFFF) == want) ? 0 : 1;
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "pixels that differ from the form's icon";
}

}  // namespace
