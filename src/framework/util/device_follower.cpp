#include "framework/util/device_follower.h"

#include "framework/core/log.h"
#include "platform/thread_context.h"

const char* const QPX_Framework_CurrentModemChanged_Key = "Current Modem Changed";
const char* const QPX_Framework_CurrentModemPath_Key = "Current Modem";

namespace {
// The thread dictionary key of the current modem (a Value object holding the node); the
// device layer sets it on its module threads, the project on the main thread.
constexpr const char* kCurrentModemKey = "QPX Current Modem";
}  // namespace

QPX_Framework_StoragePtr QPX_Framework_CurrentModemOfThread() {
  return platform::CurrentThreadContext().dictionary.get(kCurrentModemKey).objectAs<QPX_Framework_Storage>();
}

void QPX_Framework_SetCurrentModemOfThread(const QPX_Framework_StoragePtr& node) {
  Value& dictionary = platform::CurrentThreadContext().dictionary;
  if (node)
    dictionary.set(kCurrentModemKey, Value::Object(node));
  else
    dictionary.remove(kCurrentModemKey);
}

QPX_Framework_StoragePtr QPX_Framework_ModemsNode() {
  if (!QPX_Framework_Root_Storage) return nullptr;
  return QPX_Framework_Root_Storage->GetNode("/Modems", true, Value(), false);
}

// ---- Follower ----

void QPX_Framework_DeviceChangeClass::init() {
  std::shared_ptr<QPX_Framework_DeviceChangeClass> self = shared_from_this();
  if (QPX_Framework_StoragePtr modems = QPX_Framework_ModemsNode()) {
    DeviceChangeSubscription_ = QPX_Framework_DivertSubscription_Selector<QPX_Framework_DeviceChangeClass>(
        modems->Subscribe(QPX_Framework_CurrentModemChanged_Key), self,
        &QPX_Framework_DeviceChangeClass::MyNotification);
  } else {
    QPX_Log(QPX_LOG_ERROR, "No storage: cannot follow the current modem");
  }
  GlobalSubscriptions(GlobalSubscriptions_);
  QPX_Framework_DivertSubscriptions<QPX_Framework_DeviceChangeClass>(GlobalSubscriptions_, self);
}

QPX_Framework_DeviceChangeClass::~QPX_Framework_DeviceChangeClass() {
  Subscriptions_.clear();
  GlobalSubscriptions_.clear();
  DeviceChangeSubscription_.reset();
}

void QPX_Framework_DeviceChangeClass::DeviceChanged() {
  Subscriptions_.clear();
  if (QPX_Framework_CurrentModemOfThread()) {
    DeviceSubscriptions(Subscriptions_);
    QPX_Framework_DivertSubscriptions<QPX_Framework_DeviceChangeClass>(Subscriptions_, shared_from_this());
  } else {
    DeviceRemoved();
  }
}

void QPX_Framework_DeviceChangeClass::MyNotification(const QPX_Framework_StoragePtr& node,
                                                     const std::string& element, const Value& /*value*/) {
  // The value is not looked at: every write of the element notifies, also of the same path.
  if (!node || node != QPX_Framework_ModemsNode()) return;
  if (element != QPX_Framework_CurrentModemChanged_Key) return;
  DeviceChanged();
}

// ---- System notices on the creating thread ----

std::shared_ptr<QPX_Framework_NSNotification> QPX_Framework_NSNotification::CreateOberserver(
    const QPX_Framework_InvocationPtr& invocation, const std::string& name, const void* sender) {
  std::shared_ptr<QPX_Framework_NSNotification> observer(new QPX_Framework_NSNotification());
  observer->Invocation_ = invocation;
  observer->Thread_ = QPX_Framework_Thread::currentThread();
  std::weak_ptr<QPX_Framework_NSNotification> weak = observer;
  observer->observation_ = platform::NotificationCenter::Default().AddObserver(
      name, sender, [weak](const platform::Notification& notification) {
        if (std::shared_ptr<QPX_Framework_NSNotification> self = weak.lock())
          self->Notification(notification);
      });
  return observer;
}

QPX_Framework_NSNotification::~QPX_Framework_NSNotification() {
  observation_.reset();
  Invocation_.reset();
}

void QPX_Framework_NSNotification::Notification(const platform::Notification& notification) {
  Value notice{{"Name", Value(notification.name)}};
  if (!notification.userInfo.isNull()) notice.set("UserInfo", notification.userInfo);
  std::shared_ptr<QPX_Framework_Thread> thread = Thread_.lock();
  if (!thread) {
    QPX_Log(QPX_LOG_TRACE, "Notice %s dropped: its thread is gone", notification.name.c_str());
    return;
  }
  // The observer may be released before the notice arrives on its thread.
  std::weak_ptr<QPX_Framework_NSNotification> weak = weak_from_this();
  thread->PerformSelector(
      [weak, notice] {
        if (std::shared_ptr<QPX_Framework_NSNotification> self = weak.lock()) self->Invoke(notice);
      },
      false);
}

void QPX_Framework_NSNotification::Invoke(const Value& notification) {
  if (!Invocation_) return;
  QPX_Framework_InvocationPtr invocation = Invocation_;
  invocation->Invoke(QPX_Framework_Invocation::Arguments(&notification, 1));
}

// ---- One invocation on a thread of its own ----

bool QPX_Framework_Thread_Invocation::Launch(const QPX_Framework_InvocationPtr& invocation) {
  auto thread = std::make_shared<QPX_Framework_Thread_Invocation>(invocation);
  return thread->QPX_Framework_Thread_Launch();
}

void QPX_Framework_Thread_Invocation::QPX_Framework_Thread_Run() {
  QPX_Framework_InvocationPtr invocation = std::move(Invocation_);
  Invocation_.reset();
  if (invocation) invocation->Invoke();
}
