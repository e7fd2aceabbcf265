// The notification centre: matching by name and sender, delivery on the posting thread or
// on the observer's own thread, and the end of an observation.

#include "platform/notifications.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/run_loop.h"

namespace platform {
namespace {

TEST(NotificationCenterTest, ObserversGetTheNoticesOfTheirNameAndSender) {
  NotificationCenter center;
  int senderA = 0;
  int senderB = 0;
  std::vector<std::string> seen;
  auto any = center.AddObserver("Resize", nullptr, [&](const Notification& n) {
    seen.push_back("any " + n.userInfo.get("W").string());
  });
  auto onlyA = center.AddObserver("Resize", &senderA, [&](const Notification&) { seen.push_back("A"); });
  auto all = center.AddObserver("", nullptr, [&](const Notification& n) { seen.push_back("all " + n.name); });

  center.Post("Resize", &senderB, Value{{"W", Value("1")}});
  center.Post("Resize", &senderA, Value{{"W", Value("2")}});
  center.Post("Close", &senderA);
  EXPECT_EQ(seen, (std::vector<std::string>{"any 1", "all Resize", "any 2", "A", "all Resize", "all Close"}));

  onlyA.reset();
  seen.clear();
  center.Post("Resize", &senderA, Value{{"W", Value("3")}});
  EXPECT_EQ(seen, (std::vector<std::string>{"any 3", "all Resize"}));
  EXPECT_EQ(center.ObserverCount(), 2u);
}

TEST(NotificationCenterTest, ObserverThreadDeliveryArrivesThroughTheObserversLoop) {
  NotificationCenter center;
  std::thread::id deliveredOn;
  int count = 0;
  auto observation = center.AddObserver(
      "Wake", nullptr,
      [&](const Notification&) {
        deliveredOn = std::this_thread::get_id();
        ++count;
      },
      NotificationCenter::Delivery::ObserverThread);
  std::thread poster([&] { center.Post("Wake"); });
  poster.join();
  EXPECT_EQ(count, 0);  // not before this thread's loop turns
  for (int i = 0; i < 100 && count == 0; ++i) RunLoop::Current().RunOnce(0.01);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(deliveredOn, std::this_thread::get_id());

  // Ended before the notice arrives: not delivered.
  center.Post("Wake");
  observation.reset();
  RunLoop::Current().RunOnce(0);
  EXPECT_EQ(count, 1);
}

TEST(NotificationCenterTest, AnObserverMayEndItsObservationWhileBeingTold) {
  NotificationCenter center;
  std::shared_ptr<NotificationCenter::Observation> self;
  int count = 0;
  self = center.AddObserver("Once", nullptr, [&](const Notification&) {
    ++count;
    self.reset();
  });
  center.Post("Once");
  center.Post("Once");
  EXPECT_EQ(count, 1);
}

}  // namespace
}  // namespace platform
