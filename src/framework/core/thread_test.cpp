#include "framework/core/thread.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "framework/core/class_registry.h"
#include "platform/assert.h"
#include "platform/run_loop.h"
#include "platform/thread_context.h"

namespace {

using Package = QPX_Framework_Package;
using ReplyMethod = QPX_Framework_CommandPackage::ReplyMethod;

// A worker with a few commands of its own. Everything it records is touched only on its own
// thread and read by the test through "Get" (or after the thread has finished).
class Worker : public QPX_Framework_Thread {
 public:
  Worker() {
    on("Echo", &Worker::Echo);
    on("Record", &Worker::Record);
    on("Get", &Worker::Get);
    on("Block", &Worker::Block);
    on("Whoami", &Worker::Whoami);
  }

  // Set before launch; "Block" waits for it.
  std::shared_future<void> gate;
  std::promise<void> blocked;

 private:
  Value Echo(const Value& command) { return command.get("Value"); }
  Value Record(const Value& command) {
    records_.append(command.get("Value"));
    return Value();
  }
  Value Get(const Value&) { return records_; }
  Value Block(const Value&) {
    blocked.set_value();
    gate.wait();
    return Value("unblocked");
  }
  Value Whoami(const Value&) {
    Value answer = Value::EmptyDictionary();
    auto current = currentThread();
    answer.set("Same", current.get() == this);
    answer.set("ID", platform::CurrentThreadContext().dictionary.get(QPX_Framework_Thread_IDKey));
    return answer;
  }

  Value records_ = Value::EmptyArray();
};

template <class T = Worker>
std::shared_ptr<T> Start() {
  auto thread = std::make_shared<T>();
  EXPECT_TRUE(thread->QPX_Framework_Thread_Launch());
  return thread;
}

void Stop(const std::shared_ptr<QPX_Framework_Thread>& thread) {
  thread->QPX_Framework_Thread_Quit();
  thread->WaitUntilFinished();
}

Value Command(const char* name, Value value = Value()) {
  return QPX_Framework_MakeCommand(name, {{"Value", value}});
}

// Runs the function on the worker's thread and waits for it.
void On(const std::shared_ptr<QPX_Framework_Thread>& thread, std::function<void()> function) {
  thread->PerformSelector(std::move(function), true);
}

TEST(ThreadTest, LaunchRegistersLinksAndQuitUnregisters) {
  auto worker = Start();
  const std::string id = worker->QPX_Framework_Thread_ID();
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(worker->IsRunning());
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_FindID(id), worker);
  EXPECT_EQ(worker->QPX_Framework_Thread_Name(), id);  // unnamed: the ID
  EXPECT_NE(worker->_QPX_Framework_Thread_MySignal(), nullptr);
  EXPECT_THROW(worker->QPX_Framework_Thread_Launch(), platform::AssertionFailure);  // already running

  Value who = worker->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Whoami"));
  EXPECT_TRUE(who.get("Same").toBool());
  EXPECT_EQ(who.get("ID"), Value(id));
  // The test's own thread is no worker thread.
  EXPECT_EQ(QPX_Framework_Thread::currentThread(), nullptr);

  Stop(worker);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_FindID(id), nullptr);
  EXPECT_EQ(worker->_QPX_Framework_Thread_MySignal(), nullptr);
  // Dropped without reply once quit.
  EXPECT_FALSE(worker->QueueCommand(std::make_shared<QPX_Framework_CommandPackage>(Command("Echo"))));
  EXPECT_TRUE(worker->QPX_Framework_Thread_RunCommand(Command("Echo", 1)).isNull());
}

TEST(ThreadTest, IDsCountUpAndSkipTakenOnes) {
  auto a = Start();
  auto b = Start();
  EXPECT_EQ(std::stoul(b->QPX_Framework_Thread_ID()), std::stoul(a->QPX_Framework_Thread_ID()) + 1);
  Stop(a);
  Stop(b);
}

