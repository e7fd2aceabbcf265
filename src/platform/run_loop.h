#pragma once
// A per-thread event loop over poll(2): timers, file-descriptor sources and a wake-up that
// any thread may call. Every worker thread runs one; commands, storage notices and timers
// all arrive through it.
//
// The thread that calls RunOnce / Run is the loop's thread; every callback runs there.
// Everything else (adding and invalidating timers and sources, moving fire dates, Post,
// Wake, Stop) may be called from any thread, including from inside a callback.

#include <functional>
#include <memory>

#include "platform/clock.h"

namespace platform {

class RunLoop;

// A one-shot or repeating timer. Holds no reference to its loop's thread. The loop keeps a
// scheduled timer alive (the caller need not keep the handle); invalidating it stops it and
// releases its callback. A one-shot timer is invalid once it has fired (IsValid() already
// answers false inside its callback), and moving an invalid timer's fire date does nothing.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Callback = std::function<void(Timer&)>;
  virtual ~Timer() = default;
  virtual void Invalidate() = 0;
  virtual bool IsValid() const = 0;
  // Monotonic seconds (Clock::Now) of the next firing; may be moved at any time, from any
  // thread. Inside the callback of a repeating timer it is already the following firing.
  virtual double FireDate() const = 0;
  virtual void SetFireDate(double when) = 0;
  virtual double Interval() const = 0;  // 0 for a one-shot timer
};

// A file descriptor watched for readability and/or writability. The loop keeps the source
// until it is invalidated; invalidate it before closing the descriptor.
class FdSource {
 public:
  virtual ~FdSource() = default;
  virtual void Invalidate() = 0;
  virtual int Fd() const = 0;
};

class RunLoop {
 public:
  // Handled: something ran (a timer, a ready source, a posted callable) or Wake() was called.
  // TimedOut: the time-out passed with nothing to do. Stopped: Stop() was called (the stop
  // is consumed by the run that reports it). Finished is never answered by this loop: any
  // thread may Post at any time, so it always has a source to wait for.
  enum class RunResult { Handled, TimedOut, Stopped, Finished };
  enum FdEvents : unsigned { Readable = 1, Writable = 2 };

  // A null clock means the system clock.
  explicit RunLoop(std::shared_ptr<Clock> clock = Clock::System());
  // Safe with timers and sources still live: their handles become invalid, their callbacks
  // and the callables still queued are released without running.
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // The loop of the calling thread, created on first use.
  static RunLoop& Current();

  const std::shared_ptr<Clock>& clock() const;

  // Timers fire on the loop's thread in fire-date order (equal dates in the order they were
  // scheduled). One turn fires the timers due when the turn began, each at most once. A
  // repeating timer is rescheduled from its previous fire date (skipping missed firings).
  // The loop keeps the timer alive until it is invalidated or, for a one-shot timer, has
  // fired.
  //
  // With an injected clock that is moved by hand, the loop cannot know when a future
  // timer falls due: drive it with RunOnce(0) after moving the clock, or Wake() it.
  std::shared_ptr<Timer> AddTimer(double delaySeconds, Timer::Callback callback, double repeatInterval = 0);

  // The callback runs on the loop's thread with the events that are ready (FdEvents bits;
  // errors and hang-ups are reported as Readable). A descriptor that turns out to be closed
  // is reported once as Readable and its source is invalidated.
  std::shared_ptr<FdSource> AddFd(int fd, unsigned events, std::function<void(unsigned ready)> callback);

  // Queues a callable to run once on the loop's thread at its next turn. Thread-safe;
  // callables run in the order they were posted. A callable posted while the loop is
  // running callables runs in the following turn.
  void Post(std::function<void()> fn);

  // Wakes a waiting RunOnce / Run from any thread. When the loop is not waiting, its next
  // RunOnce returns at once (a wake-up is never lost).
  void Wake();

  // Handles whatever is due (timers, ready fds, posted callables), waiting up to
  // timeoutSeconds (< 0: until something happens) for the first event. The time-out is
  // measured in real time, whatever clock the timers use.
  RunResult RunOnce(double timeoutSeconds = -1);
  // Runs until Stop() is called (from any thread). A Stop() that came before Run() makes it
  // return at once.
  void Run();
  void Stop();
  // True from Stop() until the loop runs again.
  bool IsStopped() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
