#include "platform/condition_lock.h"

#include <chrono>

#include "platform/assert.h"
#include "platform/clock.h"

namespace platform {

namespace {
// Longer waits are waits without a limit (and would overflow the clock's duration type).
constexpr double kLongestTimedWait = 1e8;
}  // namespace

int ConditionLock::condition() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return condition_;
}

void ConditionLock::lock() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !locked_; });
  locked_ = true;
}

bool ConditionLock::tryLock() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (locked_) return false;
  locked_ = true;
  return true;
}

void ConditionLock::unlock() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    PLATFORM_ASSERT(locked_);
    locked_ = false;
  }
  changed_.notify_all();
}

void ConditionLock::unlockWithCondition(int condition) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    PLATFORM_ASSERT(locked_);
    locked_ = false;
    condition_ = condition;
  }
  // Waiters wait for different conditions: every one of them has to look.
  changed_.notify_all();
}

void ConditionLock::lockWhenCondition(int condition) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this, condition] { return !locked_ && condition_ == condition; });
  locked_ = true;
}

bool ConditionLock::lockWhenCondition(int condition, double deadline) {
  const double remaining = deadline - Clock::System()->Now();
  if (remaining > kLongestTimedWait) {
    lockWhenCondition(condition);
    return true;
  }
  // A deadline already passed (or not a number) still takes a lock that is free at once.
  const auto wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(remaining > 0 ? remaining : 0.0));
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_until(lock, std::chrono::steady_clock::now() + wait,
                           [this, condition] { return !locked_ && condition_ == condition; })) {
    return false;
  }
  locked_ = true;
  return true;
}

}  // namespace platform
