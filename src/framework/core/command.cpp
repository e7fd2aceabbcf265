#include "framework/core/command.h"

#include "framework/core/log.h"
#include "framework/core/thread.h"
#include "platform/clock.h"

const char* const QPX_Framework_Command_Key = "Command";
const char* const QPX_Framework_Command_Invocation = "Run Invocation";
const char* const QPX_Framework_Command_Invocation_Invocation = "Invocation";
const char* const QPX_Framework_PackageNilReply = "nil";

// ---- Invocation ----

QPX_Framework_Invocation::QPX_Framework_Invocation(std::weak_ptr<const void> target, Function function)
    : target_(std::move(target)), hasTarget_(true), function_(std::move(function)) {}

QPX_Framework_Invocation::QPX_Framework_Invocation(Function function)
    : hasTarget_(false), function_(std::move(function)) {}

Value QPX_Framework_Invocation::Invoke(Arguments arguments) const {
  if (!function_) return Value();
  if (!hasTarget_) return function_(arguments);
  // Hold the target for the length of the call, so it cannot go away halfway through.
  std::shared_ptr<const void> target = target_.lock();
  if (!target) return Value();
  return function_(arguments);
}

bool QPX_Framework_Invocation::TargetAlive() const { return !hasTarget_ || !target_.expired(); }

std::string QPX_Framework_Invocation::Description() const {
  return TargetAlive() ? "<Invocation>" : "<Invocation (target gone)>";
}

// ---- Package ----

QPX_Framework_CommandPackage::QPX_Framework_CommandPackage(Value command, ReplyMethod method,
                                                           QPX_Framework_InvocationPtr completion)
    : QPX_Framework_CommandPackage(std::move(command), QPX_Framework_Thread::currentThread(), method,
                                   std::move(completion)) {}

QPX_Framework_CommandPackage::QPX_Framework_CommandPackage(
    Value command, const std::shared_ptr<QPX_Framework_Thread>& sender, ReplyMethod method,
    QPX_Framework_InvocationPtr completion)
    : command_(std::move(command)),
      sender_(sender),
      hasSender_(sender != nullptr),
      method_(method),
      completion_(std::move(completion)) {
  if (method_ == ReplyMethod::Waiter) waiter_.emplace(0);
}

Value QPX_Framework_CommandPackage::WaitForReply(const QPX_Framework_Thread& target) {
  QPX_Assert(method_ == ReplyMethod::Waiter);
  platform::ConditionLock& waiter = *waiter_;
  const std::shared_ptr<platform::Clock> clock = platform::Clock::System();
  for (;;) {
    // Waits in slices so that a target that quit without answering releases us. The reply
    // is read only under the lock the replier released, never while it may still be written.
    if (waiter.lockWhenCondition(1, clock->Now() + 1.0)) {
      Value reply = reply_;
      waiter.unlock();
      return reply;
    }
    if (target.IsQuitting()) return Value();
  }
}

const std::string& QPX_Framework_CommandPackage::CommandName() const {
  static const std::string empty;
  const auto& dictionary = command_.dictionary();
  auto it = dictionary.find(QPX_Framework_Command_Key);
  if (it == dictionary.end()) return empty;
  return it->second.string();
}

std::string QPX_Framework_CommandPackage::Description() const {
  Value described = Value::EmptyDictionary();
  described.set("Command", command_);
  if (auto sender = sender_.lock()) described.set("Sender", sender->Description());
  switch (method_) {
    case ReplyMethod::Hook:
      break;
    case ReplyMethod::None:
      described.set("Reply To", QPX_Framework_PackageNilReply);
      break;
    case ReplyMethod::Waiter:
      described.set("Reply To", "<Condition Lock>");
      break;
    case ReplyMethod::Invocation:
      described.set("Reply To", completion_ ? completion_->Description() : std::string("<Invocation>"));
      break;
  }
  if (replied_) described.set("Reply", reply_.isNull() ? Value(QPX_Framework_PackageNilReply) : reply_);
  return described.Description();
}

// ---- Receiver tables ----

const QPX_Framework_CommandReceiver::PackageHandler* QPX_Framework_CommandReceiver::PackageHandlerFor(
    const std::string& name) const {
  auto it = handlers_.find(name);
  if (it == handlers_.end() || !it->second.package) return nullptr;
  return &it->second.package;
}

const QPX_Framework_CommandReceiver::CommandHandler* QPX_Framework_CommandReceiver::CommandHandlerFor(
    const std::string& name) const {
  auto it = handlers_.find(name);
  if (it == handlers_.end() || !it->second.command) return nullptr;
  return &it->second.command;
}

void QPX_Framework_CommandReceiver::on(std::string name,
                                       std::function<void(const QPX_Framework_Package&)> handler) {
  onPackage(std::move(name),
            [handler = std::move(handler)](QPX_Framework_CommandReceiver&,
                                           const QPX_Framework_Package& package) { handler(package); });
}

void QPX_Framework_CommandReceiver::on(std::string name, std::function<Value(const Value& command)> handler) {
  onCommand(std::move(name),
            [handler = std::move(handler)](QPX_Framework_CommandReceiver&, const Value& command) {
              return handler(command);
            });
}

