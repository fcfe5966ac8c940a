// Runs the GUI loop (not a sleeping poll: a hand-off is served as soon as it
// is posted) until done holds or the time is up.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <functional>

namespace apptest {

inline bool WaitUntil(const std::function<bool()>& done, int milliseconds = 5000) {
  if (done()) return true;
  QEventLoop loop;
  QElapsedTimer clock;
  clock.start();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (done() || clock.elapsed() >= milliseconds) loop.quit();
  });
  poll.start(1);
  loop.exec();
  return done();
}

}  // namespace apptest
