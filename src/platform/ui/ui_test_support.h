#pragma once
// For tests of the UI layer and of the code above it: the application on the test's main
// thread, on the offscreen platform, and a way to let the main loop run until something
// has happened.

#include <QCoreApplication>
#include <cstdlib>
#include <functional>

#include "platform/run_loop.h"
#include "platform/ui/application.h"

namespace platform::ui::testing {

// Creates the application once per test process (offscreen unless a platform is chosen).
inline void EnsureApplication() {
  if (Application::IsInitialized()) return;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  Application::Initialize();
}

// Turns the main loop (Qt's events, posted callables, timers) until the condition holds or
// the safety limit of turns has passed; answers the condition. Waits at most a short moment
// per turn, so a test never depends on how long something takes, only on whether it
// happens.
inline bool SpinUntil(const std::function<bool()>& condition, int maxTurns = 2000) {
  for (int turn = 0; turn < maxTurns; ++turn) {
    if (condition()) return true;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    platform::RunLoop::Current().RunOnce(0.005);
  }
  return condition();
}

// A few turns with nothing to wait for: lets posted work and window-system events settle.
inline void Settle(int turns = 5) {
  for (int i = 0; i < turns; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    platform::RunLoop::Current().RunOnce(0);
  }
}

}  // namespace platform::ui::testing
