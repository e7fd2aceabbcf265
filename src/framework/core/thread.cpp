#include "framework/core/thread.h"

#include <unordered_map>
#include <utility>

#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/thread_context.h"

const char* const QPX_Framework_Thread_MainID = "Main";
const char* const QPX_Framework_Thread_DictionaryKey = "QPX_Framework_Thread";
const char* const QPX_Framework_Thread_IDKey = "QPX Thread ID";
const char* const QPX_Framework_Command_Notify = "Notify";
const char* const QPX_Framework_Notify_SubscriptionKey = "Subscription";
const char* const QPX_Framework_Notify_StorageKey = "Storage";
const char* const QPX_Framework_Notify_ElementKey = "Element";
const char* const QPX_Framework_Notify_ValueKey = "Value";

namespace {

// The process-wide registry: threads by ID and by name, both holding references, and the
// counter the IDs come from. Never destroyed, so threads still ending while the process
// exits find it intact.
struct Registry {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<QPX_Framework_Thread>> threads;
  std::unordered_map<std::string, std::shared_ptr<QPX_Framework_Thread>> threadsByName;
  unsigned long idCount = 0;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::atomic<double> launchTimeout{30.0};

// Launch gate conditions: the launcher waits for kSetupDone; a launcher that gave up leaves
// kAbandoned, which tells the body not to run.
constexpr int kGateWaiting = 0;
constexpr int kGateSetupDone = 1;
constexpr int kGateAbandoned = 2;

}  // namespace

// ---- Wake-up signal ----

_QPX_Framework_Thread_Signal::_QPX_Framework_Thread_Signal()
    : owner_(std::this_thread::get_id()), runLoop_(&platform::RunLoop::Current()) {}

std::shared_ptr<_QPX_Framework_Thread_Signal> _QPX_Framework_Thread_Signal::Make() {
  return std::make_shared<_QPX_Framework_Thread_Signal>();
}

void _QPX_Framework_Thread_Signal::Signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (runLoop_ == nullptr) return;
  if (!delegate_) {
    runLoop_->Wake();
    return;
  }
  // Like a run-loop source: signals that come before the delegate ran fire it once.
  if (pending_.exchange(true)) return;
  runLoop_->Post([weak = weak_from_this()] {
    std::shared_ptr<_QPX_Framework_Thread_Signal> self = weak.lock();
    if (!self) return;
    self->pending_.store(false);
    std::function<void(void*)> delegate;
    void* userData = nullptr;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->runLoop_ == nullptr) return;
      delegate = self->delegate_;
      userData = self->userData_;
    }
    if (delegate) delegate(userData);
  });
}

void _QPX_Framework_Thread_Signal::SetDelegate(std::function<void(void* userData)> delegate, void* userData) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
  userData_ = userData;
}

void _QPX_Framework_Thread_Signal::Release() {
  QPX_Assert(std::this_thread::get_id() == owner_);
  std::function<void(void*)> doomed;
  std::lock_guard<std::mutex> lock(mutex_);
  runLoop_ = nullptr;
  doomed = std::move(delegate_);
  userData_ = nullptr;
}

bool _QPX_Framework_Thread_Signal::IsReleased() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return runLoop_ == nullptr;
}

// ---- Construction ----

QPX_Framework_Thread::QPX_Framework_Thread() {
  on(QPX_Framework_Command_Invocation, &QPX_Framework_Thread::HandleRunInvocation);
  on(QPX_Framework_Command_Notify, &QPX_Framework_Thread::HandleNotify);
}

QPX_Framework_Thread::~QPX_Framework_Thread() {
  // Senders still waiting on a thread that never ran get their nil reply.
  DiscardQueue();
  // The body has ended (it holds a reference while it runs), but the system thread may still
  // be unwinding its per-thread state, possibly on this very thread. Waiting for it here
  // could wait on locks the releasing caller holds, so it is let go; WaitUntilFinished is
  // the way to wait for it.
  std::lock_guard<std::mutex> lock(joinMutex_);
  if (systemThread_.joinable()) systemThread_.detach();
}

bool QPX_Framework_Thread::QPX_Framework_Init(const std::string& /*className*/) {
  // The registry is made on first use; nothing is left to prepare, for this class or any
  // subclass that inherits the initialiser.
  TheRegistry();
  return true;
}

