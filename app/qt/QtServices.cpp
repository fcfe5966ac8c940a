#include "QtServices.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLayout>
#include <QMessageBox>
#include <QMetaObject>
#include <QScreen>
#include <algorithm>
#include <array>
#include <cstdint>

#if defined(KSIDU_QT_XCB)
#include <xcb/xcb.h>

#include <cstdlib>
#endif

namespace qtfront {

namespace {
constexpr int kIdOk = 1;

// Window managers draw a box's caption in a title bar that also holds the
// window's icon and its buttons, in a title font that is often bold. Qt
// sizes a box by its text and leaves the caption little room: a box with a
// short text came up with its caption elided ("Upgr...rror."). The room
// beside the caption is counted in lines of the box's font, as title bars
// grow with their font: openbox's default theme at 96 dpi needs seven.
void FitCaption(QMessageBox& box) {
  QFont titleFont = box.font();
  titleFont.setBold(true);
  const QFontMetrics metrics(titleFont);
  int wanted = metrics.horizontalAdvance(box.windowTitle()) + 8 * metrics.height();
  if (const QScreen* screen = box.screen()) {
    wanted = std::min(wanted, screen->availableGeometry().width());
  }
  // The box is as wide as its layout needs at least, and the button row
  // spans the whole layout. A minimum width replaces the row's own, which
  // must still hold its buttons.
  auto* buttons = box.findChild<QDialogButtonBox*>();
  if (buttons == nullptr || box.layout() == nullptr) return;
  const QMargins margins = box.layout()->contentsMargins();
  buttons->setMinimumWidth(
      std::max(wanted - margins.left() - margins.right(), buttons->minimumSizeHint().width()));
}

// Everything a box of this program needs before it is shown: the text as it
// stands, never taken for markup, a width that fits the caption, and the
// title bar of a window that cannot be resized.
int ShowBox(QMessageBox& box) {
  box.setTextFormat(Qt::PlainText);
  FitCaption(box);
  AdvertiseFixedSize(box, false);
  box.exec();
  return kIdOk;
}

}  // namespace

void AdvertiseFixedSize(QWidget& window, bool minimise) {
#if defined(KSIDU_QT_XCB)
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 != nullptr ? x11->connection() : nullptr;
  if (connection == nullptr) return;
  WId native = window.internalWinId();
  if (native == 0) native = window.winId();
  const auto id = static_cast<xcb_window_t>(native);

  static constexpr char kName[] = "_MOTIF_WM_HINTS";
  xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, sizeof kName - 1, kName), nullptr);
  if (atom == nullptr) return;
  // The Motif hints: flags, functions, decorations, input mode, status.
  constexpr std::uint32_t kHintFunctions = 1u << 0, kHintDecorations = 1u << 1;
  constexpr std::uint32_t kFunctionMove = 1u << 2, kFunctionMinimise = 1u << 3,
                          kFunctionClose = 1u << 5;
  constexpr std::uint32_t kDecorBorder = 1u << 1, kDecorTitle = 1u << 3, kDecorMenu = 1u << 4,
                          kDecorMinimise = 1u << 5;
  const std::array<std::uint32_t, 5> hints{
      kHintFunctions | kHintDecorations,
      kFunctionMove | kFunctionClose | (minimise ? kFunctionMinimise : 0u),
      kDecorBorder | kDecorTitle | kDecorMenu | (minimise ? kDecorMinimise : 0u),
      0u,
      0u,
  };
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atom->atom, atom->atom, 32,
                      static_cast<std::uint32_t>(hints.size()), hints.data());
  std::free(atom);
  xcb_flush(connection);
#else
  static_cast<void>(window);
  static_cast<void>(minimise);
#endif
}

int StandardMessageBox(const std::string& text, const std::string& caption, unsigned /*flags*/,
                       const std::string& details) {
  // Every box of this program has style 0: OK only, no icon.
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
  // The details come one item a line, the last one ending the text.
  QString more = QString::fromStdString(details);
  while (more.endsWith(QLatin1Char('\n'))) more.chop(1);
  if (!more.isEmpty()) box.setDetailedText(more);
  return ShowBox(box);
}

void StandardExceptionBox(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::Critical, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok, QApplication::activeWindow());
  ShowBox(box);
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guarded([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

FrontEndServices::FrontEndServices(QObject* guiObject) {
  // guiObject outlives this object, which takes the wake-up away again.
  QObject* target = guiObject;
  frontEnd_ = std::make_unique<app::FrontEnd>(app::FrontEndHooks{
      .messageBox = [](const std::string& text, const std::string& caption,
                       unsigned flags) { return StandardMessageBox(text, caption, flags); },
      .exceptionBox = &StandardExceptionBox,
      // Called on the serial event thread: post a call to the GUI thread,
      // which runs what is queued when it gets there.
      .wakeup =
          [target] {
            QMetaObject::invokeMethod(
                target, [] { app::RunHandOffs(); }, Qt::QueuedConnection);
          },
  });
}

FrontEndServices::~FrontEndServices() = default;

}  // namespace qtfront