TEST(ThreadTest, CommandsRunInArrivalOrder) {
  auto worker = Start();
  for (int i = 0; i < 200; ++i) worker->QPX_Framework_Thread_RunCommandWithoutReply(Command("Record", i));
  Value records = worker->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Get"));
  ASSERT_EQ(records.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(records.at(i).toInt(), i);
  Stop(worker);
}

TEST(ThreadTest, ManySendersOnlyGetTheirOwnReplies) {
  auto worker = Start();
  std::vector<std::thread> senders;
  std::atomic<int> wrong{0};
  for (int s = 0; s < 4; ++s) {
    senders.emplace_back([&, s] {
      for (int i = 0; i < 200; ++i) {
        const int value = s * 1000 + i;
        if (worker->QPX_Framework_Thread_RunCommand(Command("Echo", value)).toInt(-1) != value) ++wrong;
      }
    });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(wrong.load(), 0);
  Stop(worker);
}

TEST(ThreadTest, CompletionsRunOnTheSendersThreadInOrder) {
  auto sender = Start();
  auto target = Start();
  auto token = std::make_shared<int>(0);
  std::vector<Value> replies;  // written on the sender's thread only
  std::vector<bool> onSender;
  std::promise<void> allDone;

  On(sender, [&] {
    for (int i = 0; i < 20; ++i) {
      auto completion =
          QPX_Framework_Invocation::Make(token, [&, i](QPX_Framework_Invocation::Arguments arguments) {
            replies.push_back(arguments[0]);
            onSender.push_back(QPX_Framework_Thread::currentThread() == sender);
            if (i == 19) allDone.set_value();
            return Value();
          });
      target->QPX_Framework_Thread_RunCommand(Command("Echo", i), completion);
    }
  });
  allDone.get_future().wait();
  ASSERT_EQ(replies.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(replies[i].toInt(), i);
    EXPECT_TRUE(onSender[i]);
  }
  Stop(sender);
  Stop(target);
}

TEST(ThreadTest, CompletionOfAGoneTargetIsSkippedALiveOneStillRuns) {
  auto sender = Start();
  auto target = Start();
  std::promise<void> release;
  target->gate = release.get_future().share();

  auto gone = std::make_shared<int>(0);
  auto alive = std::make_shared<int>(0);
  std::atomic<int> goneRuns{0}, aliveRuns{0};
  On(sender, [&] {
    target->QPX_Framework_Thread_RunCommandWithoutReply(QPX_Framework_MakeCommand("Block"));
    target->QPX_Framework_Thread_RunCommand(Command("Echo", 1),
                                            QPX_Framework_Invocation::Make(gone, [&](auto) {
                                              ++goneRuns;
                                              return Value();
                                            }));
    target->QPX_Framework_Thread_RunCommand(Command("Echo", 2),
                                            QPX_Framework_Invocation::Make(alive, [&](auto) {
                                              ++aliveRuns;
                                              return Value();
                                            }));
  });
  target->blocked.get_future().wait();
  gone.reset();  // the completion's object goes while its command is still queued
  release.set_value();
  // The replies were queued to the sender before the target handled this command, and the
  // sender handles them before the one after.
  target->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Get"));
  sender->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Get"));
  EXPECT_EQ(goneRuns.load(), 0);
  EXPECT_EQ(aliveRuns.load(), 1);
  Stop(sender);
  Stop(target);
}

class ReplyHookWorker : public Worker {
 public:
  std::vector<std::pair<Value, Value>> replies;  // this thread only
  bool QPX_Framework_Thread_Reply(const Value& reply, const Value& command) override {
    replies.emplace_back(reply, command);
    return true;
  }
};

TEST(ThreadTest, RepliesWithoutCompletionGoToTheReplyHookOrAreDropped) {
  auto hooked = Start<ReplyHookWorker>();
  auto plain = Start();
  auto target = Start();
  On(hooked, [&] { target->QPX_Framework_Thread_RunCommand(Command("Echo", 7), nullptr); });
  On(plain, [&] { target->QPX_Framework_Thread_RunCommand(Command("Echo", 8), nullptr); });
  target->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Get"));
  hooked->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Get"));
  plain->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Get"));  // dropped there: no crash
  std::vector<std::pair<Value, Value>> seen;
  On(hooked, [&] { seen = hooked->replies; });
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, Value(7));
  EXPECT_EQ(seen[0].second.get("Command"), Value("Echo"));
  Stop(hooked);
  Stop(plain);
  Stop(target);
}

TEST(ThreadTest, QuitWhileSendersWaitAnswersThemWithNil) {
  auto worker = Start();
  std::promise<void> release;
  worker->gate = release.get_future().share();
  auto blocking =
      std::make_shared<QPX_Framework_CommandPackage>(QPX_Framework_MakeCommand("Block"), ReplyMethod::Waiter);
  ASSERT_TRUE(worker->QueueCommand(blocking));
  worker->blocked.get_future().wait();

  // Three synchronous senders queued behind the running command.
  std::vector<Package> waiting;
  std::vector<std::future<Value>> answers;
  for (int i = 0; i < 3; ++i) {
    auto package = std::make_shared<QPX_Framework_CommandPackage>(Command("Echo", i), ReplyMethod::Waiter);
    ASSERT_TRUE(worker->QueueCommand(package));
    answers.push_back(
        std::async(std::launch::async, [package, worker] { return package->WaitForReply(*worker); }));
    waiting.push_back(package);
  }
  worker->QPX_Framework_Thread_Quit();
  release.set_value();

  // The running command finishes; the others are answered with nil at clean-up.
  EXPECT_EQ(blocking->WaitForReply(*worker), Value("unblocked"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(answers[i].get().isNull());
    EXPECT_TRUE(waiting[i]->HasReply());
  }
  worker->WaitUntilFinished();
  EXPECT_FALSE(worker->QueueCommand(std::make_shared<QPX_Framework_CommandPackage>(Command("Echo"))));
}

TEST(ThreadTest, DiscardAnswersCommandsDropsRepliesAndRefusesLaterPackages) {
  auto completionThread = Start();
  auto idle = std::make_shared<Worker>();  // never launched: its queue just fills up
  std::promise<Value> completed;
  Package withCompletion;
  On(completionThread, [&] {
    withCompletion = std::make_shared<QPX_Framework_CommandPackage>(
        Command("Echo", 1), ReplyMethod::Invocation,
        QPX_Framework_Invocation::Make(completionThread, [&](QPX_Framework_Invocation::Arguments arguments) {
          completed.set_value(arguments[0]);
          return Value();
        }));
  });
  auto waiter = std::make_shared<QPX_Framework_CommandPackage>(Command("Echo", 2), ReplyMethod::Waiter);
  auto noReply = std::make_shared<QPX_Framework_CommandPackage>(Command("Echo", 3), ReplyMethod::None);
  auto alreadyAnswered =
      std::make_shared<QPX_Framework_CommandPackage>(Command("Echo", 4), ReplyMethod::None);
  QPX_Framework_Thread::QPX_Framework_Thread_SendReply(Value("kept"), alreadyAnswered);
  for (const auto& package : {withCompletion, waiter, noReply, alreadyAnswered})
    ASSERT_TRUE(idle->QueueCommand(package));

  idle->DiscardQueue();
  EXPECT_TRUE(waiter->WaitForReply(*idle).isNull());
  EXPECT_TRUE(noReply->HasReply());
  EXPECT_TRUE(noReply->Reply().isNull());
  EXPECT_EQ(alreadyAnswered->Reply(), Value("kept"));
  EXPECT_TRUE(completed.get_future().get().isNull());  // the completion ran with the nil reply

  EXPECT_FALSE(idle->QueueCommand(std::make_shared<QPX_Framework_CommandPackage>(Command("Echo"))));
  EXPECT_EQ(idle->DequeueCommand(), nullptr);
  idle->DiscardQueue();  // a second discard has nothing to do
  Stop(completionThread);
}

TEST(ThreadTest, NamesAreUniqueAndFoundBeforeIDs) {
  auto a = Start();
  auto b = Start();
  a->QPX_Framework_Thread_SetName(std::string("Modem"));
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Modem"), a);
  EXPECT_EQ(a->QPX_Framework_Thread_Name(), "Modem");
  EXPECT_THROW(b->QPX_Framework_Thread_SetName(std::string("Modem")), platform::AssertionFailure);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Modem"), a);
  a->QPX_Framework_Thread_SetName(std::string("Modem"));  // its own name again: fine

  a->QPX_Framework_Thread_SetName(std::nullopt);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Modem"), nullptr);
  b->QPX_Framework_Thread_SetName(std::string("Modem"));
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Modem"), b);

  // A name equal to another thread's ID wins over that ID.
  const std::string idOfA = a->QPX_Framework_Thread_ID();
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find(idOfA), a);
  b->QPX_Framework_Thread_SetName(idOfA);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find(idOfA), b);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_FindID(idOfA), a);

  Stop(a);
  Stop(b);
  // Clean-up clears the name.
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find(idOfA), nullptr);
}

