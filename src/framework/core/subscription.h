#pragma once
// Storage subscriptions: how a worker thread learns of changes in the storage tree.
//
//   auto sub = node->Subscribe("QPX CSQ");   // on a worker thread; keep the handle
//   ...                                     // notices arrive on this thread as "Notify" commands,
//                                           // handled by QPX_Framework_Storage_NotificationFor
//   sub.reset();                            // ends the subscription
//
// A new subscription first receives the current state (the element's value, null when
// absent; every element present; or all children as "Added Nodes"), then one notice per
// change, in the order the changes were made, through the subscriber's first-in-first-out
// command queue. Notices never run subscriber code on the writer's thread.
//
// The handle is the subscription itself, shared: the subscriber holds one reference and
// every notice still queued holds one. The node's table only watches it (weakly), so once
// the subscriber has let go and the queued notices are processed, the subscription ends and
// leaves the table; until then changes are still announced and delivered. Delivery to a
// diverted target (SetInvocation) is skipped once that target object is gone; the
// subscription holds its thread weakly too, so nothing is queued to a thread that is gone.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/core/command.h"
#include "framework/core/storage.h"
#include "framework/core/thread.h"
#include "platform/value.h"

// The three subscription tables of one node, guarded by the storage mutex. An entry watches
// its subscription without owning it; the subscription removes its entry when it ends.
struct QPX_Framework_Storage_SubscriptionTables {
  struct Entry {
    QPX_Framework_Storage_Subscription* subscription;
    std::weak_ptr<QPX_Framework_Storage_Subscription> weak;
  };
  using Set = std::vector<Entry>;
  // Child-list subscriptions of the node.
  Set node;
  // Element name ("" = all elements) → subscriptions to that element of the node.
  std::map<std::string, Set, std::less<>> element;
  // Element name ("" = all elements) → subscriptions to that element of every child.
  std::map<std::string, Set, std::less<>> children;
};

class QPX_Framework_Storage_Subscription final
    : public platform::ValueObject,
      public _QPX_Framework_Storage_Access_Protocol,
      public QPX_Framework_NoticeDelivery,
      public std::enable_shared_from_this<QPX_Framework_Storage_Subscription> {
 public:
  enum class Kind { ChildList, Element, Children };

  struct PrivateTag {
    explicit PrivateTag() = default;
  };
  // Made by QPX_Framework_Storage::Subscribe.
  QPX_Framework_Storage_Subscription(PrivateTag, QPX_Framework_StoragePtr storage,
                                     std::weak_ptr<QPX_Framework_Thread> thread,
                                     std::optional<std::string> elementName, bool forChildren);
  ~QPX_Framework_Storage_Subscription() override;
  QPX_Framework_Storage_Subscription(const QPX_Framework_Storage_Subscription&) = delete;
  QPX_Framework_Storage_Subscription& operator=(const QPX_Framework_Storage_Subscription&) = delete;

  // Notices are then delivered by invoking it with (node, element name or null, value or
  // null) instead of the thread's QPX_Framework_Storage_NotificationFor; null restores that.
  // Answers this subscription.
  QPX_Framework_SubscriptionPtr SetInvocation(QPX_Framework_InvocationPtr invocation);
  QPX_Framework_InvocationPtr Invocation() const;

  const QPX_Framework_StoragePtr& Storage() const { return storage_; }
  std::shared_ptr<QPX_Framework_Thread> Thread() const { return thread_.lock(); }
  // "" for all elements; null for a child-list subscription.
  const std::optional<std::string>& ElementName() const { return elementName_; }
  bool ForChildren() const { return kind_ == Kind::Children; }
  Kind kind() const { return kind_; }

  // Offered every command by the receiving worker thread: true when it was a "Notify"
  // (delivered on the calling worker thread), false otherwise.
  static bool _QPX_Framework_Thread_ExecuteCommandPackage(const Value& command);
  // Delivers one notice on the receiving thread.
  void QPX_Framework_DeliverNotice(QPX_Framework_Thread& receiver, const Value& command) override;

  // Element access, forwarded to the node. An empty key stands for this subscription's own
  // element; without one (all-elements and child-list subscriptions) that is an assertion.
  using _QPX_Framework_Storage_Access_Protocol::boolForKey;
  using _QPX_Framework_Storage_Access_Protocol::objectForKey;
  Value objectForKey(std::string_view key, bool forceReal) override;
  void setObject(const Value& value, std::string_view key) override;
  void removeObjectForKey(std::string_view key) override;
  void setInteger(std::int32_t value, std::string_view key) override;
  bool setNewInteger(std::int32_t value, std::string_view key) override;
  std::int64_t integerForKey(std::string_view key) override;
  void setNumber(const Value& number, std::string_view key) override;
  Value numberForKey(std::string_view key) override;
  void setDouble(double value, std::string_view key) override;
  double doubleForKey(std::string_view key) override;
  void setString(const Value& string, std::string_view key) override;
  Value stringForKey(std::string_view key) override;
  bool setNewString(const Value& string, std::string_view key) override;
  void setBool(bool value, std::string_view key) override;
  bool setNewBool(bool value, std::string_view key) override;
  bool boolForKey(std::string_view key, bool withDefault) override;
  // These two hand an empty key on as it is.
  Value setObjectFromDictionary(std::string_view key, const Value& dictionary) override;
  Value putObjectIntoDictionary(std::string_view key, Value& dictionary) override;

  std::string Description() const override;

 private:
  friend class QPX_Framework_Storage;

  // Queues one notice to the subscriber's thread (nothing when the thread is gone).
  void Send(const Value& node, const Value& element, const Value& value);
  // Runs the invocation, else the receiver's notification hook.
  void Deliver(QPX_Framework_Thread* receiver, const Value& command);
  std::string_view Key(std::string_view key) const;

  const QPX_Framework_StoragePtr storage_;
  const std::weak_ptr<QPX_Framework_Thread> thread_;
  const std::optional<std::string> elementName_;
  const Kind kind_;
  // Set under the storage mutex once the subscription is in its node's table.
  bool registered_ = false;

  mutable std::mutex invocationMutex_;
  QPX_Framework_InvocationPtr invocation_;
};
