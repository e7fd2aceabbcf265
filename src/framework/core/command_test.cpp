#include "framework/core/command.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "framework/core/thread.h"
#include "platform/assert.h"
#include "platform/run_loop.h"

namespace {

using ReplyMethod = QPX_Framework_CommandPackage::ReplyMethod;

TEST(CommandTest, MakeCommandStopsAtTheFirstMissingKeyOrValue) {
  struct Case {
    const char* name;
    Value made;
    Value expected;
  };
  const Case cases[] = {
      {"no parameters", QPX_Framework_MakeCommand("Ping"), Value{{"Command", "Ping"}}},
      {"missing value ends the list", QPX_Framework_MakeCommand("X", {{"a", 1}, {"b", Value()}, {"c", 2}}),
       Value{{"Command", "X"}, {"a", 1}}},
      {"missing key ends the list", QPX_Framework_MakeCommand("X", {{"a", 1}, {nullptr, 5}, {"c", 2}}),
       Value{{"Command", "X"}, {"a", 1}}},
      {"all pairs", QPX_Framework_MakeCommand("X", {{"a", 1}, {"c", "two"}}),
       Value{{"Command", "X"}, {"a", 1}, {"c", "two"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.made, c.expected) << c.name;
}

// A receiver that is not a thread (as the combined device modules are).
class Receiver : public QPX_Framework_CommandReceiver {
 public:
  Receiver() {
    on("Both", &Receiver::BothPackage);
    on("Both", &Receiver::BothCommand);
    on("Command", &Receiver::Answer);
    on("Nothing", &Receiver::Nothing);
    on("Lambda", std::function<Value(const Value&)>([](const Value& command) { return command.get("x"); }));
  }
  std::vector<std::string> calls;

 private:
  void BothPackage(const QPX_Framework_Package& package) {
    calls.push_back("package");
    QPX_Framework_Thread::QPX_Framework_Thread_SendReply(Value("from package form"), package);
  }
  Value BothCommand(const Value&) {
    calls.push_back("command");
    return Value("from command form");
  }
  Value Answer(const Value& command) { return command.get("x"); }
  Value Nothing(const Value&) { return Value(); }
};

QPX_Framework_Package NoReplyPackage(Value command) {
  return std::make_shared<QPX_Framework_CommandPackage>(std::move(command), ReplyMethod::None);
}

TEST(CommandTest, DispatchByNameOnAnyReceiver) {
  Receiver receiver;

  auto both = NoReplyPackage(QPX_Framework_MakeCommand("Both"));
  EXPECT_TRUE(QPX_Framework_ExecutePackageOnObject(both, receiver));
  EXPECT_EQ(receiver.calls, std::vector<std::string>{"package"});  // only the package form runs
  EXPECT_EQ(both->Reply(), Value("from package form"));

  auto answered = NoReplyPackage(QPX_Framework_MakeCommand("Command", {{"x", 42}}));
  EXPECT_TRUE(QPX_Framework_ExecutePackageOnObject(answered, receiver));
  EXPECT_EQ(answered->Reply(), Value(42));

  auto lambda = NoReplyPackage(QPX_Framework_MakeCommand("Lambda", {{"x", "y"}}));
  EXPECT_TRUE(QPX_Framework_ExecutePackageOnObject(lambda, receiver));
  EXPECT_EQ(lambda->Reply(), Value("y"));

  // A handler answering none: the reply is the nil reply.
  auto nothing = NoReplyPackage(QPX_Framework_MakeCommand("Nothing"));
  EXPECT_TRUE(QPX_Framework_ExecutePackageOnObject(nothing, receiver));
  EXPECT_TRUE(nothing->HasReply());
  EXPECT_TRUE(nothing->Reply().isNull());
  EXPECT_NE(nothing->Description().find("nil"), std::string::npos);

  // No handler, no name, no command dictionary: not handled, nothing answered.
  for (Value command :
       {QPX_Framework_MakeCommand("Unknown"), Value{{"x", 1}}, Value(), Value{{"Command", 5}}}) {
    auto package = NoReplyPackage(command);
    EXPECT_FALSE(QPX_Framework_ExecutePackageOnObject(package, receiver)) << command.Description();
    EXPECT_FALSE(package->HasReply());
  }
}

TEST(CommandTest, InvocationSkipsAGoneTargetAndPassesArguments) {
  auto target = std::make_shared<std::string>("target");
  auto invocation = QPX_Framework_Invocation::Make(target, [](QPX_Framework_Invocation::Arguments arguments) {
    return Value(static_cast<long>(arguments.size()));
  });
  const Value arguments[] = {Value(1), Value(2), Value(3)};
  EXPECT_EQ(invocation->Invoke(arguments), Value(3));
  EXPECT_TRUE(invocation->TargetAlive());
  target.reset();
  EXPECT_FALSE(invocation->TargetAlive());
  EXPECT_TRUE(invocation->Invoke(arguments).isNull());

  // Without a target object it always runs.
  auto free = QPX_Framework_Invocation::Make([](auto) { return Value("ran"); });
  EXPECT_EQ(free->Invoke(), Value("ran"));
}

// Keeps the package of "Later" and answers it from a timer on its own thread.
class LaterWorker : public QPX_Framework_Thread {
 public:
  LaterWorker() { on("Later", &LaterWorker::Later); }

 private:
  void Later(const QPX_Framework_Package& package) {
    pending_ = package;
    timer_ = platform::RunLoop::Current().AddTimer(0, [this](platform::Timer&) {
      QPX_Framework_Thread_SendReply(Value("late"), pending_);
      pending_.reset();
    });
  }
  QPX_Framework_Package pending_;
  std::shared_ptr<platform::Timer> timer_;
};

TEST(CommandTest, PackageHandlerMayAnswerLaterFromItsOwnThread) {
  auto worker = std::make_shared<LaterWorker>();
  ASSERT_TRUE(worker->QPX_Framework_Thread_Launch());
  EXPECT_EQ(worker->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Later")), Value("late"));
  worker->QPX_Framework_Thread_Quit();
  worker->WaitUntilFinished();
}

TEST(CommandTest, PackageRecordsItsSenderAndAccessors) {
  auto outside = std::make_shared<QPX_Framework_CommandPackage>(QPX_Framework_MakeCommand("X"));
  EXPECT_FALSE(outside->HasSender());
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_PackageSender(outside), nullptr);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_PackageCommand(outside).get("Command"), Value("X"));
  EXPECT_EQ(outside->CommandName(), "X");

  auto worker = std::make_shared<QPX_Framework_Thread>();
  ASSERT_TRUE(worker->QPX_Framework_Thread_Launch());
  QPX_Framework_Package inside;
  worker->PerformSelector(
      [&] { inside = std::make_shared<QPX_Framework_CommandPackage>(QPX_Framework_MakeCommand("X")); }, true);
  EXPECT_EQ(QPX_Framework_Thread::QPX_Framework_Thread_PackageSender(inside), worker);

  // A completion needs a worker thread to run on.
  EXPECT_THROW(
      worker->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("X"),
                                              QPX_Framework_Invocation::Make([](auto) { return Value(); })),
      platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Thread::QPX_Framework_Thread_SendReply(Value(), nullptr),
               platform::AssertionFailure);
  worker->QPX_Framework_Thread_Quit();
  worker->WaitUntilFinished();
}

TEST(CommandTest, RunInvocationWithoutInvocationAsserts) {
  QPX_Framework_Thread thread;
  auto package = NoReplyPackage(QPX_Framework_MakeCommand(QPX_Framework_Command_Invocation));
  EXPECT_THROW(thread.QPX_Framework_Thread_ExecuteCommandPackage(package), platform::AssertionFailure);
}

}  // namespace
