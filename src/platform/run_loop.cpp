#include "platform/run_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/assert.h"

namespace platform {

namespace {

constexpr double kForever = std::numeric_limits<double>::infinity();

// Why the loop was signalled. Only kWakeUser makes a turn count as handled by itself; the
// others make the loop look again (at its queue, its timers, its sources or its stop flag).
constexpr unsigned kWakeUser = 1;
constexpr unsigned kWakePosted = 2;
constexpr unsigned kWakeChanged = 4;

// A repeating timer with a shorter interval would keep the loop from ever waiting.
constexpr double kMinimumInterval = 1e-4;
// The shortest real wait for a timer of an injected clock: that clock may stand still, and
// the loop must not spin on a timer that is just about to fall due on it.
constexpr double kInjectedClockMinimumWait = 0.01;

double MonotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int ToPollTimeout(double seconds) {
  if (seconds <= 0) return 0;
  if (!std::isfinite(seconds)) return -1;
  double ms = std::ceil(seconds * 1000.0);
  if (ms >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  return static_cast<int>(ms);
}

// Runs a function when the scope ends, also when a callback throws.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

class TimerImpl;
class FdSourceImpl;

struct TimerKey {
  double when;
  std::uint64_t seq;  // keeps equal dates in the order they were scheduled
  bool operator<(const TimerKey& other) const {
    return when < other.when || (when == other.when && seq < other.seq);
  }
};

// The loop's state shared with the timer and source handles, which may outlive the loop
// and may be used from any thread. Handles reach it through a weak_ptr.
struct LoopCore {
  LoopCore() {
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0)
      AssertionFailed("Assertion Failed", __FILE__, __LINE__,
                      std::string("eventfd: ") + std::strerror(errno));
  }
  ~LoopCore() {
    if (wakeFd >= 0) close(wakeFd);
  }
  LoopCore(const LoopCore&) = delete;
  LoopCore& operator=(const LoopCore&) = delete;

  // Tells the loop there is something to look at; writes to the wake-up descriptor only
  // when the loop is (about to be) blocked in poll and nobody has written yet.
  //
  // No wake-up is lost: the signaller sets the flag and then reads `sleeping`; the loop sets
  // `sleeping` and then takes the flags. Both are sequentially consistent, so either the
  // loop sees the flag before it blocks, or the signaller sees it sleeping and writes.
  void Signal(unsigned why) {
    wakeFlags.fetch_or(why);
    if (sleeping.load() && !signalled.exchange(true)) {
      std::uint64_t one = 1;
      while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
      }
    }
  }

  void Drain() {
    std::uint64_t count = 0;
    while (read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    signalled.store(false);
  }

  std::mutex mutex;
  // Guarded by mutex:
  std::map<TimerKey, std::shared_ptr<TimerImpl>> timers;
  std::vector<std::shared_ptr<FdSourceImpl>> fds;
  std::vector<std::function<void()>> posted;
  std::uint64_t nextSeq = 0;
  bool closed = false;  // the loop is gone
  std::uint64_t fdGeneration = 0;

  std::atomic<unsigned> wakeFlags{0};
  std::atomic<bool> sleeping{false};
  std::atomic<bool> signalled{false};
  int wakeFd = -1;
};

class TimerImpl final : public Timer {
 public:
  TimerImpl(std::weak_ptr<LoopCore> core, double when, double interval, Callback callback)
      : callback(std::move(callback)), core_(std::move(core)), interval_(interval), fireDate_(when) {}

  void Invalidate() override {
    std::shared_ptr<Timer> self = shared_from_this();
    std::shared_ptr<LoopCore> core = core_.lock();
    if (!core) {
      valid_.store(false);
      return;
    }
    Callback doomed;  // destroyed after the lock is released: it may own things that use the loop
    std::lock_guard<std::mutex> lock(core->mutex);
    if (!valid_.load()) return;
    valid_.store(false);
    if (scheduled) {
      core->timers.erase(key);
      scheduled = false;
    }
    if (!inCallback) doomed = std::move(callback);
  }

  bool IsValid() const override { return valid_.load(); }
  double FireDate() const override { return fireDate_.load(); }

