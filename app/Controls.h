// The main window's controls as the window logic sees them. A front end
// builds the real controls from the form description and gives the logic
// these views of them; the logic never names a GUI toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "Classes.h"
// Before anything names MessageBox: on Windows <windows.h> makes it a macro,
// and every unit must see the form's member under the same name.
#include "WinDefs.h"

namespace app {

using TNotifyEvent = std::function<void(comm::TObject* sender)>;

class TControl : public comm::TObject {
 public:
  const char* ClassName() const override { return "TControl"; }
};

// Panel1 and Label1 do nothing at run time once built.
class TPanel : public TControl {
 public:
  const char* ClassName() const override { return "TPanel"; }
};

class TLabel : public TControl {
 public:
  const char* ClassName() const override { return "TLabel"; }
};

class TButton : public TControl {
 public:
  const char* ClassName() const override { return "TButton"; }
  virtual bool Enabled() const = 0;
  // A disabled button ignores the mouse and the keyboard.
  virtual void SetEnabled(bool enabled) = 0;

  // Called with the button as sender when it is pressed.
  TNotifyEvent OnClick;
};

class TProgressBar : public TControl {
 public:
  const char* ClassName() const override { return "TProgressBar"; }
  virtual std::int32_t Min() const = 0;
  virtual std::int32_t Max() const = 0;
  virtual std::int32_t Position() const = 0;
  virtual void SetMin(std::int32_t value) = 0;
  virtual void SetMax(std::int32_t value) = 0;
  // A position outside the range is held at the nearer end, so a position
  // past the maximum shows a full bar.
  virtual void SetPosition(std::int32_t value) = 0;
};

class TListBox : public TControl {
 public:
  const char* ClassName() const override { return "TListBox"; }
  virtual std::span<const std::string> Items() const = 0;
};

class TStaticText : public TControl {
 public:
  const char* ClassName() const override { return "TStaticText"; }
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& text) = 0;
};

// Fires on the GUI thread. Enabling starts a fresh countdown; disabling
// cancels it; a tick leaves the timer disabled until it is enabled again.
class TTimer : public TControl {
 public:
  const char* ClassName() const override { return "TTimer"; }
  virtual std::uint32_t Interval() const = 0;
  virtual void SetInterval(std::uint32_t milliseconds) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;

  TNotifyEvent OnTimer;
};

enum class TCloseAction { None, Hide, Free, Minimize };
using TCloseEvent = std::function<void(comm::TObject* sender, TCloseAction& action)>;

// Message-box style of a box with an OK button only and no icon.
inline constexpr unsigned kMessageBoxOk = 0;

// The window as a front end builds it: its seven controls, its modal message
// box, and the event raised when the user closes it. Closing goes ahead
// unless the handler sets the action to None.
class TMainForm : public comm::TObject {
 public:
  const char* ClassName() const override { return "TMainForm"; }
  virtual TPanel& Panel1() = 0;
  virtual TLabel& Label1() = 0;
  virtual TButton& Button1() = 0;
  virtual TProgressBar& ProgressBar1() = 0;
  virtual TListBox& ProgSrc() = 0;
  virtual TStaticText& StaticText1() = 0;
  virtual TTimer& Delay() = 0;

  // Modal: returns when the user has closed the box. Timers and serial
  // events go on being delivered meanwhile.
  virtual int MessageBox(const std::string& text, const std::string& caption,
                         unsigned flags) = 0;

  // While a box is up: what the run found out beside the box's text (why
  // ports were passed over, what the station holds now), one item a line,
  // for a front end that can show more; empty when there is nothing to add.
  // The box's own text and caption never change for it.
  std::string BoxDetails;

  TCloseEvent OnClose;
};

}  // namespace app