void QPX_Framework_Thread_RegisterClasses() {
  QPX_Framework_ClassEntry entry;
  entry.name = "QPX_Framework_Thread";
  entry.init = &QPX_Framework_Thread::QPX_Framework_Init;
  entry.create = [] { return std::make_shared<QPX_Framework_Thread>(); };
  QPX_Framework_ClassRegistry::Register(std::move(entry));
}

std::string QPX_Framework_Thread::Description() const {
  return "<QPX_Framework_Thread " + QPX_Framework_Thread_Name() + ">";
}

// ---- Hooks ----

bool QPX_Framework_Thread::QPX_Framework_Thread_Setup() {
  QPX_Log(QPX_LOG_CALLS, "Setup %s", Description().c_str());
  if (adopted_) return true;
  auto signal = _QPX_Framework_Thread_Signal::Make();
  std::lock_guard<std::mutex> lock(queueMutex_);
  signal_ = std::move(signal);
  return signal_ != nullptr;
}

void QPX_Framework_Thread::QPX_Framework_Thread_PrepareRun() {}

void QPX_Framework_Thread::QPX_Framework_Thread_Process() {
  while (!quit_.load(std::memory_order_acquire)) {
    QPX_Framework_Package package = DequeueCommand();
    if (!package) break;
    if (package->HasReply()) {
      HandleAsyncReply(package);
    } else if (!QPX_Framework_Thread_ExecuteCommandPackage(package)) {
      QPX_Log(QPX_LOG_ERROR, "Command wasn't processed: %s", package->Description().c_str());
      // Answered all the same, so a synchronous sender does not wait until this thread quits.
      _SendReplyForFlush(package);
    }
  }
}

void QPX_Framework_Thread::QPX_Framework_Thread_Run() {
  platform::RunLoop& loop = platform::RunLoop::Current();
  while (!quit_.load(std::memory_order_acquire)) {
    if (loop.RunOnce(-1) == platform::RunLoop::RunResult::Finished) break;
    QPX_Framework_Thread_Process();
  }
}

void QPX_Framework_Thread::QPX_Framework_Thread_Cleanup() {
  QPX_Log(QPX_LOG_CALLS, "Cleanup %s", Description().c_str());
  QPX_Framework_Thread_SetName(std::nullopt);
  DiscardQueue();
  std::shared_ptr<_QPX_Framework_Thread_Signal> signal;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    signal = signal_;
  }
  if (signal) signal->Release();
}

bool QPX_Framework_Thread::QPX_Framework_Thread_ExecuteCommandPackage(const QPX_Framework_Package& package) {
  return QPX_Framework_ExecutePackageOnObject(package, *this);
}

bool QPX_Framework_Thread::QPX_Framework_Thread_Reply(const Value& /*reply*/, const Value& /*command*/) {
  return false;
}

void QPX_Framework_Thread::QPX_Framework_Storage_NotificationFor(
    const std::shared_ptr<QPX_Framework_Storage>& /*node*/, const std::string& /*elementName*/,
    const Value& /*value*/) {}

void QPX_Framework_Thread::HandleAsyncReply(const QPX_Framework_Package& package) {
  QPX_Assert(package->HasReply());
  switch (package->replyMethod()) {
    case QPX_Framework_CommandPackage::ReplyMethod::Invocation:
      if (const auto& completion = package->Completion()) {
        const Value& reply = package->Reply();
        completion->Invoke({&reply, 1});
      }
      break;
    case QPX_Framework_CommandPackage::ReplyMethod::Hook:
      QPX_Framework_Thread_Reply(package->Reply(), package->Command());
      break;
    default:
      break;
  }
}

Value QPX_Framework_Thread::HandleNotify(const Value& command) {
  std::shared_ptr<platform::ValueObject> subscription =
      command.get(QPX_Framework_Notify_SubscriptionKey).object();
  auto* delivery = dynamic_cast<QPX_Framework_NoticeDelivery*>(subscription.get());
  if (delivery == nullptr) {
    QPX_Log(QPX_LOG_ERROR, "Unable to deliver notification");
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__, command);
  }
  delivery->QPX_Framework_DeliverNotice(*this, command);
  return Value();
}

