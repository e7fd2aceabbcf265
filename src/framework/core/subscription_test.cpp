#include "framework/core/subscription.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

#include "framework/core/command.h"
#include "framework/core/storage.h"
#include "framework/core/thread.h"
#include "platform/assert.h"
#include "testing/bundle_fixture.h"

namespace {

using platform::AssertionFailure;

struct Notice {
  QPX_Framework_StoragePtr node;
  std::string element;
  Value value;
};

// A worker thread that records the notices its hook receives. Drain() returns what has
// arrived once every notice queued before the call has been handled: the synchronous
// "Sync" command queues behind them.
class RecordingThread : public QPX_Framework_Thread {
 public:
  RecordingThread() {
    on("Sync", &RecordingThread::HandleSync);
    on("Block", &RecordingThread::HandleBlock);
  }

  void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr& node, const std::string& element,
                                             const Value& value) override {
    std::lock_guard<std::mutex> guard(mutex_);
    notices_.push_back({node, element, value});
  }

  std::vector<Notice> Drain() {
    QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Sync"));
    std::lock_guard<std::mutex> guard(mutex_);
    return std::exchange(notices_, {});
  }

  // Holds the thread in a command until Unblock(), so notices pile up in its queue.
  void Block() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      blocked_ = true;
    }
    QPX_Framework_Thread_RunCommandWithoutReply(QPX_Framework_MakeCommand("Block"));
  }
  void Unblock() {
    std::lock_guard<std::mutex> guard(mutex_);
    blocked_ = false;
    changed_.notify_all();
  }

  // Runs f on this thread (subscriptions belong to the thread that makes them).
  template <class F>
  auto On(F&& f) -> decltype(f()) {
    std::optional<decltype(f())> result;
    std::exception_ptr error;
    PerformSelector(
        [&] {
          try {
            result.emplace(f());
          } catch (...) {
            error = std::current_exception();
          }
        },
        true);
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }

 private:
  Value HandleSync(const Value&) { return Value(true); }
  Value HandleBlock(const Value&) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !blocked_; });
    return Value();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool blocked_ = false;
  std::vector<Notice> notices_;
};

class SubscriptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    base_ = QPX_Framework_Storage_CreateNode(std::string("/SubscriptionTest/") +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_NE(base_, nullptr);
    thread_ = Launch();
  }
  void TearDown() override {
    for (const auto& thread : threads_) {
      thread->Unblock();
      thread->QPX_Framework_Thread_Quit();
      thread->WaitUntilFinished();
    }
    if (base_) base_->RemoveNode();
  }

  std::shared_ptr<RecordingThread> Launch() {
    auto thread = std::make_shared<RecordingThread>();
    EXPECT_TRUE(thread->QPX_Framework_Thread_Launch());
    threads_.push_back(thread);
    return thread;
  }

  QPX_Framework_SubscriptionPtr Subscribe(const QPX_Framework_StoragePtr& node, const Value& element) {
    return thread_->On([&] { return node->Subscribe(element); });
  }

  QPX_Framework_StoragePtr base_;
  std::shared_ptr<RecordingThread> thread_;
  std::vector<std::shared_ptr<RecordingThread>> threads_;
};

std::vector<Value> Values(const std::vector<Notice>& notices) {
  std::vector<Value> values;
  for (const Notice& n : notices) values.push_back(n.value);
  return values;
}

TEST_F(SubscriptionTest, FirstDeliveryIsTheCurrentState) {
  const auto full = base_->GetNode("full", true, Value({{"a", Value(1)}, {"b", Value("two")}}), false);
  const auto empty = base_->CreateNode("empty");

  auto absent = Subscribe(full, Value("missing"));
  auto present = Subscribe(full, Value("b"));
  auto all = Subscribe(full, Value());
  auto none = Subscribe(empty, Value());
  const auto notices = thread_->Drain();
  ASSERT_EQ(notices.size(), 4u);
  EXPECT_EQ(notices[0].node, full);
  EXPECT_EQ(notices[0].element, "missing");
  EXPECT_EQ(notices[0].value, Value()) << "an absent element is announced once, without value";
  EXPECT_EQ(notices[1].element, "b");
  EXPECT_EQ(notices[1].value, Value("two"));
  EXPECT_EQ(notices[2].element, "a");
  EXPECT_EQ(notices[2].value, Value(1));
  EXPECT_EQ(notices[3].element, "b");
  // The empty node's all-elements subscription delivered nothing.
}