void QPX_Framework_CommandReceiver::onPackage(std::string name, PackageHandler handler) {
  handlers_[std::move(name)].package = std::move(handler);
}

void QPX_Framework_CommandReceiver::onCommand(std::string name, CommandHandler handler) {
  handlers_[std::move(name)].command = std::move(handler);
}

// ---- Free functions ----

Value QPX_Framework_MakeCommand(std::string_view name,
                                std::initializer_list<std::pair<const char*, Value>> pairs) {
  Value command = Value::EmptyDictionary();
  command.set(QPX_Framework_Command_Key, Value(name));
  for (const auto& [key, value] : pairs) {
    if (key == nullptr || value.isNull()) break;
    command.set(key, value);
  }
  return command;
}

bool QPX_Framework_ExecutePackageOnObject(const QPX_Framework_Package& package,
                                          QPX_Framework_CommandReceiver& object) {
  if (!package) return false;
  const std::string& name = package->CommandName();
  if (name.empty()) return false;
  if (const auto* handler = object.PackageHandlerFor(name)) {
    (*handler)(object, package);
    return true;
  }
  if (const auto* handler = object.CommandHandlerFor(name)) {
    Value reply = (*handler)(object, package->Command());
    QPX_Framework_Thread::QPX_Framework_Thread_SendReply(reply, package);
    return true;
  }
  return false;
}

// ---- Sending (members of the thread) ----

Value QPX_Framework_Thread::QPX_Framework_Thread_RunCommand(const Value& command) {
  std::shared_ptr<QPX_Framework_Thread> caller = currentThread();
  // A thread never waits for itself.
  QPX_Assert(caller.get() != this);
  auto package = std::make_shared<QPX_Framework_CommandPackage>(
      command, caller, QPX_Framework_CommandPackage::ReplyMethod::Waiter);
  if (!QueueCommand(package)) return Value();
  return package->WaitForReply(*this);
}

void QPX_Framework_Thread::QPX_Framework_Thread_RunCommand(const Value& command,
                                                           const QPX_Framework_InvocationPtr& completion) {
  std::shared_ptr<QPX_Framework_Thread> caller = currentThread();
  if (completion) {
    // The completion runs on the sender's thread, so there must be one.
    QPX_Assert(caller != nullptr);
    QueueCommand(std::make_shared<QPX_Framework_CommandPackage>(
        command, caller, QPX_Framework_CommandPackage::ReplyMethod::Invocation, completion));
  } else {
    QueueCommand(std::make_shared<QPX_Framework_CommandPackage>(
        command, caller, QPX_Framework_CommandPackage::ReplyMethod::Hook));
  }
}

void QPX_Framework_Thread::QPX_Framework_Thread_RunCommandWithoutReply(const Value& command) {
  QueueCommand(std::make_shared<QPX_Framework_CommandPackage>(
      command, currentThread(), QPX_Framework_CommandPackage::ReplyMethod::None));
}

void QPX_Framework_Thread::QPX_Framework_Thread_Invoke(const QPX_Framework_InvocationPtr& invocation) {
  QPX_Assert(invocation != nullptr);
  QPX_Framework_Thread_RunCommandWithoutReply(
      QPX_Framework_MakeCommand(QPX_Framework_Command_Invocation,
                                {{QPX_Framework_Command_Invocation_Invocation, Value::Object(invocation)}}));
}

Value QPX_Framework_Thread::HandleRunInvocation(const Value& command) {
  auto invocation =
      command.get(QPX_Framework_Command_Invocation_Invocation).objectAs<QPX_Framework_Invocation>();
  QPX_Assert(invocation != nullptr);
  return invocation->Invoke();
}

void QPX_Framework_Thread::QPX_Framework_Thread_SendReply(const Value& reply,
                                                          const QPX_Framework_Package& package) {
  QPX_Assert(package != nullptr);
  switch (package->method_) {
    case QPX_Framework_CommandPackage::ReplyMethod::None:
      package->reply_ = reply;
      package->replied_ = true;
      return;
    case QPX_Framework_CommandPackage::ReplyMethod::Waiter: {
      platform::ConditionLock& waiter = *package->waiter_;
      waiter.lock();
      package->reply_ = reply;
      package->replied_ = true;
      waiter.unlockWithCondition(1);
      return;
    }
    case QPX_Framework_CommandPackage::ReplyMethod::Hook:
    case QPX_Framework_CommandPackage::ReplyMethod::Invocation:
      package->reply_ = reply;
      package->replied_ = true;
      // Back to the sender's queue, where the reply marks it as an answer. A sender that is
      // gone or has quit drops it.
      if (std::shared_ptr<QPX_Framework_Thread> sender = package->Sender()) sender->QueueCommand(package);
      return;
  }
}

void QPX_Framework_Thread::_SendReplyForFlush(const QPX_Framework_Package& package) {
  QPX_Framework_Thread_SendReply(Value(), package);
}

const Value& QPX_Framework_Thread::QPX_Framework_Thread_PackageCommand(const QPX_Framework_Package& package) {
  QPX_Assert(package != nullptr);
  return package->Command();
}

std::shared_ptr<QPX_Framework_Thread> QPX_Framework_Thread::QPX_Framework_Thread_PackageSender(
    const QPX_Framework_Package& package) {
  QPX_Assert(package != nullptr);
  return package->Sender();
}