// ---- Launch and body ----

double QPX_Framework_Thread::SetLaunchTimeout(double seconds) { return launchTimeout.exchange(seconds); }

bool QPX_Framework_Thread::QPX_Framework_Thread_Launch() {
  std::unique_lock<std::mutex> joinLock(joinMutex_);
  // Two bodies at once are an error, found before the running one is disturbed.
  QPX_Assert(!bodyActive_.exchange(true));
  quit_.store(true, std::memory_order_release);
  auto gate = std::make_shared<platform::ConditionLock>(kGateWaiting);
  const double deadline = platform::Clock::System()->Now() + launchTimeout.load();
  {
    std::unique_lock<std::mutex> lock = std::move(joinLock);
    // A body that has ended (a relaunch) is collected first.
    if (systemThread_.joinable()) systemThread_.join();
    systemThread_ = std::thread([self = shared_from_this(), gate] { self->_QPX_Framework_Thread_Run(gate); });
  }
  if (!gate->lockWhenCondition(kGateSetupDone, deadline)) {
    gate->lock();
    if (gate->condition() != kGateSetupDone) {
      // Too late: the body must not start running after we reported failure. It sees the
      // abandoned gate, keeps Quit set and goes from a late set-up straight to clean-up.
      gate->unlockWithCondition(kGateAbandoned);
      QPX_Log(QPX_LOG_ERROR, "Set-up of %s did not finish in time", Description().c_str());
      return false;
    }
  }
  // What set-up answered, not Quit: the thread may already have been told to quit again.
  const bool launched = isRunning_.load(std::memory_order_acquire);
  gate->unlockWithCondition(kGateWaiting);
  return launched;
}

void QPX_Framework_Thread::_QPX_Framework_Thread_Run(
    const std::shared_ptr<platform::ConditionLock>& launchGate) {
  std::shared_ptr<QPX_Framework_Thread> self = shared_from_this();  // alive until the body ends
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (id_.empty()) {
      for (;;) {
        std::string candidate = std::to_string(registry.idCount++);
        if (registry.threads.count(candidate) == 0) {
          id_ = std::move(candidate);
          break;
        }
      }
    }
    registry.threads[id_] = self;
  }
  Link();

  const bool setUp = QPX_Framework_Thread_Setup();
  isRunning_.store(setUp, std::memory_order_release);
  if (launchGate) {
    launchGate->lock();
    if (setUp && launchGate->condition() != kGateAbandoned) quit_.store(false, std::memory_order_release);
    launchGate->unlockWithCondition(kGateSetupDone);
  } else if (setUp) {
    quit_.store(false, std::memory_order_release);
  }

  if (setUp) {
    if (!quit_.load(std::memory_order_acquire)) {
      QPX_Framework_Thread_PrepareRun();
      QPX_Log(QPX_LOG_TRACE, "Executing main thread body");
      QPX_Framework_Thread_Process();
      QPX_Framework_Thread_Run();
    }
    QPX_Framework_Thread_Cleanup();
  } else {
    // No clean-up hook after a failed set-up, but nothing may be left behind: a name taken
    // during set-up would block the name for good, and senders must not wait for ever.
    QPX_Framework_Thread_SetName(std::nullopt);
    DiscardQueue();
  }

  LeaveRegistry();
  Unlink();
  bodyActive_.store(false, std::memory_order_release);
}

void QPX_Framework_Thread::WaitUntilFinished() {
  std::lock_guard<std::mutex> lock(joinMutex_);
  if (!systemThread_.joinable() || systemThread_.get_id() == std::this_thread::get_id()) return;
  systemThread_.join();
}

void QPX_Framework_Thread::QPX_Framework_Thread_Quit() {
  QPX_Log(QPX_LOG_CALLS, "Quit %s", Description().c_str());
  quit_.store(true, std::memory_order_release);
  std::shared_ptr<_QPX_Framework_Thread_Signal> signal;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    signal = signal_;
  }
  if (signal) {
    signal->Signal();
    return;
  }
  // The adopted main thread has no signal: wake its loop so its run hook sees the request.
  std::lock_guard<std::mutex> lock(loopMutex_);
  if (runLoop_ != nullptr) runLoop_->Wake();
}

