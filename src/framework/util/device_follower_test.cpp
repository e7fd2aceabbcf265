// Following the current modem: per-device subscriptions rebuilt on every change, global
// subscriptions kept, notices diverted to the follower and delivered on its thread; system
// notices moved to the observer's thread; one-shot invocation threads.

#include "framework/util/device_follower.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "framework/core/command.h"
#include "framework/core/storage.h"
#include "framework/core/thread.h"

namespace {

// A worker thread with a "Sync" command: a synchronous Sync returns once everything queued
// before it has been handled.
class HostThread : public QPX_Framework_Thread {
 public:
  HostThread() { on("Sync", &HostThread::HandleSync); }
  void Sync() { QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Sync")); }
  template <class F>
  auto On(F&& f) -> decltype(f()) {
    if constexpr (std::is_void_v<decltype(f())>) {
      PerformSelector([&] { f(); }, true);
    } else {
      std::optional<decltype(f())> result;
      PerformSelector([&] { result.emplace(f()); }, true);
      return std::move(*result);
    }
  }
  std::atomic<int> hookNotices{0};
  void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr&, const std::string&,
                                             const Value&) override {
    ++hookNotices;
  }

 private:
  Value HandleSync(const Value&) { return Value(true); }
};

struct Seen {
  std::string node;
  std::string element;
  Value value;
  std::thread::id thread;
};

class RecordingFollower : public QPX_Framework_DeviceChangeClass {
 public:
  explicit RecordingFollower(QPX_Framework_StoragePtr global) : global_(std::move(global)) {}
  void DeviceSubscriptions(QPX_Framework_SubscriptionSet& set) override {
    set.push_back(QPX_Framework_CurrentModemOfThread()->Subscribe("QPX CSQ"));
  }
  void GlobalSubscriptions(QPX_Framework_SubscriptionSet& set) override {
    set.push_back(global_->Subscribe("G"));
  }
  void DeviceRemoved() override { ++removed; }
  void DeviceChanged() override {
    ++changed;
    QPX_Framework_DeviceChangeClass::DeviceChanged();
  }
  void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr& node, const std::string& element,
                                             const Value& value) override {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back({node ? node->GetPath() : "", element, value, std::this_thread::get_id()});
  }
  std::vector<Seen> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(seen, {});
  }

  std::atomic<int> removed{0};
  std::atomic<int> changed{0};
  std::mutex mutex;
  std::vector<Seen> seen;

 private:
  QPX_Framework_StoragePtr global_;
};

class DeviceFollowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    modems_ = QPX_Framework_ModemsNode();
    ASSERT_TRUE(modems_);
    global_ = QPX_Framework_Root_Storage->CreateNode("/DeviceFollowerTest");
    a_ = modems_->CreateNode("a");
    b_ = modems_->CreateNode("b");
    host_ = std::make_shared<HostThread>();
    ASSERT_TRUE(host_->QPX_Framework_Thread_Launch());
    follower_ =
        host_->On([&] { return QPX_Framework_DeviceChangeClass::Create<RecordingFollower>(global_); });
    host_->Sync();
  }
  void TearDown() override {
    host_->On([&] { follower_.reset(); });
    host_->QPX_Framework_Thread_Quit();
    host_->WaitUntilFinished();
    modems_->RemoveChild("a");
    modems_->RemoveChild("b");
    modems_->removeObjectForKey(QPX_Framework_CurrentModemChanged_Key);
    global_->RemoveNode();
  }
  // What the project does: the thread's current modem, then the change notice.
  void SwitchTo(const QPX_Framework_StoragePtr& node) {
    host_->On([&] { QPX_Framework_SetCurrentModemOfThread(node); });
    modems_->setObject(Value(node ? node->GetPath() : std::string()), QPX_Framework_CurrentModemChanged_Key);
    // The first Sync is handled after the change notice; but the follower subscribes to the
    // new modem while handling it, so that subscription's first notice (the current state)
    // is queued behind the first Sync. The second one waits for it too.
    host_->Sync();
    host_->Sync();
  }

  QPX_Framework_StoragePtr modems_, global_, a_, b_;
  std::shared_ptr<HostThread> host_;
  std::shared_ptr<RecordingFollower> follower_;
};

TEST_F(DeviceFollowerTest, WithoutAModemTheFollowerIsToldTheDeviceIsGone) {
  // The first delivery of the change subscription runs DeviceChanged once.
  EXPECT_EQ(follower_->changed.load(), 1);
  EXPECT_EQ(follower_->removed.load(), 1);
  EXPECT_TRUE(follower_->Subscriptions().empty());
  EXPECT_EQ(follower_->GlobalSubscriptionSet().size(), 1u);
}

