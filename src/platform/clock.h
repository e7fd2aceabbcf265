#pragma once
// The clock the run loops and timers read. Injectable, so tests move time by hand.

#include <atomic>
#include <memory>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a monotonic scale (for timers and deadlines).
  virtual double Now() const = 0;
  // Seconds since 1970-01-01 UTC (for time stamps and dates).
  virtual double WallNow() const = 0;
  static std::shared_ptr<Clock> System();
};

// A clock that only moves when told to. WallNow is Now plus a fixed offset.
class ManualClock : public Clock {
 public:
  explicit ManualClock(double start = 1000.0, double wallOffset = 1.7e9) : now_(start), offset_(wallOffset) {}
  double Now() const override { return now_.load(); }
  double WallNow() const override { return now_.load() + offset_; }
  void Advance(double seconds) { now_.store(now_.load() + seconds); }
  void Set(double now) { now_.store(now); }

 private:
  std::atomic<double> now_;
  double offset_;
};

}  // namespace platform
