#include "platform/ui/event_dispatcher.h"

#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformintegration.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/run_loop.h"

namespace platform::ui::internal {

RunLoopEventDispatcher::RunLoopEventDispatcher(RunLoop& loop) : loop_(loop) {}

RunLoopEventDispatcher::~RunLoopEventDispatcher() {
  for (auto& [id, entry] : timers_) entry.timer->Invalidate();
  for (auto& [notifier, source] : notifiers_) source->Invalidate();
  // The platform's dispatcher is not ours to delete once Qt is closing down: it would
  // unregister itself from the thread whose dispatcher we are.
}

QAbstractEventDispatcher* RunLoopEventDispatcher::WindowSystemDispatcher() {
  if (!triedPlatformDispatcher_ && QGuiApplicationPrivate::platformIntegration() != nullptr) {
    triedPlatformDispatcher_ = true;
    // The platform's own dispatcher knows how to read the window system (the X connection,
    // the offscreen platform's queue). It is never installed: it is only asked, without
    // waiting, to hand over what has arrived. Without GLib it does nothing else.
    qputenv("QT_NO_GLIB", "1");
    platformDispatcher_ = QGuiApplicationPrivate::platformIntegration()->createEventDispatcher();
  }
  return platformDispatcher_;
}

bool RunLoopEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
  interrupted_.store(false);
  emit awake();
  QCoreApplication::sendPostedEvents();
  bool handled = false;
  if (QAbstractEventDispatcher* windowSystem = WindowSystemDispatcher())
    handled = windowSystem->processEvents(flags & ~QEventLoop::WaitForMoreEvents);

  const bool wait = (flags & QEventLoop::WaitForMoreEvents) && !interrupted_.load() && !handled;
  if (wait) emit aboutToBlock();
  const RunLoop::RunResult result = loop_.RunOnce(wait ? -1 : 0);
  if (result == RunLoop::RunResult::Handled) handled = true;
  if (turnHook_) turnHook_();
  return handled;
}

void RunLoopEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
  unregisterSocketNotifier(notifier);
  unsigned events = RunLoop::Readable;
  if (notifier->type() == QSocketNotifier::Write) events = RunLoop::Writable;
  notifiers_[notifier] = loop_.AddFd(int(notifier->socket()), events, [this, notifier](unsigned) {
    if (notifiers_.count(notifier) == 0) return;
    QEvent event(QEvent::SockAct);
    QCoreApplication::sendEvent(notifier, &event);
  });
}

void RunLoopEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
  auto it = notifiers_.find(notifier);
  if (it == notifiers_.end()) return;
  it->second->Invalidate();
  notifiers_.erase(it);
}

void RunLoopEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                           QObject* object) {
  unregisterTimer(timerId);
  const double seconds = double(std::max<qint64>(interval, 0)) / 1000.0;
  TimerEntry entry{object, interval, timerType, nullptr, false};
  // A zero interval still repeats (Qt's "run when idle" timers); the loop keeps a minimum.
  entry.timer = loop_.AddTimer(
      seconds, [this, timerId](Timer&) { FireTimer(timerId); }, std::max(seconds, 1e-6));
  timers_[timerId] = std::move(entry);
}

void RunLoopEventDispatcher::FireTimer(int timerId) {
  auto it = timers_.find(timerId);
  if (it == timers_.end() || it->second.inEvent) return;
  it->second.inEvent = true;
  QObject* object = it->second.object;
  QTimerEvent event(timerId);
  QCoreApplication::sendEvent(object, &event);
  // The handler may have unregistered the timer (and a new one may have its id).
  it = timers_.find(timerId);
  if (it != timers_.end()) it->second.inEvent = false;
}

bool RunLoopEventDispatcher::unregisterTimer(int timerId) {
  auto it = timers_.find(timerId);
  if (it == timers_.end()) return false;
  it->second.timer->Invalidate();
  timers_.erase(it);
  return true;
}

bool RunLoopEventDispatcher::unregisterTimers(QObject* object) {
  bool any = false;
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (it->second.object == object) {
      it->second.timer->Invalidate();
      it = timers_.erase(it);
      any = true;
    } else {
      ++it;
    }
  }
  return any;
}

QList<QAbstractEventDispatcher::TimerInfo> RunLoopEventDispatcher::registeredTimers(QObject* object) const {
  QList<TimerInfo> list;
  for (const auto& [id, entry] : timers_)
    if (entry.object == object) list.append(TimerInfo(id, int(entry.interval), entry.type));
  return list;
}

int RunLoopEventDispatcher::remainingTime(int timerId) {
  auto it = timers_.find(timerId);
  if (it == timers_.end()) return -1;
  const double remaining = it->second.timer->FireDate() - loop_.clock()->Now();
  return std::max(0, int(std::lround(remaining * 1000)));
}

void RunLoopEventDispatcher::wakeUp() { loop_.Wake(); }

void RunLoopEventDispatcher::interrupt() {
  interrupted_.store(true);
  loop_.Wake();
}

}  // namespace platform::ui::internal
