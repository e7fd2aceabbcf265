#pragma once
// Command packages: how worker threads ask each other for work.
//
// A command is a dictionary Value whose "Command" entry names it; the other entries are its
// parameters. To send it, it is wrapped in a package that records who sent it, how the reply
// comes back and, once answered, the reply. Receivers dispatch commands by name through a
// per-object handler table filled in their constructor:
//
//   MyThread::MyThread() {
//     on("Connect", &MyThread::HandleConnect);        // Value HandleConnect(const Value& command)
//     on("AT", &MyThread::HandleATPackage);            // void HandleATPackage(const QPX_Framework_Package&)
//   }
//
// The command form returns the reply, which the dispatcher sends. The package form replies
// itself with QPX_Framework_Thread::QPX_Framework_Thread_SendReply, at once or later (it may
// keep the package). When both forms exist for a name, only the package form runs.
//
// "No reply" is the nil reply: a null Value. An unhandled command, a flushed queue or a gone
// owner answer with it, so a synchronous sender never waits for ever.

#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/condition_lock.h"
#include "platform/value.h"

class QPX_Framework_Thread;

// "Command": the key naming the command in a command dictionary.
extern const char* const QPX_Framework_Command_Key;
// "Run Invocation" and its "Invocation" key: run an invocation on the receiving thread.
extern const char* const QPX_Framework_Command_Invocation;
extern const char* const QPX_Framework_Command_Invocation_Invocation;
// "nil": how an empty reply is shown where a package is described.
extern const char* const QPX_Framework_PackageNilReply;

// A callable bound to the object it calls into. The invocation holds that target weakly and
// does nothing once the target is gone, so a completion or notice that is still queued when
// its object dies never calls into a destroyed object.
class QPX_Framework_Invocation final : public platform::ValueObject {
 public:
  using Arguments = std::span<const Value>;
  using Function = std::function<Value(Arguments arguments)>;

  // `target` is the object the function uses; the call is skipped once it has gone.
  QPX_Framework_Invocation(std::weak_ptr<const void> target, Function function);
  // An invocation with no target object (a free function): always runs.
  explicit QPX_Framework_Invocation(Function function);

  template <class T>
  static std::shared_ptr<QPX_Framework_Invocation> Make(const std::shared_ptr<T>& target, Function function) {
    return std::make_shared<QPX_Framework_Invocation>(std::weak_ptr<const void>(target), std::move(function));
  }
  static std::shared_ptr<QPX_Framework_Invocation> Make(Function function) {
    return std::make_shared<QPX_Framework_Invocation>(std::move(function));
  }

  // Runs the function with the arguments (a completion gets the reply as its one argument,
  // a storage notice the node, element name and value). Answers the function's result, or
  // null when the target has gone and nothing ran.
  Value Invoke(Arguments arguments = {}) const;
  bool TargetAlive() const;

  std::string Description() const override;

 private:
  std::weak_ptr<const void> target_;
  bool hasTarget_;
  Function function_;
};
using QPX_Framework_InvocationPtr = std::shared_ptr<QPX_Framework_Invocation>;

// A command on its way: the command dictionary, the sender, how the reply returns and the
// reply. A package is handled by one thread at a time (it moves through queues), so its
// fields need no lock of their own; a synchronous sender reads the reply only after the
// replier has released the package's condition lock.
class QPX_Framework_CommandPackage final : public platform::ValueObject {
 public:
  enum class ReplyMethod {
    Hook,        // the reply goes back to the sender's QPX_Framework_Thread_Reply
    None,        // no reply wanted
    Waiter,      // a synchronous sender waits on the package's condition lock
    Invocation,  // the reply runs the completion invocation on the sender's thread
  };

  // MakeCommandPackage: the sender is the calling worker thread, when there is one.
  explicit QPX_Framework_CommandPackage(Value command, ReplyMethod method = ReplyMethod::Hook,
                                        QPX_Framework_InvocationPtr completion = nullptr);
  // The same with the sender already known (null: no worker thread).
  QPX_Framework_CommandPackage(Value command, const std::shared_ptr<QPX_Framework_Thread>& sender,
                               ReplyMethod method, QPX_Framework_InvocationPtr completion = nullptr);

