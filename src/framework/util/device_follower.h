#pragma once
// Following the current modem. Controllers that show or act on the current modem's state
// drop their subscriptions to the old modem's node and subscribe to the new one whenever
// the user's current modem changes. This is the machinery they share:
//
// - diverting: pointing one subscription, or a whole set, at a chosen method of a chosen
//   object instead of the subscribing thread's own notification hook (delivery stays on the
//   subscribing thread, and stops once the target object is gone);
// - QPX_Framework_DeviceChangeClass, a base class that keeps one set of global
//   subscriptions for its whole life and one set of per-device subscriptions that it
//   rebuilds on every change of the current modem;
// - QPX_Framework_NSNotification, an observer of a named system notice that delivers it on
//   the thread that created the observer;
// - QPX_Framework_Thread_Invocation, a worker thread that runs one invocation and ends.

#include <memory>
#include <string>
#include <vector>

#include "framework/core/command.h"
#include "framework/core/storage.h"
#include "framework/core/subscription.h"
#include "framework/core/thread.h"
#include "platform/notifications.h"
#include "platform/value.h"

// A set of subscriptions owned together: letting go of the set ends them.
using QPX_Framework_SubscriptionSet = std::vector<QPX_Framework_SubscriptionPtr>;

// "Current Modem Changed" and "Current Modem": elements of "/Modems" written by the project.
extern const char* const QPX_Framework_CurrentModemChanged_Key;
extern const char* const QPX_Framework_CurrentModemPath_Key;

// A storage notice handler: (node, element name or "" for child-list notices, value or null).
template <class T>
using QPX_Framework_NoticeMethod = void (T::*)(const QPX_Framework_StoragePtr& node,
                                               const std::string& element, const Value& value);

// The invocation that calls `method` of `target` with a notice's three arguments; it does
// nothing once the target is gone.
template <class T>
QPX_Framework_InvocationPtr QPX_Framework_NoticeInvocation(const std::shared_ptr<T>& target,
                                                           QPX_Framework_NoticeMethod<T> method) {
  std::weak_ptr<T> weak = target;
  return QPX_Framework_Invocation::Make(
      target, [weak, method](QPX_Framework_Invocation::Arguments args) -> Value {
        std::shared_ptr<T> self = weak.lock();
        if (!self) return Value();
        const QPX_Framework_StoragePtr node =
            args.size() > 0 ? args[0].objectAs<QPX_Framework_Storage>() : nullptr;
        const std::string element = args.size() > 1 && args[1].isString() ? args[1].string() : std::string();
        const Value value = args.size() > 2 ? args[2] : Value();
        ((*self).*method)(node, element, value);
        return Value();
      });
}

// Hands one invocation for target and method to every member of a non-empty set; an empty
// set is left alone (no invocation is made).
template <class T>
void QPX_Framework_DivertSubscriptions_Selector(const QPX_Framework_SubscriptionSet& subscriptions,
                                                const std::shared_ptr<T>& target,
                                                QPX_Framework_NoticeMethod<T> method) {
  if (subscriptions.empty() || !target) return;
  QPX_Framework_InvocationPtr invocation = QPX_Framework_NoticeInvocation(target, method);
  for (const QPX_Framework_SubscriptionPtr& subscription : subscriptions)
    if (subscription) subscription->SetInvocation(invocation);
}

// The same with the target's QPX_Framework_Storage_NotificationFor.
template <class T>
void QPX_Framework_DivertSubscriptions(const QPX_Framework_SubscriptionSet& subscriptions,
                                       const std::shared_ptr<T>& target) {
  QPX_Framework_DivertSubscriptions_Selector<T>(subscriptions, target,
                                                &T::QPX_Framework_Storage_NotificationFor);
}

// One subscription; answers it.
template <class T>
QPX_Framework_SubscriptionPtr QPX_Framework_DivertSubscription_Selector(
    const QPX_Framework_SubscriptionPtr& subscription, const std::shared_ptr<T>& target,
    QPX_Framework_NoticeMethod<T> method) {
  if (subscription && target) subscription->SetInvocation(QPX_Framework_NoticeInvocation(target, method));
  return subscription;
}