// Set-up under the test's control, with a record of the hooks that ran.
class HookedWorker : public Worker {
 public:
  std::promise<void> setupEntered;
  std::shared_future<bool> setupResult;  // what set-up answers, once available
  std::atomic<bool> prepared{false}, cleanedUp{false}, setupDone{false};

  bool QPX_Framework_Thread_Setup() override {
    const bool base = QPX_Framework_Thread::QPX_Framework_Thread_Setup();
    QPX_Framework_Thread_SetName(std::string("Hooked"));
    setupEntered.set_value();
    const bool result = setupResult.get();
    setupDone = true;
    return base && result;
  }
  void QPX_Framework_Thread_PrepareRun() override { prepared = true; }
  void QPX_Framework_Thread_Cleanup() override {
    cleanedUp = true;
    QPX_Framework_Thread::QPX_Framework_Thread_Cleanup();
  }
};

TEST(ThreadTest, FailedSetUpReportsNoAndLeavesNothingRegistered) {
  auto worker = std::make_shared<HookedWorker>();
  std::promise<bool> result;
  worker->setupResult = result.get_future().share();
  result.set_value(false);
  EXPECT_FALSE(worker->QPX_Framework_Thread_Launch());
  worker->WaitUntilFinished();
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_FALSE(worker->prepared);
  EXPECT_FALSE(worker->cleanedUp);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Hooked"), nullptr);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_FindID(worker->QPX_Framework_Thread_ID()), nullptr);
}

