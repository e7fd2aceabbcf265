#include "platform/condition_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/assert.h"
#include "platform/clock.h"

namespace platform {
namespace {

double In(double seconds) { return Clock::System()->Now() + seconds; }

TEST(ConditionLock, HandsResultsBackAndForthBetweenThreads) {
  // The shape of a synchronous command: the sender waits for 1, the worker answers with 1,
  // the sender sets it back to 0 for the next round.
  ConditionLock lock(0);
  constexpr int kRounds = 2000;
  int shared = 0;  // guarded by the condition lock alone
  std::vector<int> seen;
  std::thread worker([&] {
    for (int i = 0; i < kRounds; ++i) {
      lock.lockWhenCondition(0);
      shared = i * 2;
      lock.unlockWithCondition(1);
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    lock.lockWhenCondition(1);
    seen.push_back(shared);
    lock.unlockWithCondition(0);
  }
  worker.join();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kRounds));
  for (int i = 0; i < kRounds; ++i) ASSERT_EQ(seen[i], i * 2);
  EXPECT_EQ(lock.condition(), 0);
}

TEST(ConditionLock, DeadlineExpiresWhileTheConditionIsNotReached) {
  ConditionLock lock(0);
  EXPECT_FALSE(lock.lockWhenCondition(1, In(0.05)));
  EXPECT_FALSE(lock.lockWhenCondition(1, In(-10)));  // long past
  // The failed waits took nothing: the lock is still free.
  EXPECT_TRUE(lock.tryLock());
  lock.unlock();
}

TEST(ConditionLock, DeadlineInThePastStillTakesAFreeLockWithTheCondition) {
  ConditionLock lock(3);
  EXPECT_TRUE(lock.lockWhenCondition(3, In(-10)));
  EXPECT_FALSE(lock.tryLock());
  lock.unlockWithCondition(4);
  EXPECT_EQ(lock.condition(), 4);
}

TEST(ConditionLock, HeldLockBlocksEvenWhenTheConditionMatches) {
  ConditionLock lock(1);
  lock.lock();
  EXPECT_FALSE(lock.tryLock());
  EXPECT_FALSE(lock.lockWhenCondition(1, In(0.05)));
  // Another thread may release what this one locked: it is a logical lock.
  std::thread other([&] { lock.unlock(); });
  other.join();
  EXPECT_TRUE(lock.lockWhenCondition(1, In(30)));
  lock.unlock();
}

TEST(ConditionLock, WaiterWakesOnlyForItsOwnCondition) {
  ConditionLock lock(0);
  std::atomic<int> got{-1};
  std::thread waiter([&] {
    lock.lockWhenCondition(2);
    got = lock.condition();
    lock.unlockWithCondition(3);
  });
  lock.lock();
  lock.unlockWithCondition(1);  // not the one it waits for
  lock.lock();
  lock.unlockWithCondition(2);
  EXPECT_TRUE(lock.lockWhenCondition(3, In(30)));
  lock.unlock();
  waiter.join();
  EXPECT_EQ(got, 2);
}

TEST(ConditionLock, UnlockingAFreeLockIsAnAssertion) {
  ConditionLock lock;
  EXPECT_THROW(lock.unlock(), AssertionFailure);
  EXPECT_THROW(lock.unlockWithCondition(1), AssertionFailure);
  EXPECT_EQ(lock.condition(), 0);
  EXPECT_TRUE(lock.tryLock());  // still usable
  lock.unlock();
}

}  // namespace
}  // namespace platform