  void SetFireDate(double when) override {
    if (std::isnan(when)) return;
    std::shared_ptr<Timer> self = shared_from_this();
    std::shared_ptr<LoopCore> core = core_.lock();
    if (!core) return;
    {
      std::lock_guard<std::mutex> lock(core->mutex);
      if (!valid_.load() || core->closed) return;
      if (scheduled) core->timers.erase(key);
      fireDate_.store(when);
      key = TimerKey{when, core->nextSeq++};
      core->timers.emplace(key, std::static_pointer_cast<TimerImpl>(self));
      scheduled = true;
    }
    // The loop may be waiting for a later date.
    core->Signal(kWakeChanged);
  }

  double Interval() const override { return interval_; }

  // Called by the loop with the core's mutex held.
  void Schedule(LoopCore& core, double when) {
    fireDate_.store(when);
    key = TimerKey{when, core.nextSeq++};
    core.timers.emplace(key, std::static_pointer_cast<TimerImpl>(shared_from_this()));
    scheduled = true;
  }
  void MarkInvalid() { valid_.store(false); }

  // Guarded by the core's mutex.
  TimerKey key{0, 0};
  bool scheduled = false;
  bool inCallback = false;  // the callback is running: it must not be destroyed now
  Callback callback;

 private:
  std::weak_ptr<LoopCore> core_;
  const double interval_;
  std::atomic<bool> valid_{true};
  std::atomic<double> fireDate_;
};

class FdSourceImpl final : public FdSource, public std::enable_shared_from_this<FdSourceImpl> {
 public:
  FdSourceImpl(std::weak_ptr<LoopCore> core, int fd, unsigned events, std::function<void(unsigned)> callback)
      : callback(std::move(callback)), fd_(fd), events_(events), core_(std::move(core)) {}

  void Invalidate() override {
    std::shared_ptr<FdSourceImpl> self = shared_from_this();
    std::shared_ptr<LoopCore> core = core_.lock();
    if (!core) {
      valid.store(false);
      return;
    }
    std::function<void(unsigned)> doomed;
    {
      std::lock_guard<std::mutex> lock(core->mutex);
      if (!valid.load()) return;
      valid.store(false);
      auto it = std::find(core->fds.begin(), core->fds.end(), self);
      if (it != core->fds.end()) core->fds.erase(it);
      ++core->fdGeneration;
      if (!inCallback) doomed = std::move(callback);
    }
    // A waiting poll should stop watching the descriptor, which its owner may close now.
    core->Signal(kWakeChanged);
  }

  int Fd() const override { return fd_; }
  unsigned events() const { return events_; }

  std::atomic<bool> valid{true};
  // Guarded by the core's mutex.
  bool inCallback = false;
  std::function<void(unsigned)> callback;

 private:
  const int fd_;
  const unsigned events_;
  std::weak_ptr<LoopCore> core_;
};

// What one poll watches: the wake-up descriptor first, then the sources, rebuilt only when
// the set of sources changed.
struct PollSet {
  std::vector<pollfd> pfds;
  std::vector<std::shared_ptr<FdSourceImpl>> sources;
  std::uint64_t generation = std::numeric_limits<std::uint64_t>::max();
};

}  // namespace

struct RunLoop::Impl {
  std::shared_ptr<Clock> clock;
  bool systemClock = true;
  std::shared_ptr<LoopCore> core = std::make_shared<LoopCore>();
  std::atomic<bool> stopPending{false};
  std::atomic<bool> stopped{false};

  // Buffers reused from turn to turn so the usual turn allocates nothing. A run nested in a
  // callback finds them taken and uses fresh ones.
  PollSet pollCache;
  std::vector<std::function<void()>> spareBatch;
  std::vector<std::shared_ptr<TimerImpl>> spareDue;

  void Refresh(PollSet& set) {
    std::lock_guard<std::mutex> lock(core->mutex);
    if (set.generation == core->fdGeneration) return;
    set.generation = core->fdGeneration;
    set.sources = core->fds;
    set.pfds.resize(set.sources.size() + 1);
    set.pfds[0] = pollfd{core->wakeFd, POLLIN, 0};
    for (std::size_t i = 0; i < set.sources.size(); ++i) {
      short events = 0;
      if (set.sources[i]->events() & Readable) events |= POLLIN | POLLPRI;
      if (set.sources[i]->events() & Writable) events |= POLLOUT;
      set.pfds[i + 1] = pollfd{set.sources[i]->Fd(), events, 0};
    }
  }

  double NextFireDate() {
    std::lock_guard<std::mutex> lock(core->mutex);
    return core->timers.empty() ? kForever : core->timers.begin()->first.when;
  }