TEST(ThreadTest, LaunchTimeOutTellsTheThreadToQuitSoALateSetUpGoesToCleanUp) {
  const double old = QPX_Framework_Thread::SetLaunchTimeout(0.02);
  auto worker = std::make_shared<HookedWorker>();
  std::promise<bool> result;
  worker->setupResult = result.get_future().share();
  EXPECT_FALSE(worker->QPX_Framework_Thread_Launch());  // set-up is still waiting for `result`
  QPX_Framework_Thread::SetLaunchTimeout(old);
  worker->setupEntered.get_future().wait();
  EXPECT_FALSE(worker->setupDone);

  result.set_value(true);  // the late set-up succeeds
  worker->WaitUntilFinished();
  EXPECT_TRUE(worker->setupDone);
  EXPECT_FALSE(worker->prepared);
  EXPECT_TRUE(worker->cleanedUp);
  EXPECT_TRUE(worker->IsQuitting());
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Hooked"), nullptr);
  EXPECT_FALSE(worker->QueueCommand(std::make_shared<QPX_Framework_CommandPackage>(Command("Echo"))));
}

class SelfSender : public Worker {
 public:
  SelfSender() { on("SendToSelf", &SelfSender::SendToSelf); }

 private:
  Value SendToSelf(const Value&) {
    Value answer = Value::EmptyDictionary();
    try {
      QPX_Framework_Thread_RunCommand(Command("Echo", 1));
      answer.set("Asserted", false);
    } catch (const platform::AssertionFailure&) {
      answer.set("Asserted", true);
    }
    // A synchronous perform on the own thread runs at once instead.
    bool ran = false;
    PerformSelector([&] { ran = true; }, true);
    answer.set("PerformedInline", ran);
    return answer;
  }
};

TEST(ThreadTest, SynchronousCommandToOwnThreadAssertsPerformRunsInline) {
  auto worker = Start<SelfSender>();
  Value answer = worker->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("SendToSelf"));
  EXPECT_TRUE(answer.get("Asserted").toBool());
  EXPECT_TRUE(answer.get("PerformedInline").toBool());
  Stop(worker);
}

TEST(ThreadTest, UnhandledCommandGetsTheNilReply) {
  auto worker = Start();
  auto package = std::make_shared<QPX_Framework_CommandPackage>(QPX_Framework_MakeCommand("Nobody"),
                                                                ReplyMethod::Waiter);
  ASSERT_TRUE(worker->QueueCommand(package));
  EXPECT_TRUE(package->WaitForReply(*worker).isNull());
  EXPECT_TRUE(package->HasReply());
  // The thread goes on with later commands.
  EXPECT_EQ(worker->QPX_Framework_Thread_RunCommand(Command("Echo", 5)), Value(5));
  Stop(worker);
}

TEST(ThreadTest, PerformOnAnotherThreadRunsThereAndIsDroppedOnceItEnded) {
  auto worker = Start();
  std::thread::id ranOn;
  worker->PerformSelector([&] { ranOn = std::this_thread::get_id(); }, true);
  EXPECT_EQ(ranOn, worker->GetSystemThread());
  Stop(worker);
  bool ran = false;
  worker->PerformSelector([&] { ran = true; }, true);  // returns: nothing left to run it
  EXPECT_FALSE(ran);
}