// ---- System link and registry ----

void QPX_Framework_Thread::Link() {
  platform::ThreadContext& context = platform::CurrentThreadContext();
  std::shared_ptr<QPX_Framework_Thread> self = shared_from_this();
  context.dictionary.set(QPX_Framework_Thread_DictionaryKey, Value::Object(self));
  context.dictionary.set(QPX_Framework_Thread_IDKey, Value(QPX_Framework_Thread_ID()));
  context.worker = self;
  std::lock_guard<std::mutex> lock(loopMutex_);
  runLoop_ = &platform::RunLoop::Current();
  system_ = std::this_thread::get_id();
}

void QPX_Framework_Thread::Unlink() {
  std::shared_ptr<_QPX_Framework_Thread_Signal> signal;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    signal = signal_;
  }
  // Set-up may have made the signal and failed afterwards; it must go before the loop does.
  if (signal && !signal->IsReleased()) signal->Release();
  {
    std::lock_guard<std::mutex> lock(loopMutex_);
    runLoop_ = nullptr;
  }
  platform::ThreadContext& context = platform::CurrentThreadContext();
  Value linked = context.dictionary.get(QPX_Framework_Thread_DictionaryKey);
  if (linked.object().get() == this) {
    context.dictionary.remove(QPX_Framework_Thread_DictionaryKey);
    context.dictionary.remove(QPX_Framework_Thread_IDKey);
    context.worker.reset();
  }
}

void QPX_Framework_Thread::LeaveRegistry() {
  std::shared_ptr<QPX_Framework_Thread> released;  // let go of outside the registry lock
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.threads.find(id_);
  if (it != registry.threads.end() && it->second.get() == this) {
    released = std::move(it->second);
    registry.threads.erase(it);
  }
}

void QPX_Framework_Thread::_QPX_Framework_Thread_Wrap(const std::string& id) {
  std::shared_ptr<QPX_Framework_Thread> self = shared_from_this();
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    QPX_Assert(id_.empty());
    QPX_Assert(registry.threads.count(id) == 0);
    id_ = id;
    registry.threads[id_] = self;
  }
  adopted_ = true;
  Link();
}

void QPX_Framework_Thread::_QPX_Framework_Thread_Unwrap() {
  QPX_Assert(adopted_ && GetSystemThread() == std::this_thread::get_id());
  std::shared_ptr<QPX_Framework_Thread> self = shared_from_this();
  QPX_Framework_Thread_SetName(std::nullopt);
  DiscardQueue();
  LeaveRegistry();
  Unlink();
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    id_.clear();
  }
  adopted_ = false;
  isRunning_.store(false, std::memory_order_release);
}

void QPX_Framework_Thread::QPX_Framework_Thread_SetName(const std::optional<std::string>& name) {
  QPX_Log(QPX_LOG_TRACE, "%s", name ? name->c_str() : "(no name)");
  std::shared_ptr<QPX_Framework_Thread> released;
  std::shared_ptr<QPX_Framework_Thread> self = name ? shared_from_this() : nullptr;
  Registry& registry = TheRegistry();
  std::unique_lock<std::mutex> lock(registry.mutex);
  if (name) {
    auto taken = registry.threadsByName.find(*name);
    if (taken != registry.threadsByName.end() && taken->second.get() != this) {
      // Reported without the registry lock: the assertion routine logs, and may look up threads.
      lock.unlock();
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                  Value("duplicate thread name " + *name));
    }
  }
  if (name_) {
    auto it = registry.threadsByName.find(*name_);
    if (it != registry.threadsByName.end() && it->second.get() == this) {
      released = std::move(it->second);
      registry.threadsByName.erase(it);
    }
  }
  name_ = name;
  if (name) registry.threadsByName[*name] = std::move(self);
}

std::shared_ptr<QPX_Framework_Thread> QPX_Framework_Thread::QPX_Framework_Thread_Find(
    const std::string& nameOrID) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (auto it = registry.threadsByName.find(nameOrID); it != registry.threadsByName.end()) return it->second;
  if (auto it = registry.threads.find(nameOrID); it != registry.threads.end()) return it->second;
  return nullptr;
}