TEST_F(SubscriptionTest, EveryWriteIsAnnouncedInOrder) {
  auto sub = Subscribe(base_, Value("x"));
  ASSERT_EQ(thread_->Drain().size(), 1u);

  for (int i = 1; i <= 200; ++i) base_->setInteger(i, "x");
  base_->setInteger(200, "x");  // the same value is announced again
  base_->removeObjectForKey("x");
  base_->removeObjectForKey("x");  // absent: nothing written, nothing announced
  EXPECT_FALSE(base_->setNewInteger(0, "x"));
  base_->setInteger(1, "y");  // another element

  const auto notices = thread_->Drain();
  ASSERT_EQ(notices.size(), 202u);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(notices[i].value, Value(i + 1)) << i;
  EXPECT_EQ(notices[200].value, Value(200));
  EXPECT_EQ(notices[201].value, Value());
  for (const Notice& n : notices) {
    EXPECT_EQ(n.node, base_);
    EXPECT_EQ(n.element, "x");
  }
}

TEST_F(SubscriptionTest, ReplaceAnnouncesOnlyWhatChanged) {
  base_->GetNode("n", true, Value({{"x", Value(1)}, {"y", Value(2)}, {"z", Value(3)}}), false);
  auto sub = Subscribe(base_->GetNode("n"), Value());
  thread_->Drain();

  base_->GetNode("n", false, Value({{"x", Value(1)}, {"z", Value("3")}}), true);
  const auto notices = thread_->Drain();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].element, "y");
  EXPECT_EQ(notices[0].value, Value());
  EXPECT_EQ(notices[1].element, "z");
  EXPECT_EQ(notices[1].value, Value("3"));
}

TEST_F(SubscriptionTest, NamedAndAllElementsSubscriptionsEachGetOneNotice) {
  auto other = Launch();
  base_->setInteger(0, "x");
  auto named = Subscribe(base_, Value("x"));
  auto all = other->On([&] { return base_->Subscribe(Value()); });
  thread_->Drain();
  other->Drain();

  base_->setInteger(1, "x");
  base_->setInteger(2, "y");
  EXPECT_EQ(Values(thread_->Drain()), std::vector<Value>{Value(1)});
  EXPECT_EQ(Values(other->Drain()), (std::vector<Value>{Value(1), Value(2)}));
}

TEST_F(SubscriptionTest, ChildrenSubscriptionFollowsTheCurrentChildren) {
  const auto parent = base_->CreateNode("parent");
  auto early = thread_->On([&] { return parent->SubscribeForChildren(Value("x")); });  // no children yet
  EXPECT_TRUE(thread_->Drain().empty());
  early.reset();

  const auto c1 = parent->GetNode("c1", true, Value({{"x", Value(1)}}), false);
  const auto c2 = parent->CreateNode("c2");
  auto sub = thread_->On([&] { return parent->SubscribeForChildren(Value("x")); });
  auto first = thread_->Drain();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].node, c1);
  EXPECT_EQ(first[0].value, Value(1));
  EXPECT_EQ(first[1].node, c2);
  EXPECT_EQ(first[1].value, Value());

  // A child made later reports its later changes, not the elements it was made with.
  const auto c3 = parent->GetNode("c3", true, Value({{"x", Value(5)}}), false);
  c3->setInteger(6, "x");
  c2->setInteger(7, "y");  // another element
  // A removed child is no longer watched.
  parent->RemoveChild("c1");
  c1->setInteger(8, "x");
  auto later = thread_->Drain();
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].node, c3);
  EXPECT_EQ(later[0].value, Value(6));

  // Ending the subscription takes it out of the parent's table.
  std::weak_ptr<QPX_Framework_Storage_Subscription> watched = sub;
  sub.reset();
  thread_->Drain();
  EXPECT_TRUE(watched.expired());
  c3->setInteger(9, "x");
  EXPECT_TRUE(thread_->Drain().empty());
}

TEST_F(SubscriptionTest, ChildListReportsAllChildrenThenEachChange) {
  const auto a = base_->CreateNode("a");
  auto sub = thread_->On([&] { return base_->Subscribe(); });
  auto first = thread_->Drain();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].element, "") << "child-list notices name no element";
  EXPECT_EQ(first[0].value, Value({{"Added Nodes", Value({{"a", Value::Object(a)}})}}));

  bool created = false;
  const auto z = base_->GetNode("x/y/z", true, Value(), false, &created);
  EXPECT_TRUE(created);
  base_->RemoveChild("a");
  base_->RemoveChild("a");  // missing: no notice
  const auto x = base_->GetNode("x");
  auto changes = thread_->Drain();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].value, Value({{"Added Nodes", Value({{"x", Value::Object(x)}})}}));
  EXPECT_EQ(changes[1].value, Value({{"Removed Nodes", Value({{"a", Value::Object(a)}})}}));
  EXPECT_EQ(x->GetChildrenChangeCount(), 1u) << "each parent on the path announced its one new child";
  EXPECT_EQ(x->GetNode("y")->GetChildrenChangeCount(), 1u);
}