TEST(ThreadTest, InvokeRunsOnTheTargetUnlessItsObjectIsGone) {
  auto worker = Start();
  auto object = std::make_shared<int>(0);
  std::atomic<int> runs{0};
  std::thread::id ranOn;
  worker->QPX_Framework_Thread_Invoke(QPX_Framework_Invocation::Make(object, [&](auto) {
    ++runs;
    ranOn = std::this_thread::get_id();
    return Value("result");
  }));
  auto gone = std::make_shared<int>(0);
  auto skipped = QPX_Framework_Invocation::Make(gone, [&](auto) {
    ++runs;
    return Value();
  });
  gone.reset();
  worker->QPX_Framework_Thread_Invoke(skipped);
  worker->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Get"));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(ranOn, worker->GetSystemThread());
  EXPECT_THROW(worker->QPX_Framework_Thread_Invoke(nullptr), platform::AssertionFailure);
  Stop(worker);
}

// A stand-in for the storage subscription: records where and with what it was delivered.
class FakeSubscription : public platform::ValueObject, public QPX_Framework_NoticeDelivery {
 public:
  std::promise<std::pair<QPX_Framework_Thread*, Value>> delivered;
  void QPX_Framework_DeliverNotice(QPX_Framework_Thread& receiver, const Value& command) override {
    delivered.set_value({&receiver, command});
  }
};

class NoticeWorker : public Worker {
 public:
  std::promise<std::tuple<bool, std::string, Value>> notified;
  void QPX_Framework_Storage_NotificationFor(const std::shared_ptr<QPX_Framework_Storage>& node,
                                             const std::string& elementName, const Value& value) override {
    notified.set_value({node == nullptr, elementName, value});
  }
};

TEST(ThreadTest, NotifyIsHandedToTheSubscriptionOnTheReceivingThread) {
  auto worker = Start();
  auto subscription = std::make_shared<FakeSubscription>();
  Value notice = QPX_Framework_MakeCommand(
      QPX_Framework_Command_Notify, {{QPX_Framework_Notify_SubscriptionKey, Value::Object(subscription)},
                                     {QPX_Framework_Notify_ElementKey, "Signal"},
                                     {QPX_Framework_Notify_ValueKey, 3}});
  worker->QPX_Framework_Thread_RunCommandWithoutReply(notice);
  auto [receiver, command] = subscription->delivered.get_future().get();
  EXPECT_EQ(receiver, worker.get());
  EXPECT_EQ(command, notice);

  // Not a subscription under "Subscription": a broken notice.
  auto broken = std::make_shared<QPX_Framework_CommandPackage>(
      QPX_Framework_MakeCommand(QPX_Framework_Command_Notify, {{QPX_Framework_Notify_ValueKey, 3}}));
  EXPECT_THROW(worker->QPX_Framework_Thread_ExecuteCommandPackage(broken), platform::AssertionFailure);
  Stop(worker);
}

TEST(ThreadTest, NotificationHookIsReachableFromADelivery) {
  // What the storage subscription does without an invocation of its own.
  class HookCaller : public platform::ValueObject, public QPX_Framework_NoticeDelivery {
   public:
    void QPX_Framework_DeliverNotice(QPX_Framework_Thread& receiver, const Value& command) override {
      receiver.QPX_Framework_Storage_NotificationFor(nullptr,
                                                     command.get(QPX_Framework_Notify_ElementKey).string(),
                                                     command.get(QPX_Framework_Notify_ValueKey));
    }
  };
  auto worker = Start<NoticeWorker>();
  worker->QPX_Framework_Thread_RunCommandWithoutReply(QPX_Framework_MakeCommand(
      QPX_Framework_Command_Notify,
      {{QPX_Framework_Notify_SubscriptionKey, Value::Object(std::make_shared<HookCaller>())},
       {QPX_Framework_Notify_ElementKey, "Signal"},
       {QPX_Framework_Notify_ValueKey, 3}}));
  auto [nullNode, element, value] = worker->notified.get_future().get();
  EXPECT_TRUE(nullNode);
  EXPECT_EQ(element, "Signal");
  EXPECT_EQ(value, Value(3));
  Stop(worker);
}

TEST(ThreadTest, SignalDelegateRunsOnTheOwnerThread) {
  auto worker = Start();
  auto signal = worker->_QPX_Framework_Thread_MySignal();
  ASSERT_NE(signal, nullptr);
  std::promise<std::pair<std::thread::id, void*>> fired;
  int userData = 0;
  signal->SetDelegate([&](void* data) { fired.set_value({std::this_thread::get_id(), data}); }, &userData);
  signal->Signal();
  auto [ranOn, data] = fired.get_future().get();
  EXPECT_EQ(ranOn, worker->GetSystemThread());
  EXPECT_EQ(data, &userData);
  // Only the owner may release it.
  EXPECT_THROW(signal->Release(), platform::AssertionFailure);
  signal->SetDelegate(nullptr, nullptr);
  Stop(worker);
  EXPECT_TRUE(signal->IsReleased());
  signal->Signal();  // harmless once released
}

