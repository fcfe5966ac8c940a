#include "QtMainWindow.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>
#include <QStringList>
#include <algorithm>
#include <map>
#include <vector>

#include "MainForm.h"
#include "QtIcon.h"
#include "QtServices.h"

namespace qtfront {

namespace {

using resources::ControlKind;
using resources::ControlSpec;
using resources::FontSpec;

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QFont MakeFont(const FontSpec& spec, int ppi) {
  QFont font;
  QStringList families{ToQString(spec.family)};
  for (std::string_view substitute : spec.substitutes) families << ToQString(substitute);
  font.setFamilies(families);
  font.setPixelSize(std::max(1, resources::ScaleToScreen(spec.height, ppi)));
  font.setBold(spec.bold);
  return font;
}

QRect Scaled(const ControlSpec& c, int ppi) {
  return QRect(resources::ScaleToScreen(c.left, ppi), resources::ScaleToScreen(c.top, ppi),
               resources::ScaleToScreen(c.width, ppi), resources::ScaleToScreen(c.height, ppi));
}

}  // namespace

void QtProgressBar::SetPosition(std::int32_t value) {
  // QProgressBar ignores a value outside its range; the bar shows it as full
  // or empty instead.
  widget->setValue(std::clamp(value, widget->minimum(), widget->maximum()));
}

void QtButton::SetEnabled(bool enabled) {
  widget->setEnabled(enabled);
  // Disabling the focused button left the window without a focus; give it
  // back, so that Enter and Space start the next run.
  if (enabled && widget->window()->focusWidget() == nullptr) widget->setFocus();
}

QtTimer::QtTimer() {
  timer.setSingleShot(true);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, [this] { Elapsed(); });
}

void QtTimer::SetInterval(std::uint32_t milliseconds) {
  interval_ = milliseconds;
  // A new interval starts a fresh countdown on a running timer.
  if (enabled_) Start();
}

void QtTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (enabled) {
    Start();
  } else {
    timer.stop();
  }
}

void QtTimer::Start() {
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_);
  timer.start(static_cast<int>(std::min<std::uint32_t>(interval_, INT32_MAX)));
}

void QtTimer::Elapsed() {
  const auto now = std::chrono::steady_clock::now();
  if (now < deadline_) {
    // Early: wait out the rest, rounded up to whole milliseconds.
    const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now);
    timer.start(static_cast<int>(std::max<std::int64_t>(1, rest.count())));
    return;
  }
  enabled_ = false;
  if (OnTimer) Guarded([this] { OnTimer(this); });
}

QtMainWindow::QtMainWindow(std::span<const std::string_view> imageLines, PanelFactory factory)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint) {
  const resources::FormSpec& form = resources::kMainForm;
  QScreen* screen = QGuiApplication::primaryScreen();
  ppi_ =
      screen != nullptr ? qRound(screen->logicalDotsPerInchX()) : resources::kDesignPixelsPerInch;

  setObjectName(ToQString(form.instanceName));
  setWindowTitle(ToQString(form.caption));
  setWindowIcon(QIcon(QPixmap::fromImage(IconImage())));
  setFont(MakeFont(*form.font, ppi_));
  setFixedSize(resources::ScaleToScreen(form.clientWidth, ppi_),
               resources::ScaleToScreen(form.clientHeight, ppi_));
  BuildControls(imageLines);

  if (screen != nullptr && form.centred) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }

  if (factory) {
    panel_ = factory(*this);
  } else {
    panel_ = std::make_unique<app::TMainPanel>(nullptr, *this);
  }
}

QtMainWindow::~QtMainWindow() {
  // The logic goes first, closing an open port, while the controls exist.
  panel_.reset();
}

void QtMainWindow::BuildControls(std::span<const std::string_view> imageLines) {
  std::map<std::string_view, QWidget*> built;
  std::vector<std::pair<int, QWidget*>> tabOrder;

  for (const ControlSpec& c : resources::kMainFormControls) {
    QWidget* parent = c.parent.empty() ? this : built.at(c.parent);
    QWidget* widget = nullptr;
    switch (c.kind) {
      case ControlKind::Panel: {
        auto* frame = new QFrame(parent);
        if (c.bevelOuter == resources::Bevel::Lowered) {
          frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
          frame->setLineWidth(1);
        }
        panel1_.widget = frame;
        widget = frame;
        break;
      }
      case ControlKind::Label: {
        auto* label = new QLabel(ToQString(c.caption), parent);
        label->setAlignment(
            (c.alignment == resources::Alignment::Center ? Qt::AlignHCenter : Qt::AlignLeft) |
            Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
        label1_.widget = label;
        widget = label;
        break;
      }
      case ControlKind::Button: {
        auto* button = new QPushButton(ToQString(c.caption), parent);
        // Enter presses the button that has the focus, as Space does.
        button->setAutoDefault(true);
        QObject::connect(button, &QPushButton::clicked, [this] {
          if (button1_.OnClick) Guarded([this] { button1_.OnClick(&button1_); });
        });
        button1_.widget = button;
        widget = button;
        break;
      }
      case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(parent);
        bar->setRange(c.rangeMin, c.rangeMax);
        bar->setValue(c.position);
        bar->setTextVisible(false);
        progressBar1_.widget = bar;
        widget = bar;
        break;
      }
      case ControlKind::ListBox: {
        auto* list = new QListWidget(parent);
        progSrc_.items.assign(imageLines.begin(), imageLines.end());
        for (const std::string& line : progSrc_.items) list->addItem(QString::fromStdString(line));
        progSrc_.widget = list;
        widget = list;
        break;
      }
      case ControlKind::StaticText: {
        auto* text = new QLabel(ToQString(c.caption), parent);
        if (c.sunkenBorder) {
          text->setFrameStyle(QFrame::Panel | QFrame::Sunken);
          text->setLineWidth(1);
        }
        text->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        // Whatever a status text holds is shown as it stands, never as markup.
        text->setTextFormat(Qt::PlainText);
        staticText1_.widget = text;
        widget = text;
        break;
      }
      case ControlKind::Timer:
        delay_.SetInterval(static_cast<std::uint32_t>(c.intervalMs));
        delay_.SetEnabled(c.enabled);
        continue;
    }

    widget->setObjectName(ToQString(c.name));
    widget->setGeometry(Scaled(c, ppi_));
    if (c.font != resources::kMainForm.font) widget->setFont(MakeFont(*c.font, ppi_));
    widget->setFocusPolicy(c.canFocus ? Qt::StrongFocus : Qt::NoFocus);
    if (!c.visible) widget->setVisible(false);
    built[c.name] = widget;
    if (c.tabOrder >= 0) tabOrder.emplace_back(c.tabOrder, widget);
  }

  std::sort(tabOrder.begin(), tabOrder.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < tabOrder.size(); ++i) {
    QWidget::setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);
  }
  built.at(resources::kMainForm.focusedControl)->setFocus();
}

int QtMainWindow::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return StandardMessageBox(text, caption, flags);
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
  app::TCloseAction action = app::TCloseAction::Free;
  if (OnClose) Guarded([&] { OnClose(this, action); });
  if (action == app::TCloseAction::None) {
    event->ignore();
  } else {
    event->accept();
  }
}

void QtMainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // The window has a fixed size: a maximise that gets here anyway (a window
  // manager that ignores the size limits) is undone.
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMaximized)) {
    setWindowState(windowState() & ~Qt::WindowMaximized);
  }
}

}  // namespace qtfront