template <class T>
QPX_Framework_SubscriptionPtr QPX_Framework_DivertSubscription(
    const QPX_Framework_SubscriptionPtr& subscription, const std::shared_ptr<T>& target) {
  return QPX_Framework_DivertSubscription_Selector<T>(subscription, target,
                                                      &T::QPX_Framework_Storage_NotificationFor);
}

// The current modem of the calling thread (its thread dictionary's "QPX Current Modem"), or
// null.
QPX_Framework_StoragePtr QPX_Framework_CurrentModemOfThread();
// Sets (null: clears) the calling thread's current modem.
void QPX_Framework_SetCurrentModemOfThread(const QPX_Framework_StoragePtr& node);
// The "/Modems" node, created when missing.
QPX_Framework_StoragePtr QPX_Framework_ModemsNode();

// Follows the current modem. Lives on the worker thread that creates it (in practice the
// main thread); all its hooks run there, one at a time. Create it with Create<T>(), which
// subscribes once the object is complete.
class QPX_Framework_DeviceChangeClass : public std::enable_shared_from_this<QPX_Framework_DeviceChangeClass> {
 public:
  template <class T, class... Args>
  static std::shared_ptr<T> Create(Args&&... args) {
    std::shared_ptr<T> object = std::make_shared<T>(std::forward<Args>(args)...);
    object->init();
    return object;
  }

  virtual ~QPX_Framework_DeviceChangeClass();

  // Rebuilds the per-device subscriptions. An override that does not call the base replaces
  // the rebuilding (DeviceSubscriptions and DeviceRemoved are then not called).
  virtual void DeviceChanged();
  // The current modem has gone.
  virtual void DeviceRemoved() {}
  // Adds the subscriptions to the current modem's node to the set.
  virtual void DeviceSubscriptions(QPX_Framework_SubscriptionSet& /*subscriptions*/) {}
  // Adds the subscriptions that do not depend on the modem (preferences, global nodes).
  virtual void GlobalSubscriptions(QPX_Framework_SubscriptionSet& /*subscriptions*/) {}
  // The notices of both sets.
  virtual void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr& /*node*/,
                                                     const std::string& /*element*/, const Value& /*value*/) {
  }

  const QPX_Framework_SubscriptionSet& Subscriptions() const { return Subscriptions_; }
  const QPX_Framework_SubscriptionSet& GlobalSubscriptionSet() const { return GlobalSubscriptions_; }

 protected:
  QPX_Framework_DeviceChangeClass() = default;
  // Subscribes to "Current Modem Changed" and builds the global set. Called by Create.
  void init();

 private:
  void MyNotification(const QPX_Framework_StoragePtr& node, const std::string& element, const Value& value);

  QPX_Framework_SubscriptionPtr DeviceChangeSubscription_;
  QPX_Framework_SubscriptionSet GlobalSubscriptions_;
  QPX_Framework_SubscriptionSet Subscriptions_;
};

// An observer of a named notice of the default notification centre that runs its
// invocation on the worker thread that created it, with the notice ({"Name", "UserInfo"})
// as the one argument. The poster does not wait. Releasing the observer ends the
// observation.
class QPX_Framework_NSNotification : public std::enable_shared_from_this<QPX_Framework_NSNotification> {
 public:
  static std::shared_ptr<QPX_Framework_NSNotification> CreateOberserver(
      const QPX_Framework_InvocationPtr& invocation, const std::string& name, const void* sender);
  ~QPX_Framework_NSNotification();

 private:
  QPX_Framework_NSNotification() = default;
  void Notification(const platform::Notification& notification);
  void Invoke(const Value& notification);

  QPX_Framework_InvocationPtr Invocation_;
  std::weak_ptr<QPX_Framework_Thread> Thread_;
  std::shared_ptr<platform::NotificationCenter::Observation> observation_;
};

// A worker thread that runs one invocation and ends.
class QPX_Framework_Thread_Invocation : public QPX_Framework_Thread {
 public:
  explicit QPX_Framework_Thread_Invocation(QPX_Framework_InvocationPtr invocation)
      : Invocation_(std::move(invocation)) {}
  // Starts a thread for the invocation; answers what the launch answers.
  static bool Launch(const QPX_Framework_InvocationPtr& invocation);
  void QPX_Framework_Thread_Run() override;

 private:
  QPX_Framework_InvocationPtr Invocation_;
};
