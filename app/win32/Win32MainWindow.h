// The main window in plain Win32, built from the form description and scaled
// from its 120 pixels-per-inch design to the system's resolution. Its window
// class carries the form's class name, so that the window can be found by
// class and caption.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Controls.h"
#include "Main.h"
#include "MainForm.h"

namespace win32front {

class Win32MainWindow;

class Win32Panel : public app::TPanel {
 public:
  HWND handle = nullptr;
};

class Win32Label : public app::TLabel {
 public:
  HWND handle = nullptr;
};

class Win32Button : public app::TButton {
 public:
  bool Enabled() const override;
  void SetEnabled(bool enabled) override;
  HWND handle = nullptr;
  Win32MainWindow* window = nullptr;
};

class Win32ProgressBar : public app::TProgressBar {
 public:
  std::int32_t Min() const override;
  std::int32_t Max() const override;
  std::int32_t Position() const override;
  void SetMin(std::int32_t value) override;
  void SetMax(std::int32_t value) override;
  void SetPosition(std::int32_t value) override;
  HWND handle = nullptr;
};

class Win32ListBox : public app::TListBox {
 public:
  std::span<const std::string> Items() const override { return items; }
  HWND handle = nullptr;
  std::vector<std::string> items;
};

class Win32StaticText : public app::TStaticText {
 public:
  std::string Caption() const override;
  void SetCaption(const std::string& text) override;
  HWND handle = nullptr;
};

// A one-shot on the window's WM_TIMER that never fires before its interval
// has passed: a Windows timer may come a little early (its tick is coarse),
// so the rest is waited out against the steady clock.
class Win32Timer : public app::TTimer {
 public:
  std::uint32_t Interval() const override { return interval_; }
  void SetInterval(std::uint32_t milliseconds) override;
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override;

  void Attach(HWND window, UINT_PTR id);
  // The window's WM_TIMER for this timer.
  void Elapsed();

 private:
  void Arm(std::chrono::milliseconds wait);

  HWND window_ = nullptr;
  UINT_PTR id_ = 0;
  std::uint32_t interval_ = 1000;
  bool enabled_ = false;
  std::chrono::steady_clock::time_point deadline_;
};

class Win32MainWindow : public app::TMainForm {
 public:
  // Makes the window's logic once the controls exist; tests put a derived
  // TMainPanel or a test double of the serial layer in.
  using PanelFactory = std::function<std::unique_ptr<app::TMainPanel>(app::TMainForm& form)>;

  // imageLines: the firmware image the hidden list holds. The window is shown
  // with showCommand (ShowWindow), centred, the focus on Start.
  Win32MainWindow(HINSTANCE instance, std::span<const std::string_view> imageLines,
                  PanelFactory factory = {}, int showCommand = SW_SHOWNORMAL);
  ~Win32MainWindow() override;
  Win32MainWindow(const Win32MainWindow&) = delete;
  Win32MainWindow& operator=(const Win32MainWindow&) = delete;

  HWND Handle() const { return window_; }
  app::TMainPanel& Panel() { return *panel_; }
  // The screen resolution the design was scaled to.
  int ScreenPixelsPerInch() const { return ppi_; }
  // The control of that name in the form description; null for the timer.
  HWND Control(std::string_view name) const;
  // The font face chosen for a font of the form description.
  std::wstring FaceName(const resources::FontSpec& spec) const;

  app::TPanel& Panel1() override { return panel1_; }
  app::TLabel& Label1() override { return label1_; }
  app::TButton& Button1() override { return button1_; }
  app::TProgressBar& ProgressBar1() override { return progressBar1_; }
  app::TListBox& ProgSrc() override { return progSrc_; }
  app::TStaticText& StaticText1() override { return staticText1_; }
  app::TTimer& Delay() override { return delay_; }
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;

  // Start was enabled again: the focus goes back to it when the window has
  // none of its own, so that Enter and Space start the next run.
  void RestoreFocusTo(HWND control);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void RegisterWindowClass();
  void BuildControls(std::span<const std::string_view> imageLines);
  HFONT Font(const resources::FontSpec& spec);
  // The window and its controls scaled anew to ppi (the monitor's, when
  // the window moves to one of another resolution): fonts, places, and a
  // client area of the design's size; the window's top-left corner goes to
  // place, or its centre stays where it is.
  void ApplyResolution(int ppi, const RECT* place);
  bool CanTakeFocus(HWND control) const;
  void Close();

  HINSTANCE instance_;
  HWND window_ = nullptr;
  int ppi_ = resources::kDesignPixelsPerInch;
  SIZE windowSize_{};
  // The control that had the focus when the window was last deactivated.
  HWND savedFocus_ = nullptr;
  std::map<const resources::FontSpec*, HFONT> fonts_;
  std::map<const resources::FontSpec*, std::wstring> faces_;
  std::map<std::string_view, HWND> controls_;
  HFONT windowFont_ = nullptr;
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;

  Win32Panel panel1_;
  Win32Label label1_;
  Win32Button button1_;
  Win32ProgressBar progressBar1_;
  Win32ListBox progSrc_;
  Win32StaticText staticText1_;
  Win32Timer delay_;
  // Declared last, so that it goes before the controls it uses.
  std::unique_ptr<app::TMainPanel> panel_;
};

}  // namespace win32front