  bool DispatchSources(PollSet& set) {
    bool handled = false;
    for (std::size_t i = 0; i < set.sources.size(); ++i) {
      const short revents = set.pfds[i + 1].revents;
      if (revents == 0) continue;
      FdSourceImpl* source = set.sources[i].get();
      unsigned ready = 0;
      if (revents & (POLLIN | POLLPRI | POLLERR | POLLHUP | POLLNVAL)) ready |= Readable;
      if (revents & POLLOUT) ready |= Writable;
      {
        std::lock_guard<std::mutex> lock(core->mutex);
        // An earlier callback of this turn may have invalidated it.
        if (!source->valid.load()) continue;
        source->inCallback = true;
      }
      {
        ScopeExit done([&] {
          std::function<void(unsigned)> doomed;
          std::lock_guard<std::mutex> lock(core->mutex);
          source->inCallback = false;
          if (!source->valid.load()) doomed = std::move(source->callback);
        });
        if (source->callback) source->callback(ready);
      }
      handled = true;
      if (revents & POLLNVAL) source->Invalidate();
    }
    return handled;
  }

  bool FireTimers() {
    const double now = clock->Now();
    std::vector<std::shared_ptr<TimerImpl>> due = std::exchange(spareDue, {});
    ScopeExit keep([&] {
      due.clear();
      spareDue = std::move(due);
    });
    {
      std::lock_guard<std::mutex> lock(core->mutex);
      for (auto it = core->timers.begin(); it != core->timers.end() && it->first.when <= now; ++it) {
        due.push_back(it->second);
      }
    }
    bool handled = false;
    for (const std::shared_ptr<TimerImpl>& timer : due) {
      {
        std::lock_guard<std::mutex> lock(core->mutex);
        // An earlier callback of this turn may have invalidated it or moved it later.
        if (!timer->IsValid() || !timer->scheduled || timer->key.when > now) continue;
        core->timers.erase(timer->key);
        timer->scheduled = false;
        const double interval = timer->Interval();
        if (interval > 0) {
          // From the previous fire date, skipping the firings that were missed.
          double next = timer->key.when + interval;
          if (next <= now) next += interval * std::floor((now - next) / interval + 1);
          if (next <= now) next += interval;
          timer->Schedule(*core, next);
        } else {
          timer->MarkInvalid();
        }
        timer->inCallback = true;
      }
      {
        ScopeExit done([&] {
          Timer::Callback doomed;
          std::lock_guard<std::mutex> lock(core->mutex);
          timer->inCallback = false;
          if (!timer->IsValid()) doomed = std::move(timer->callback);
        });
        if (timer->callback) timer->callback(*timer);
      }
      handled = true;
    }
    return handled;
  }

  bool RunPosted() {
    std::vector<std::function<void()>> batch = std::exchange(spareBatch, {});
    {
      std::lock_guard<std::mutex> lock(core->mutex);
      batch.swap(core->posted);
    }
    std::size_t next = 0;
    ScopeExit keep([&] {
      if (next < batch.size()) {
        // A callable threw: the ones after it keep their place at the head of the queue.
        {
          std::lock_guard<std::mutex> lock(core->mutex);
          core->posted.insert(core->posted.begin(), std::make_move_iterator(batch.begin() + next),
                              std::make_move_iterator(batch.end()));
        }
        core->Signal(kWakePosted);
      }
      batch.clear();
      spareBatch = std::move(batch);
    });
    while (next < batch.size()) {
      std::function<void()> fn = std::move(batch[next++]);
      fn();
    }
    return next > 0;
  }
};

RunLoop::RunLoop(std::shared_ptr<Clock> clock) : impl_(std::make_unique<Impl>()) {
  std::shared_ptr<Clock> system = Clock::System();
  impl_->clock = clock ? std::move(clock) : system;
  impl_->systemClock = impl_->clock == system;
}

RunLoop::~RunLoop() {
  LoopCore& core = *impl_->core;
  // Taken out under the lock, destroyed after it: callbacks may own things that use the loop.
  std::map<TimerKey, std::shared_ptr<TimerImpl>> timers;
  std::vector<std::shared_ptr<FdSourceImpl>> fds;
  std::vector<std::function<void()>> posted;
  std::vector<Timer::Callback> timerCallbacks;
  std::vector<std::function<void(unsigned)>> fdCallbacks;
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    core.closed = true;
    timers.swap(core.timers);
    fds.swap(core.fds);
    posted.swap(core.posted);
    ++core.fdGeneration;
    for (auto& [key, timer] : timers) {
      timer->MarkInvalid();
      timer->scheduled = false;
      timerCallbacks.push_back(std::move(timer->callback));
    }
    for (auto& source : fds) {
      source->valid.store(false);
      fdCallbacks.push_back(std::move(source->callback));
    }
  }
}

