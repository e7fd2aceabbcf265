#pragma once
// A per-thread event loop over poll(2): timers, file-descriptor sources and a wake-up that
// any thread may call. Every worker thread runs one; commands, storage notices and timers
// all arrive through it.

#include <functional>
#include <memory>

#include "platform/clock.h"

namespace platform {

class RunLoop;

// A one-shot or repeating timer. Holds no reference to its loop's thread; invalidating it
// (or destroying the last handle) stops it.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Callback = std::function<void(Timer&)>;
  virtual ~Timer() = default;
  virtual void Invalidate() = 0;
  virtual bool IsValid() const = 0;
  // Monotonic seconds (Clock::Now) of the next firing; may be moved at any time.
  virtual double FireDate() const = 0;
  virtual void SetFireDate(double when) = 0;
  virtual double Interval() const = 0;  // 0 for a one-shot timer
};

// A file descriptor watched for readability and/or writability.
class FdSource {
 public:
  virtual ~FdSource() = default;
  virtual void Invalidate() = 0;
  virtual int Fd() const = 0;
};

class RunLoop {
 public:
  enum class RunResult { Handled, TimedOut, Stopped, Finished };
  enum FdEvents : unsigned { Readable = 1, Writable = 2 };

  explicit RunLoop(std::shared_ptr<Clock> clock = Clock::System());
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // The loop of the calling thread, created on first use.
  static RunLoop& Current();

  const std::shared_ptr<Clock>& clock() const;

  // Timers fire on the loop's thread in fire-date order. A repeating timer is rescheduled
  // from its previous fire date (skipping missed firings). The loop keeps the timer alive
  // until it is invalidated or, for a one-shot timer, has fired.
  std::shared_ptr<Timer> AddTimer(double delaySeconds, Timer::Callback callback, double repeatInterval = 0);

  // The callback runs on the loop's thread with the events that are ready (FdEvents bits;
  // errors and hang-ups are reported as Readable).
  std::shared_ptr<FdSource> AddFd(int fd, unsigned events, std::function<void(unsigned ready)> callback);

  // Queues a callable to run once on the loop's thread at its next turn. Thread-safe.
  void Post(std::function<void()> fn);

  // Wakes a waiting RunOnce / Run from any thread.
  void Wake();

  // Handles whatever is due (timers, ready fds, posted callables), waiting up to
  // timeoutSeconds (< 0: until something happens) for the first event.
  RunResult RunOnce(double timeoutSeconds = -1);
  // Runs until Stop() is called (from any thread).
  void Run();
  void Stop();
  bool IsStopped() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