// The main thread, adopted on the test's thread.
class MainThread : public Worker {
 public:
  std::vector<std::string> events;  // the test's thread only
  void QPX_Framework_Thread_PrepareRun() override { events.push_back("prepare"); }
};

class Driver : public Worker {
 public:
  Driver() { on("Drive", &Driver::Drive); }

 private:
  // Talks to "Main" the way a module does, then ends the main thread's loop.
  Value Drive(const Value&) {
    auto main = QPX_Framework_Thread_Find(QPX_Framework_Thread_MainID);
    Value reply = main->QPX_Framework_Thread_RunCommand(Command("Echo", "from driver"));
    main->QPX_Framework_Thread_RunCommand(Command("Record", reply));
    main->QPX_Framework_Thread_Quit();
    return Value();
  }
};

TEST(ThreadTest, AdoptedMainThreadProcessesItsQueueOnItsOwnLoop) {
  auto main = std::make_shared<MainThread>();
  main->_QPX_Framework_Thread_Wrap(QPX_Framework_Thread_MainID);
  EXPECT_EQ(QPX_Framework_Thread::currentThread(), main);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Main"), main);
  EXPECT_EQ(main->_QPX_Framework_Thread_MySignal(), nullptr);
  // Adopting again, or another thread under the same ID: assertions.
  EXPECT_THROW(main->_QPX_Framework_Thread_Wrap("Other"), platform::AssertionFailure);
  EXPECT_THROW(std::make_shared<Worker>()->_QPX_Framework_Thread_Wrap(QPX_Framework_Thread_MainID),
               platform::AssertionFailure);
  // Sending synchronously to oneself asserts here too.
  EXPECT_THROW(main->QPX_Framework_Thread_RunCommand(Command("Echo", 1)), platform::AssertionFailure);

  // Queued before the body runs: handled right after the preparation hook.
  main->QPX_Framework_Thread_RunCommandWithoutReply(Command("Record", "early"));
  auto driver = Start<Driver>();
  driver->QPX_Framework_Thread_RunCommandWithoutReply(QPX_Framework_MakeCommand("Drive"));

  main->_QPX_Framework_Thread_Run(nullptr);  // returns once the driver has quit it

  EXPECT_EQ(main->events, std::vector<std::string>{"prepare"});
  // The body has ended: read the records through the handler table directly.
  auto get =
      std::make_shared<QPX_Framework_CommandPackage>(QPX_Framework_MakeCommand("Get"), ReplyMethod::None);
  EXPECT_TRUE(QPX_Framework_ExecutePackageOnObject(get, *main));
  Value records = get->Reply();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records.at(0), Value("early"));
  EXPECT_EQ(records.at(1), Value("from driver"));

  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Main"), nullptr);
  EXPECT_EQ(QPX_Framework_Thread::currentThread(), nullptr);
  Stop(driver);
}

TEST(ThreadTest, UnwrapReleasesTheAdoptedThread) {
  auto main = std::make_shared<MainThread>();
  main->_QPX_Framework_Thread_Wrap(QPX_Framework_Thread_MainID);
  auto waiting = std::make_shared<QPX_Framework_CommandPackage>(Command("Echo", 1), ReplyMethod::None);
  main->QueueCommand(waiting);
  main->_QPX_Framework_Thread_Unwrap();
  EXPECT_TRUE(waiting->HasReply());  // answered, not left hanging
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_Find("Main"), nullptr);
  EXPECT_EQ(QPX_Framework_Thread::currentThread(), nullptr);
}

TEST(ThreadTest, ClassInitialiserIsRegisteredUnderItsName) {
  QPX_Framework_Thread_RegisterClasses();
  auto entry = QPX_Framework_ClassRegistry::Find("QPX_Framework_Thread");
  ASSERT_NE(entry, nullptr);
  ASSERT_TRUE(entry->init);
  EXPECT_TRUE(entry->init("QPX_Framework_Thread"));
  EXPECT_TRUE(entry->init("SomeSubclass"));
  ASSERT_TRUE(entry->create);
  EXPECT_NE(std::dynamic_pointer_cast<QPX_Framework_Thread>(entry->create()), nullptr);
}

}  // namespace