RunLoop& RunLoop::Current() {
  static thread_local RunLoop loop;
  return loop;
}

const std::shared_ptr<Clock>& RunLoop::clock() const { return impl_->clock; }

std::shared_ptr<Timer> RunLoop::AddTimer(double delaySeconds, Timer::Callback callback,
                                         double repeatInterval) {
  LoopCore& core = *impl_->core;
  const double delay = delaySeconds > 0 ? delaySeconds : 0;  // also for NaN
  const double interval = repeatInterval > 0 ? std::max(repeatInterval, kMinimumInterval) : 0;
  auto timer =
      std::make_shared<TimerImpl>(impl_->core, impl_->clock->Now() + delay, interval, std::move(callback));
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    timer->Schedule(core, timer->FireDate());
  }
  core.Signal(kWakeChanged);
  return timer;
}

std::shared_ptr<FdSource> RunLoop::AddFd(int fd, unsigned events,
                                         std::function<void(unsigned ready)> callback) {
  PLATFORM_ASSERT(fd >= 0);
  LoopCore& core = *impl_->core;
  auto source = std::make_shared<FdSourceImpl>(impl_->core, fd, events, std::move(callback));
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    core.fds.push_back(source);
    ++core.fdGeneration;
  }
  core.Signal(kWakeChanged);
  return source;
}

void RunLoop::Post(std::function<void()> fn) {
  if (!fn) return;
  LoopCore& core = *impl_->core;
  {
    std::lock_guard<std::mutex> lock(core.mutex);
    core.posted.push_back(std::move(fn));
  }
  core.Signal(kWakePosted);
}

void RunLoop::Wake() { impl_->core->Signal(kWakeUser); }

RunLoop::RunResult RunLoop::RunOnce(double timeoutSeconds) {
  Impl& impl = *impl_;
  LoopCore& core = *impl.core;
  if (impl.stopPending.exchange(false)) {
    impl.stopped.store(true);
    return RunResult::Stopped;
  }
  impl.stopped.store(false);
  if (std::isnan(timeoutSeconds)) timeoutSeconds = 0;
  const double deadline = timeoutSeconds < 0 ? kForever : MonotonicNow() + timeoutSeconds;

  for (;;) {
    double wait = std::max(0.0, deadline - MonotonicNow());
    if (wait > 0) {
      const double next = impl.NextFireDate();
      if (next < kForever) {
        double untilDue = std::max(0.0, next - impl.clock->Now());
        if (!impl.systemClock && untilDue > 0) untilDue = std::max(untilDue, kInjectedClockMinimumWait);
        wait = std::min(wait, untilDue);
      }
    }

    PollSet set = std::exchange(impl.pollCache, PollSet{});
    ScopeExit keep([&] { impl.pollCache = std::move(set); });
    impl.Refresh(set);

    unsigned noted = 0;
    if (wait > 0) {
      core.sleeping.store(true);
      noted = core.wakeFlags.exchange(0);
      if (noted) wait = 0;
    }
    bool polled = false;
    if (wait > 0 || set.pfds.size() > 1) {
      const int ready = poll(set.pfds.data(), set.pfds.size(), ToPollTimeout(wait));
      polled = ready > 0;
    }
    core.sleeping.store(false);
    if (polled && set.pfds[0].revents != 0) core.Drain();
    noted |= core.wakeFlags.exchange(0);

    bool handled = (noted & kWakeUser) != 0;
    if (polled && impl.DispatchSources(set)) handled = true;
    if (impl.FireTimers()) handled = true;
    if ((noted & kWakePosted) && impl.RunPosted()) handled = true;

    if (impl.stopPending.exchange(false)) {
      impl.stopped.store(true);
      return RunResult::Stopped;
    }
    if (handled) return RunResult::Handled;
    if (MonotonicNow() >= deadline) return RunResult::TimedOut;
  }
}

void RunLoop::Run() {
  while (RunOnce(-1) != RunResult::Stopped) {
  }
}

void RunLoop::Stop() {
  impl_->stopPending.store(true);
  impl_->core->Signal(kWakeChanged);
}

bool RunLoop::IsStopped() const { return impl_->stopped.load() || impl_->stopPending.load(); }

}  // namespace platform
