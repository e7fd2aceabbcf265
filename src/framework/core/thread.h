#pragma once
// Worker threads: a system thread with its own run loop, a first-in-first-out queue of
// command packages (framework/core/command.h), a wake-up signal, hooks that subclasses
// override, and an entry in the process-wide registry by ID and by unique name.
//
// A module subclasses QPX_Framework_Thread, fills its command table in its constructor
// (`on("Connect", &Self::HandleConnect)`), creates the object with std::make_shared and
// starts it with QPX_Framework_Thread_Launch. All hooks and handlers run on the thread's own
// system thread, one package at a time. The main thread is adopted under the ID "Main".
//
// Storage notices arrive as "Notify" commands (built by the storage module):
//   {"Command": "Notify", "Subscription": <object implementing QPX_Framework_NoticeDelivery>,
//    "Storage": <node, absent when none>, "Element": <name, absent for child-list notices>,
//    "Value": <new value, absent when removed>}
// The base thread's command table handles "Notify" by handing the whole command to the
// subscription (QPX_Framework_NoticeDelivery::QPX_Framework_DeliverNotice), which runs its
// own invocation or, without one, calls the receiving thread's
// QPX_Framework_Storage_NotificationFor hook.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "framework/core/command.h"
#include "platform/condition_lock.h"
#include "platform/value.h"

namespace platform {
class RunLoop;
}
class QPX_Framework_Storage;

// "Main": the ID of the adopted main thread.
extern const char* const QPX_Framework_Thread_MainID;
// "QPX_Framework_Thread": the per-thread dictionary key holding the worker thread object.
extern const char* const QPX_Framework_Thread_DictionaryKey;
// "QPX Thread ID": the per-thread dictionary key holding the worker thread's ID (the log
// reads it for the thread name).
extern const char* const QPX_Framework_Thread_IDKey;
// "Notify": the command of a storage notice, and its keys.
extern const char* const QPX_Framework_Command_Notify;
extern const char* const QPX_Framework_Notify_SubscriptionKey;  // "Subscription"
extern const char* const QPX_Framework_Notify_StorageKey;       // "Storage"
extern const char* const QPX_Framework_Notify_ElementKey;       // "Element"
extern const char* const QPX_Framework_Notify_ValueKey;         // "Value"

class QPX_Framework_Thread;

// Implemented by the object under "Subscription" in a "Notify" command (the storage
// subscription). Called on the receiving worker thread with the whole notice command.
class QPX_Framework_NoticeDelivery {
 public:
  virtual ~QPX_Framework_NoticeDelivery() = default;
  virtual void QPX_Framework_DeliverNotice(QPX_Framework_Thread& receiver, const Value& command) = 0;
};

// The wake-up signal of a worker thread. Made on the thread to be woken; Signal may be called
// from any thread. Other components that must wake the thread (the serial-port layer) get it
// through _QPX_Framework_Thread_MySignal.
class _QPX_Framework_Thread_Signal : public std::enable_shared_from_this<_QPX_Framework_Thread_Signal> {
 public:
  // Binds to the calling thread's run loop. Use Make().
  _QPX_Framework_Thread_Signal();
  static std::shared_ptr<_QPX_Framework_Thread_Signal> Make();

  // Wakes the owner's run loop; with a delegate, the delegate runs there once per burst of
  // signals. Does nothing once released.
  void Signal();
  // The delegate is called on the owner thread with the user data. An empty function removes it.
  void SetDelegate(std::function<void(void* userData)> delegate, void* userData);
  // Detaches from the run loop; must be called on the owner thread (assertion).
  void Release();
  bool IsReleased() const;
  std::thread::id Owner() const { return owner_; }

 private:
  mutable std::mutex mutex_;
  std::thread::id owner_;
  platform::RunLoop* runLoop_;  // null once released
  std::function<void(void*)> delegate_;
  void* userData_ = nullptr;
  std::atomic<bool> pending_{false};
};