std::shared_ptr<QPX_Framework_Thread> QPX_Framework_Thread::QPX_Framework_Thread_FindID(
    const std::string& id) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.threads.find(id);
  return it == registry.threads.end() ? nullptr : it->second;
}

std::shared_ptr<QPX_Framework_Thread> QPX_Framework_Thread::currentThread() {
  const platform::ThreadContext& context = platform::CurrentThreadContext();
  const auto& dictionary = context.dictionary.dictionary();
  auto it = dictionary.find(QPX_Framework_Thread_DictionaryKey);
  if (it == dictionary.end()) return nullptr;
  return std::dynamic_pointer_cast<QPX_Framework_Thread>(it->second.object());
}

std::string QPX_Framework_Thread::QPX_Framework_Thread_ID() const {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return id_;
}

std::string QPX_Framework_Thread::QPX_Framework_Thread_Name() const {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return name_ ? *name_ : id_;
}

std::shared_ptr<_QPX_Framework_Thread_Signal> QPX_Framework_Thread::_QPX_Framework_Thread_MySignal() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (signal_ && signal_->IsReleased()) return nullptr;
  return signal_;
}

std::thread::id QPX_Framework_Thread::GetSystemThread() const {
  std::lock_guard<std::mutex> lock(loopMutex_);
  return system_;
}

// ---- Queue ----

bool QPX_Framework_Thread::QueueCommand(const QPX_Framework_Package& package) {
  if (!package) return false;
  std::shared_ptr<_QPX_Framework_Thread_Signal> signal;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (quit_.load(std::memory_order_acquire) || queueDiscarded_) return false;
    queue_.push_back(package);
    signal = signal_;
  }
  if (signal)
    signal->Signal();
  else
    WakeForQueue();
  return true;
}

void QPX_Framework_Thread::WakeForQueue() {
  // A thread without a signal is the adopted main thread. Before its body has run set-up,
  // packages wait for the body's first processing step.
  if (!isRunning_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(loopMutex_);
  if (runLoop_ == nullptr) return;
  runLoop_->Post([weak = weak_from_this()] {
    if (std::shared_ptr<QPX_Framework_Thread> thread = weak.lock()) thread->QPX_Framework_Thread_Process();
  });
}

QPX_Framework_Package QPX_Framework_Thread::DequeueCommand() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (queue_.empty()) return nullptr;
  QPX_Framework_Package package = std::move(queue_.front());
  queue_.pop_front();
  return package;
}

void QPX_Framework_Thread::DiscardQueue() {
  for (;;) {
    std::deque<QPX_Framework_Package> taken;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (queueDiscarded_) return;
      if (queue_.empty()) {
        queueDiscarded_ = true;
        return;
      }
      taken.swap(queue_);
    }
    // Replies waiting here are dropped; commands get the nil reply.
    for (const QPX_Framework_Package& package : taken) {
      if (!package->HasReply()) _SendReplyForFlush(package);
    }
  }
}

// ---- Perform on this thread ----

namespace {
// Releases a waiting performer when the posted callable is gone, whether it ran or the
// target's loop dropped it.
struct PerformWaiter {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
};
struct PerformGuard {
  std::shared_ptr<PerformWaiter> waiter;
  ~PerformGuard() {
    if (!waiter) return;
    {
      std::lock_guard<std::mutex> lock(waiter->mutex);
      waiter->finished = true;
    }
    waiter->done.notify_all();
  }
};
}  // namespace

void QPX_Framework_Thread::PerformSelector(std::function<void()> function, bool waitUntilDone) {
  if (!function) return;
  if (waitUntilDone && GetSystemThread() == std::this_thread::get_id()) {
    function();
    return;
  }
  std::shared_ptr<PerformWaiter> waiter = waitUntilDone ? std::make_shared<PerformWaiter>() : nullptr;
  {
    auto guard = std::make_shared<PerformGuard>();
    guard->waiter = waiter;
    std::lock_guard<std::mutex> lock(loopMutex_);
    if (runLoop_ == nullptr) return;
    runLoop_->Post([function = std::move(function), guard = std::move(guard)] { function(); });
  }
  if (!waiter) return;
  std::unique_lock<std::mutex> lock(waiter->mutex);
  waiter->done.wait(lock, [&] { return waiter->finished; });
}