TEST_F(DeviceFollowerTest, NoticesOfTheCurrentModemArriveDivertedOnTheFollowersThread) {
  follower_->Take();
  SwitchTo(a_);
  a_->setObject(Value(17), "QPX CSQ");
  host_->Sync();
  std::vector<Seen> seen = follower_->Take();
  ASSERT_EQ(seen.size(), 2u);  // the current state (absent), then the write
  EXPECT_EQ(seen[0].node, "/Modems/a");
  EXPECT_TRUE(seen[0].value.isNull());
  EXPECT_EQ(seen[1].value, Value(17));
  EXPECT_EQ(seen[1].thread, host_->GetSystemThread());
  // Diverted: the thread's own hook saw none of it.
  EXPECT_EQ(host_->hookNotices.load(), 0);
}

TEST_F(DeviceFollowerTest, TwoChangesLeaveOnlyTheSubscriptionsOfTheLast) {
  SwitchTo(a_);
  SwitchTo(b_);
  EXPECT_EQ(follower_->Subscriptions().size(), 1u);
  follower_->Take();
  a_->setObject(Value(1), "QPX CSQ");
  b_->setObject(Value(2), "QPX CSQ");
  global_->setObject(Value("g"), "G");
  host_->Sync();
  std::vector<Seen> seen = follower_->Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].node, "/Modems/b");
  EXPECT_EQ(seen[1].node, "/DeviceFollowerTest");  // the global subscription stays

  SwitchTo(nullptr);
  EXPECT_EQ(follower_->removed.load(), 2);
  EXPECT_TRUE(follower_->Subscriptions().empty());
}

TEST_F(DeviceFollowerTest, OtherElementsOfModemsDoNotCountAsAChange) {
  const int before = follower_->changed.load();
  modems_->setObject(Value("x"), "Current Modem");
  modems_->removeObjectForKey("Current Modem");
  host_->Sync();
  EXPECT_EQ(follower_->changed.load(), before);
  // The same path written again still counts: every write notifies.
  SwitchTo(a_);
  SwitchTo(a_);
  EXPECT_EQ(follower_->changed.load(), before + 2);
}

TEST_F(DeviceFollowerTest, DivertingAnEmptySetChangesNothing) {
  QPX_Framework_SubscriptionSet empty;
  QPX_Framework_DivertSubscriptions<RecordingFollower>(empty, follower_);
  EXPECT_TRUE(empty.empty());
  auto subscription = host_->On([&] { return global_->Subscribe("H"); });
  EXPECT_EQ(QPX_Framework_DivertSubscription<RecordingFollower>(subscription, follower_), subscription);
  EXPECT_TRUE(subscription->Invocation());
  host_->On([&] { subscription.reset(); });
}

TEST_F(DeviceFollowerTest, SystemNoticesArriveOnTheObserversThread) {
  std::mutex mutex;
  std::vector<std::pair<Value, std::thread::id>> got;
  auto invocation = QPX_Framework_Invocation::Make([&](QPX_Framework_Invocation::Arguments args) {
    std::lock_guard<std::mutex> lock(mutex);
    got.emplace_back(args.empty() ? Value() : args[0], std::this_thread::get_id());
    return Value();
  });
  auto observer = host_->On(
      [&] { return QPX_Framework_NSNotification::CreateOberserver(invocation, "ClockChanged", nullptr); });
  platform::NotificationCenter::Default().Post("ClockChanged", nullptr, Value{{"Delta", Value(60)}});
  platform::NotificationCenter::Default().Post("SomethingElse");
  // The notice travels through the thread's run loop, not its command queue, so a Sync
  // command may overtake it; a waiting perform runs after everything posted before it.
  host_->On([] {});
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first.get("Name"), Value("ClockChanged"));
    EXPECT_EQ(got[0].first.get("UserInfo").get("Delta"), Value(60));
    EXPECT_EQ(got[0].second, host_->GetSystemThread());
  }
  observer.reset();
  platform::NotificationCenter::Default().Post("ClockChanged");
  host_->On([] {});
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(got.size(), 1u);
}

TEST(ThreadInvocationTest, RunsOnceOnAThreadOfItsOwn) {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<std::thread::id> ranOn;
  auto invocation = QPX_Framework_Invocation::Make([&](QPX_Framework_Invocation::Arguments) {
    std::lock_guard<std::mutex> lock(mutex);
    ranOn = std::this_thread::get_id();
    done.notify_all();
    return Value();
  });
  ASSERT_TRUE(QPX_Framework_Thread_Invocation::Launch(invocation));
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(60), [&] { return ranOn.has_value(); }));
  EXPECT_NE(*ranOn, std::this_thread::get_id());
}

}  // namespace
