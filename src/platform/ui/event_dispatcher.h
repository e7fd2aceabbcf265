#pragma once
// Inside the UI layer: Qt's event dispatcher for the main thread, built on the main
// thread's platform::RunLoop. Qt's timers become run-loop timers, its socket notifiers
// run-loop descriptor sources, its wake-ups the loop's wake-up; the window system's events
// are taken from the platform's own dispatcher, which is asked without waiting on every
// turn. So the one loop of the main thread serves both Qt and the framework.

#include <QAbstractEventDispatcher>
#include <functional>
#include <map>
#include <memory>

namespace platform {
class RunLoop;
class Timer;
class FdSource;
}  // namespace platform

namespace platform::ui::internal {

class RunLoopEventDispatcher final : public QAbstractEventDispatcher {
 public:
  explicit RunLoopEventDispatcher(RunLoop& loop);
  ~RunLoopEventDispatcher() override;

  bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
  void registerSocketNotifier(QSocketNotifier* notifier) override;
  void unregisterSocketNotifier(QSocketNotifier* notifier) override;
  void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject* object) override;
  bool unregisterTimer(int timerId) override;
  bool unregisterTimers(QObject* object) override;
  QList<TimerInfo> registeredTimers(QObject* object) const override;
  int remainingTime(int timerId) override;
  void wakeUp() override;
  void interrupt() override;

  // Runs after every turn (the main worker thread checks whether it was asked to quit).
  void SetTurnHook(std::function<void()> hook) { turnHook_ = std::move(hook); }

 private:
  struct TimerEntry {
    QObject* object;
    qint64 interval;
    Qt::TimerType type;
    std::shared_ptr<Timer> timer;
    bool inEvent = false;
  };
  void FireTimer(int timerId);
  QAbstractEventDispatcher* WindowSystemDispatcher();

  RunLoop& loop_;
  std::map<int, TimerEntry> timers_;
  std::map<QSocketNotifier*, std::shared_ptr<FdSource>> notifiers_;
  std::atomic<bool> interrupted_{false};
  QAbstractEventDispatcher* platformDispatcher_ = nullptr;
  bool triedPlatformDispatcher_ = false;
  std::function<void()> turnHook_;
};

}  // namespace platform::ui::internal