class QPX_Framework_Thread : public platform::ValueObject,
                             public QPX_Framework_CommandReceiver,
                             public std::enable_shared_from_this<QPX_Framework_Thread> {
 public:
  QPX_Framework_Thread();
  ~QPX_Framework_Thread() override;

  // ---- Hooks, in the order the body calls them (overrides call the base first) ----

  // Base: on a worker thread makes the signal; on the adopted main thread answers YES.
  virtual bool QPX_Framework_Thread_Setup();
  virtual void QPX_Framework_Thread_PrepareRun();
  // Drains the queue: replies go to their completions, commands to
  // QPX_Framework_Thread_ExecuteCommandPackage. Stops before the next package once quit.
  virtual void QPX_Framework_Thread_Process();
  // Runs the run loop until quit, processing the queue after each wake-up.
  virtual void QPX_Framework_Thread_Run();
  // Clears the name, answers and drops the queue, releases the signal.
  virtual void QPX_Framework_Thread_Cleanup();
  // Dispatch of one command package; YES when handled. Base: the command table of this
  // object (which holds "Run Invocation" and "Notify").
  virtual bool QPX_Framework_Thread_ExecuteCommandPackage(const QPX_Framework_Package& package);
  // Optional: receives replies to asynchronous commands sent without a completion.
  // Answers NO when not implemented (the base), and the reply is dropped.
  virtual bool QPX_Framework_Thread_Reply(const Value& reply, const Value& command);
  // Storage notices (node, element name or "" for child-list notices, value or null).
  // The base does nothing.
  virtual void QPX_Framework_Storage_NotificationFor(const std::shared_ptr<QPX_Framework_Storage>& node,
                                                     const std::string& elementName, const Value& value);

  // ---- Life ----

  // Starts the system thread and waits for its set-up (30 s, see SetLaunchTimeout). YES when
  // set-up succeeded in time. A launch that times out tells the thread to quit, so a set-up
  // that succeeds later goes straight to clean-up.
  bool QPX_Framework_Thread_Launch();
  // Asks the thread to stop; any thread may call it.
  void QPX_Framework_Thread_Quit();
  bool IsQuitting() const { return quit_.load(std::memory_order_acquire); }
  bool IsRunning() const { return isRunning_.load(std::memory_order_acquire); }
  // Blocks until the launched system thread has ended (orderly shutdown, tests). Answers at
  // once for a thread that was never launched or when called on the thread itself.
  void WaitUntilFinished();

  // The time the launch waits for set-up (30 s); tests shorten it. Answers the old value.
  static double SetLaunchTimeout(double seconds);

  // ---- Queue ----

  // Appends the package and wakes the thread; YES when queued. Dropped (NO, no reply ever)
  // once the thread has quit or its queue was discarded.
  bool QueueCommand(const QPX_Framework_Package& package);
  QPX_Framework_Package DequeueCommand();
  // Answers every queued command with the nil reply and drops the queue for good.
  void DiscardQueue();

  // ---- Sending commands to this thread (any thread may call them) ----

  // Synchronous: waits for the reply; null for the nil reply or when this thread quit
  // without answering. Sending to the calling thread itself is an assertion.
  Value QPX_Framework_Thread_RunCommand(const Value& command);
  // Asynchronous: the completion runs later on the calling worker thread with the reply
  // (the caller must then be a worker thread: assertion). Without a completion the reply
  // goes to the caller's QPX_Framework_Thread_Reply.
  void QPX_Framework_Thread_RunCommand(const Value& command, const QPX_Framework_InvocationPtr& completion);
  void QPX_Framework_Thread_RunCommandWithoutReply(const Value& command);
  // Runs the invocation on this thread ("Run Invocation"), without reply.
  void QPX_Framework_Thread_Invoke(const QPX_Framework_InvocationPtr& invocation);
  // Runs the callable on this thread's system thread (through its run loop, not the command
  // queue). With waitUntilDone the caller waits; when the caller is this thread it runs at
  // once. Dropped when the thread's loop has gone (a waiting caller is then released).
  void PerformSelector(std::function<void()> function, bool waitUntilDone);

  // Answers a package (null: the nil reply). Callable from any thread, for any package.
  static void QPX_Framework_Thread_SendReply(const Value& reply, const QPX_Framework_Package& package);
  // The nil reply used when a queue is flushed or a command is not handled.
  static void _SendReplyForFlush(const QPX_Framework_Package& package);
  static const Value& QPX_Framework_Thread_PackageCommand(const QPX_Framework_Package& package);
  static std::shared_ptr<QPX_Framework_Thread> QPX_Framework_Thread_PackageSender(
      const QPX_Framework_Package& package);

  // ---- Registry and identity ----

  // Under the registry lock; a name already held by another thread is an assertion.
  void QPX_Framework_Thread_SetName(const std::optional<std::string>& name);
  // By name first, then by ID.
  static std::shared_ptr<QPX_Framework_Thread> QPX_Framework_Thread_Find(const std::string& nameOrID);
  static std::shared_ptr<QPX_Framework_Thread> QPX_Framework_Thread_FindID(const std::string& id);
  // The worker thread of the calling system thread, or null.
  static std::shared_ptr<QPX_Framework_Thread> currentThread();
  // The ID ("" before the body has given one).
  std::string QPX_Framework_Thread_ID() const;
  // The name, or the ID when unnamed.
  std::string QPX_Framework_Thread_Name() const;
  std::shared_ptr<_QPX_Framework_Thread_Signal> _QPX_Framework_Thread_MySignal() const;
  std::thread::id GetSystemThread() const;

  // Adopts the calling system thread under the ID (the thread must have no ID yet and the ID
  // must be free: assertions). The adopted thread has no signal; its queue is processed on
  // the adopting thread's run loop once its body has run set-up.
  void _QPX_Framework_Thread_Wrap(const std::string& id);
  // Undoes an adoption whose body will not run (start-up that stops early, tests): leaves
  // the registry and unlinks the system thread.
  void _QPX_Framework_Thread_Unwrap();
  // The body: ID and link, set-up, preparation, processing, run loop, clean-up,
  // unregistration. The launch passes its gate; the adopted main thread runs it with none.
  void _QPX_Framework_Thread_Run(const std::shared_ptr<platform::ConditionLock>& launchGate);

  // The class initialiser ("QPX_Framework_Thread"): answers YES.
  static bool QPX_Framework_Init(const std::string& className);

  std::string Description() const override;

 protected:
  // Handlers of the framework's own commands.
  Value HandleRunInvocation(const Value& command);
  Value HandleNotify(const Value& command);

 private:
  void HandleAsyncReply(const QPX_Framework_Package& package);
  void Link();
  void Unlink();
  void LeaveRegistry();
  void WakeForQueue();

  // Queue state; queueMutex_ also orders the quit test against appends.
  mutable std::mutex queueMutex_;
  std::deque<QPX_Framework_Package> queue_;
  bool queueDiscarded_ = false;

  std::atomic<bool> quit_{false};
  std::atomic<bool> isRunning_{false};

  // The run loop of the system thread while the body runs (or while adopted), and that
  // system thread; guarded by loopMutex_.
  mutable std::mutex loopMutex_;
  platform::RunLoop* runLoop_ = nullptr;
  std::thread::id system_;
  // Written and read only on the adopted system thread.
  bool adopted_ = false;

  // Made in set-up, released in clean-up (it stays, released, until the object goes);
  // guarded by queueMutex_.
  std::shared_ptr<_QPX_Framework_Thread_Signal> signal_;

  // Guarded by the registry lock.
  std::string id_;
  std::optional<std::string> name_;

  // The launched system thread, joined by WaitUntilFinished (the destructor lets it go).
  std::mutex joinMutex_;
  std::thread systemThread_;
  // From launch until the end of the body.
  std::atomic<bool> bodyActive_{false};
};

// Registers "QPX_Framework_Thread" in the class registry. Called by main before start-up.
void QPX_Framework_Thread_RegisterClasses();
