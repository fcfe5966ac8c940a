// The main window's controls without a toolkit: plain values that behave as
// the real controls do, and a message box that records instead of showing.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "Classes.h"
#include "Controls.h"

namespace apptest {

class FakeButton : public app::TButton {
 public:
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool value) override { enabled = value; }
  bool enabled = true;
};

class FakeProgressBar : public app::TProgressBar {
 public:
  std::int32_t Min() const override { return min; }
  std::int32_t Max() const override { return max; }
  std::int32_t Position() const override { return position; }
  void SetMin(std::int32_t value) override { min = value; }
  void SetMax(std::int32_t value) override {
    max = value;
    ++maxChanges;
  }
  void SetPosition(std::int32_t value) override {
    requests.push_back(value);
    position = std::clamp(value, min, max);
    positions.push_back(position);
  }
  std::int32_t min = 0;
  std::int32_t max = 100;
  std::int32_t position = 0;
  // Every position asked for, and what the bar showed for it.
  std::vector<std::int32_t> requests;
  std::vector<std::int32_t> positions;
  int maxChanges = 0;
};

class FakeListBox : public app::TListBox {
 public:
  std::span<const std::string> Items() const override { return items; }
  std::vector<std::string> items;
};

class FakeStaticText : public app::TStaticText {
 public:
  std::string Caption() const override { return caption; }
  void SetCaption(const std::string& text) override {
    caption = text;
    history.push_back(text);
  }
  std::string caption;
  std::vector<std::string> history;
};

class FakeTimer : public app::TTimer {
 public:
  std::uint32_t Interval() const override { return interval; }
  void SetInterval(std::uint32_t milliseconds) override { interval = milliseconds; }
  bool Enabled() const override { return enabled; }
  void SetEnabled(bool value) override { enabled = value; }
  std::uint32_t interval = 1000;
  bool enabled = false;
};

struct Box {
  std::string text;
  std::string caption;
  unsigned flags;
  // What the window showed while the box was up.
  std::string status;
  bool startEnabled = false;
  bool delayEnabled = false;
  std::int32_t progress = 0;
};

class FakeForm : public app::TMainForm {
 public:
  app::TPanel& Panel1() override { return panel; }
  app::TLabel& Label1() override { return label; }
  app::TButton& Button1() override { return button; }
  app::TProgressBar& ProgressBar1() override { return progress; }
  app::TListBox& ProgSrc() override { return progSrc; }
  app::TStaticText& StaticText1() override { return status; }
  app::TTimer& Delay() override { return delay; }
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    boxes.push_back(
        {text, caption, flags, status.caption, button.enabled, delay.enabled, progress.position});
    if (onBox) onBox(boxes.back());
    return 1;
  }
  // Runs while a box is up, as the box's own loop would.
  std::function<void(const Box&)> onBox;

  app::TPanel panel;
  app::TLabel label;
  FakeButton button;
  FakeProgressBar progress;
  FakeListBox progSrc;
  FakeStaticText status;
  FakeTimer delay;
  std::vector<Box> boxes;
};

// Records the serial component's own "Serial Port Error." boxes.
class ComponentBoxes {
 public:
  ComponentBoxes() {
    comm::SetMessageBoxService([this](const std::string& t, const std::string& c, unsigned f) {
      boxes.push_back(Box{t, c, f, {}, false, false, 0});
      return 1;
    });
  }
  ~ComponentBoxes() { comm::SetMessageBoxService(nullptr); }
  std::vector<Box> boxes;
};

}  // namespace apptest
