#pragma once
// A lock with an integer condition, as threads use to hand over a result: the waiter
// locks when the condition reaches a value; the producer unlocks with a new condition.
//
// It is a logical lock, not a mutex: any thread may unlock what another thread locked.
// Unlocking a lock that is not locked is a programming error (assertion).

#include <condition_variable>
#include <mutex>
#include <optional>

namespace platform {

class ConditionLock {
 public:
  explicit ConditionLock(int condition = 0) : condition_(condition) {}

  int condition() const;
  void lock();
  bool tryLock();
  void unlock();
  void unlockWithCondition(int condition);
  // Waits until the lock is free and the condition equals `condition`.
  void lockWhenCondition(int condition);
  // The same, giving up at the monotonic deadline (Clock::System()->Now() scale).
  bool lockWhenCondition(int condition, double deadline);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int condition_;
  bool locked_ = false;
};

}  // namespace platform