TEST_F(SubscriptionTest, ReleasedSubscriptionDeliversWhatIsQueuedThenStops) {
  auto sub = Subscribe(base_, Value("x"));
  thread_->Drain();
  std::weak_ptr<QPX_Framework_Storage_Subscription> watched = sub;

  thread_->Block();
  base_->setInteger(1, "x");
  sub.reset();                // the subscriber lets go while a notice is queued
  base_->setInteger(2, "x");  // still announced: the queued notice keeps it alive
  EXPECT_FALSE(watched.expired());
  thread_->Unblock();
  EXPECT_EQ(Values(thread_->Drain()), (std::vector<Value>{Value(1), Value(2)}));
  EXPECT_TRUE(watched.expired());

  base_->setInteger(3, "x");
  EXPECT_TRUE(thread_->Drain().empty());
}

TEST_F(SubscriptionTest, InvocationDivertsNoticesUntilItsTargetIsGone) {
  struct Target {
    std::vector<Value> seen;
  };
  auto target = std::make_shared<Target>();
  Target* raw = target.get();
  auto sub = Subscribe(base_, Value("x"));
  thread_->Drain();
  sub->SetInvocation(QPX_Framework_Invocation::Make(target, [raw](QPX_Framework_Invocation::Arguments args) {
    EXPECT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1], Value("x"));
    raw->seen.push_back(args[2]);
    return Value();
  }));

  base_->setInteger(1, "x");
  EXPECT_TRUE(thread_->Drain().empty()) << "the thread's own hook is not called";
  EXPECT_EQ(target->seen, std::vector<Value>{Value(1)});

  target.reset();
  base_->setInteger(2, "x");
  EXPECT_TRUE(thread_->Drain().empty()) << "nothing reaches a target that is gone";
}

TEST_F(SubscriptionTest, RemovedNodeStillReachesItsOwnSubscribers) {
  const auto node = base_->CreateNode("n");
  auto other = Launch();
  auto own = Subscribe(node, Value("x"));
  auto viaParent = other->On([&] { return base_->SubscribeForChildren(Value("x")); });
  thread_->Drain();
  other->Drain();

  node->RemoveNode();
  node->setInteger(1, "x");
  EXPECT_EQ(Values(thread_->Drain()), std::vector<Value>{Value(1)});
  EXPECT_TRUE(other->Drain().empty());
}

TEST_F(SubscriptionTest, MisuseIsAProgrammingError) {
  EXPECT_THROW(base_->Subscribe(Value("x")), AssertionFailure) << "the test's own thread is no worker thread";
  EXPECT_THROW(base_->Subscribe(), AssertionFailure);
  EXPECT_THROW(Subscribe(base_, Value("")), AssertionFailure);
  EXPECT_THROW(thread_->On([&] { return base_->SubscribeForChildren(Value(5)); }), AssertionFailure);
}

TEST_F(SubscriptionTest, AccessorsUseTheSubscribedElement) {
  auto named = Subscribe(base_, Value("x"));
  auto all = Subscribe(base_, Value());
  auto list = thread_->On([&] { return base_->Subscribe(); });
  thread_->Drain();

  named->setInteger(4, "");
  EXPECT_EQ(base_->integerForKey("x"), 4);
  EXPECT_EQ(named->integerForKey(""), 4);
  EXPECT_TRUE(named->setNewString("s", "other"));
  EXPECT_EQ(base_->stringForKey("other"), Value("s"));
  EXPECT_EQ(all->objectForKey("x"), Value(4));
  EXPECT_THROW(all->objectForKey(""), AssertionFailure);
  EXPECT_THROW(list->setInteger(1, ""), AssertionFailure);
  EXPECT_EQ(named->Storage(), base_);
  EXPECT_EQ(named->Thread(), thread_);
  EXPECT_EQ(list->ElementName(), std::nullopt);
  base_->PrintSubscriptions();  // describes all three tables without taking locks out of order
}

TEST_F(SubscriptionTest, OnlyNotifyCommandsAreTakenByTheSubscriptionClass) {
  EXPECT_FALSE(QPX_Framework_Storage_Subscription::_QPX_Framework_Thread_ExecuteCommandPackage(
      QPX_Framework_MakeCommand("Connect")));
}

TEST(SubscriptionPreferencesTest, FirstDeliveryIgnoresBundleDefaults) {
  testing_support::BundleFixture fixture;
  fixture.SetPreferencesDefault("OnlyDefault", Value(3));
  fixture.Install();
  ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
  auto thread = std::make_shared<RecordingThread>();
  ASSERT_TRUE(thread->QPX_Framework_Thread_Launch());
  {
    auto sub = thread->On([] { return QPX_Framework_Preferences->Subscribe("OnlyDefault"); });
    auto first = thread->Drain();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].value, Value());
    QPX_Framework_Preferences->setInteger(4, "OnlyDefault");
    EXPECT_EQ(Values(thread->Drain()), std::vector<Value>{Value(4)});
  }
  thread->QPX_Framework_Thread_Quit();
  thread->WaitUntilFinished();
}

}  // namespace