  const Value& Command() const { return command_; }
  // The command's name, or empty when the dictionary names none.
  const std::string& CommandName() const;
  // The sending worker thread, while it lives; null when the sender was no worker thread.
  std::shared_ptr<QPX_Framework_Thread> Sender() const { return sender_.lock(); }
  bool HasSender() const { return hasSender_; }
  ReplyMethod replyMethod() const { return method_; }
  const QPX_Framework_InvocationPtr& Completion() const { return completion_; }

  // What a synchronous sender does after queuing a Waiter package to `target`: waits for the
  // reply, looking once a second whether the target quit without answering (then null).
  Value WaitForReply(const QPX_Framework_Thread& target);

  // True once answered; the package is then a reply and never dispatched again.
  bool HasReply() const { return replied_; }
  // The reply; null for the nil reply.
  const Value& Reply() const { return reply_; }

  std::string Description() const override;

 private:
  friend class QPX_Framework_Thread;

  Value command_;
  std::weak_ptr<QPX_Framework_Thread> sender_;
  bool hasSender_ = false;
  ReplyMethod method_;
  QPX_Framework_InvocationPtr completion_;
  std::optional<platform::ConditionLock> waiter_;  // ReplyMethod::Waiter only
  bool replied_ = false;
  Value reply_;
};
using QPX_Framework_Package = std::shared_ptr<QPX_Framework_CommandPackage>;

// An object that receives commands by name. Subclasses fill the table in their constructor
// with `on(name, &Self::Handler)`; a later entry for a name replaces the earlier one of the
// same form, so a subclass can take over a command of its base.
class QPX_Framework_CommandReceiver {
 public:
  using PackageHandler = std::function<void(QPX_Framework_CommandReceiver&, const QPX_Framework_Package&)>;
  using CommandHandler = std::function<Value(QPX_Framework_CommandReceiver&, const Value& command)>;

  QPX_Framework_CommandReceiver() = default;
  QPX_Framework_CommandReceiver(const QPX_Framework_CommandReceiver&) = delete;
  QPX_Framework_CommandReceiver& operator=(const QPX_Framework_CommandReceiver&) = delete;
  virtual ~QPX_Framework_CommandReceiver() = default;

  // The handlers for a name; null when the receiver has none of that form.
  const PackageHandler* PackageHandlerFor(const std::string& name) const;
  const CommandHandler* CommandHandlerFor(const std::string& name) const;

 protected:
  // Package form: the handler replies itself.
  template <class Self>
  void on(std::string name, void (Self::*handler)(const QPX_Framework_Package&)) {
    onPackage(std::move(name),
              [handler](QPX_Framework_CommandReceiver& receiver, const QPX_Framework_Package& p) {
                (static_cast<Self&>(receiver).*handler)(p);
              });
  }
  // Command form: the handler's result is the reply (null: the nil reply).
  template <class Self>
  void on(std::string name, Value (Self::*handler)(const Value& command)) {
    onCommand(std::move(name), [handler](QPX_Framework_CommandReceiver& receiver, const Value& command) {
      return (static_cast<Self&>(receiver).*handler)(command);
    });
  }
  // Callables, for handlers that are not member functions.
  void on(std::string name, std::function<void(const QPX_Framework_Package&)> handler);
  void on(std::string name, std::function<Value(const Value& command)> handler);

  void onPackage(std::string name, PackageHandler handler);
  void onCommand(std::string name, CommandHandler handler);

 private:
  struct Entry {
    PackageHandler package;
    CommandHandler command;
  };
  std::unordered_map<std::string, Entry> handlers_;
};

// QPX_Framework_MakeCommand: {"Command": name, key: value, ...}. The pairs end at the first
// missing (null) key or null value, so an absent optional parameter ends the list.
Value QPX_Framework_MakeCommand(std::string_view name,
                                std::initializer_list<std::pair<const char*, Value>> pairs = {});

// Dispatch by name to an object: YES when a handler took the package. The package form runs
// when present; otherwise the command form runs and its result is sent as the reply.
bool QPX_Framework_ExecutePackageOnObject(const QPX_Framework_Package& package,
                                          QPX_Framework_CommandReceiver& object);
