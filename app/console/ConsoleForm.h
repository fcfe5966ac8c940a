// The main window as a console shows it: the status line as lines on
// standard output, the progress bar as one line redrawn in place on a
// terminal or as a line per whole percent elsewhere, message boxes as
// "caption: text" on standard error, answered at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// First: on Windows its headers rename MessageBox, and every unit that
// declares or calls the form's MessageBox must see the same name.
#include "WinDefs.h"

#include "Controls.h"
#include "EventLoop.h"

namespace console {

using Clock = std::chrono::steady_clock;

class RunObserver;

struct ConsoleOutput {
  ConsoleOutput(
      std::ostream& out, std::ostream& err, bool terminal = false,
      std::function<Clock::time_point()> now = [] { return Clock::now(); })
      : out(out), err(err), terminal(terminal), now(std::move(now)) {}

  std::ostream& out;
  std::ostream& err;
  // out is a terminal: the progress line is redrawn in place.
  bool terminal = false;
  // The clock the time left is estimated with.
  std::function<Clock::time_point()> now;
  // The terminal's width in columns, asked before every redraw; none, or
  // 0: 80.
  std::function<int()> columns;
  // Also told what is shown (one port's run of an --all); may be null.
  RunObserver* observer = nullptr;
};

// Writes what the views show, keeping a progress line that is being drawn
// on a terminal apart from the lines that follow it. Elsewhere (a pipe, a
// file) every line on standard output begins with the seconds since the
// program began, as "[  12.345] ".
class ConsoleScreen {
 public:
  explicit ConsoleScreen(ConsoleOutput output) : o_(std::move(output)), begun_(o_.now()) {}

  void StatusLine(const std::string& text);
  void Box(const std::string& caption, const std::string& text);
  void Progress(std::int32_t min, std::int32_t max, std::int32_t position);
  // Ends a progress line that is drawn on the terminal, leaving it standing.
  void EndProgressLine();
  // Another line of the program's own on standard error.
  void Error(const std::string& text);
  // Tells the observer, if any, of a record that could not be written.
  void UnwrittenRecord(const std::string& why, const std::string& record);
  // Another line of the program's own on standard output.
  void Line(const std::string& text);
  // Where the progress line learns the resends so far.
  void SetResends(std::function<std::uint32_t()> resends) { resends_ = std::move(resends); }

  // "[#####.....]  37%  1:23 left  2 resends", fitted into columns - 1
  // characters (the last column would wrap on some terminals): the bar is 30
  // characters wide, narrower or left out when the terminal is narrow; the
  // time left is "--:--" while it cannot be estimated yet; no resends, no
  // count. columns 0: 80.
  static std::string RenderProgressLine(int percent, std::string_view timeLeft,
                                        std::uint32_t resends = 0, int columns = 0);
  // "m:ss", or "h:mm:ss" from an hour up.
  static std::string FormatDuration(std::chrono::seconds left);

 private:
  std::string Stamp() const;

  ConsoleOutput o_;
  Clock::time_point begun_;
  std::function<std::uint32_t()> resends_;
  // A run of the bar: from its first position above the minimum until it is
  // set back to the minimum.
  bool active_ = false;
  int lastPercent_ = -1;
  Clock::time_point started_{};
  std::int32_t startPosition_ = 0;
  std::string drawn_;  // what the terminal line shows now; empty: none
};

class ConsoleButton : public app::TButton {
 public:
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override;
  // Pressing it: the click handler runs if the button is enabled.
  void Click();
  // Told every change of Enabled.
  std::function<void(bool enabled)> OnEnabledChanged;

 private:
  bool enabled_ = true;
};

class ConsoleProgressBar : public app::TProgressBar {
 public:
  explicit ConsoleProgressBar(ConsoleScreen& screen) : screen_(screen) {}
  std::int32_t Min() const override { return min_; }
  std::int32_t Max() const override { return max_; }
  std::int32_t Position() const override { return position_; }
  void SetMin(std::int32_t value) override;
  void SetMax(std::int32_t value) override;
  void SetPosition(std::int32_t value) override;

 private:
  void Show();

  ConsoleScreen& screen_;
  std::int32_t min_ = 0;
  std::int32_t max_ = 100;
  std::int32_t position_ = 0;
};

class ConsoleListBox : public app::TListBox {
 public:
  std::span<const std::string> Items() const override { return items; }
  std::vector<std::string> items;
};

// A status text is printed when it changes; an empty one (the line cleared)
// prints nothing.
class ConsoleStaticText : public app::TStaticText {
 public:
  explicit ConsoleStaticText(ConsoleScreen& screen) : screen_(screen) {}
  std::string Caption() const override { return caption_; }
  void SetCaption(const std::string& text) override;
  std::function<void(const std::string& text)> OnChange;

 private:
  ConsoleScreen& screen_;
  std::string caption_;
};

class ConsoleForm : public app::TMainForm {
 public:
  // The controls as the form description has them; imageLines is what the
  // hidden list holds.
  ConsoleForm(app::TEventLoop& loop, ConsoleOutput output,
              std::span<const std::string_view> imageLines);

  app::TPanel& Panel1() override { return panel1_; }
  app::TLabel& Label1() override { return label1_; }
  app::TButton& Button1() override { return button1_; }
  app::TProgressBar& ProgressBar1() override { return progressBar1_; }
  app::TListBox& ProgSrc() override { return progSrc_; }
  app::TStaticText& StaticText1() override { return staticText1_; }
  app::TTimer& Delay() override { return delay_; }
  // Printed, and answered with OK at once.
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;

  ConsoleScreen& Screen() { return screen_; }
  ConsoleButton& Start() { return button1_; }
  // Told every box the window shows, after it is printed.
  std::function<void(const std::string& text, const std::string& caption)> OnBox;
  // Told every status text before it is printed.
  std::function<void(const std::string& text)> OnStatus;

 private:
  ConsoleScreen screen_;
  app::TPanel panel1_;
  app::TLabel label1_;
  ConsoleButton button1_;
  ConsoleProgressBar progressBar1_;
  ConsoleListBox progSrc_;
  ConsoleStaticText staticText1_;
  app::TLoopTimer delay_;
};

}  // namespace console
