// The main window in Qt Widgets, built from the form description and scaled
// from its 120 pixels-per-inch design to the screen's logical resolution.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Controls.h"
#include "Main.h"

namespace qtfront {

class QtPanel : public app::TPanel {
 public:
  QFrame* widget = nullptr;
};

class QtLabel : public app::TLabel {
 public:
  QLabel* widget = nullptr;
};

class QtButton : public app::TButton {
 public:
  bool Enabled() const override { return widget->isEnabled(); }
  void SetEnabled(bool enabled) override;
  QPushButton* widget = nullptr;
};

class QtProgressBar : public app::TProgressBar {
 public:
  std::int32_t Min() const override { return widget->minimum(); }
  std::int32_t Max() const override { return widget->maximum(); }
  std::int32_t Position() const override { return widget->value(); }
  void SetMin(std::int32_t value) override { widget->setMinimum(value); }
  void SetMax(std::int32_t value) override { widget->setMaximum(value); }
  void SetPosition(std::int32_t value) override;
  QProgressBar* widget = nullptr;
};

class QtListBox : public app::TListBox {
 public:
  std::span<const std::string> Items() const override { return items; }
  QListWidget* widget = nullptr;
  std::vector<std::string> items;
};

class QtStaticText : public app::TStaticText {
 public:
  std::string Caption() const override { return widget->text().toStdString(); }
  void SetCaption(const std::string& text) override {
    widget->setText(QString::fromStdString(text));
  }
  QLabel* widget = nullptr;
};

// A one-shot that never fires before its interval has passed: Qt's timers
// may fire a little early, and a coarse one by up to 5 %.
class QtTimer : public app::TTimer {
 public:
  QtTimer();
  std::uint32_t Interval() const override { return interval_; }
  void SetInterval(std::uint32_t milliseconds) override;
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override;
  QTimer timer;

 private:
  void Start();
  void Elapsed();

  std::uint32_t interval_ = 1000;
  bool enabled_ = false;
  std::chrono::steady_clock::time_point deadline_;
};

class QtMainWindow : public QWidget, public app::TMainForm {
 public:
  // Makes the window's logic once the controls exist; tests put a derived
  // TMainPanel or a test double of the serial layer in.
  using PanelFactory = std::function<std::unique_ptr<app::TMainPanel>(app::TMainForm& form)>;

  // imageLines: the firmware image the hidden list holds.
  explicit QtMainWindow(std::span<const std::string_view> imageLines, PanelFactory factory = {});
  ~QtMainWindow() override;

  app::TMainPanel& Panel() { return *panel_; }
  // The screen resolution the design was scaled to.
  int ScreenPixelsPerInch() const { return ppi_; }

  app::TPanel& Panel1() override { return panel1_; }
  app::TLabel& Label1() override { return label1_; }
  app::TButton& Button1() override { return button1_; }
  app::TProgressBar& ProgressBar1() override { return progressBar1_; }
  app::TListBox& ProgSrc() override { return progSrc_; }
  app::TStaticText& StaticText1() override { return staticText1_; }
  app::TTimer& Delay() override { return delay_; }
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls(std::span<const std::string_view> imageLines);

  int ppi_ = 0;
  QtPanel panel1_;
  QtLabel label1_;
  QtButton button1_;
  QtProgressBar progressBar1_;
  QtListBox progSrc_;
  QtStaticText staticText1_;
  QtTimer delay_;
  // Declared last, so that it goes before the controls it uses.
  std::unique_ptr<app::TMainPanel> panel_;
};

}  // namespace qtfront
