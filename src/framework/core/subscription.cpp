// Storage subscriptions: registering with a node, announcing changes as "Notify" commands,
// and delivering them on the subscriber's thread.

#include "framework/core/subscription.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <utility>

#include "framework/core/log.h"
#include "platform/user_defaults.h"

namespace {

using Tables = QPX_Framework_Storage_SubscriptionTables;
using Lock = QPX_Framework_Storage::Lock;

// The longest single wait for a lock while subscribing; the caller may hold locks of other
// nodes, so a wait that fails lets go of everything and starts again.
constexpr std::chrono::milliseconds kLockSlice{10};

// Collects the live subscriptions of a set; dying ones (no owner left) are passed over.
void Collect(const Tables::Set& set, std::vector<QPX_Framework_SubscriptionPtr>& into) {
  for (const auto& entry : set) {
    if (auto subscription = entry.weak.lock()) into.push_back(std::move(subscription));
  }
}

void Collect(const std::map<std::string, Tables::Set, std::less<>>& table, std::string_view key,
             std::vector<QPX_Framework_SubscriptionPtr>& into) {
  if (auto it = table.find(key); it != table.end()) Collect(it->second, into);
}

bool EraseEntry(Tables::Set& set, const QPX_Framework_Storage_Subscription* subscription) {
  auto it = std::find_if(set.begin(), set.end(), [subscription](const Tables::Entry& entry) {
    return entry.subscription == subscription;
  });
  if (it == set.end()) return false;
  set.erase(it);
  return true;
}

// The live subscriptions of a table, taken under the storage mutex and described after it
// is released (a description reads the node's path, which takes node locks).
using LiveTable = std::vector<std::pair<std::string, std::vector<QPX_Framework_SubscriptionPtr>>>;

LiveTable LiveEntries(const std::map<std::string, Tables::Set, std::less<>>& table) {
  LiveTable live;
  for (const auto& [key, set] : table) {
    live.emplace_back(key, std::vector<QPX_Framework_SubscriptionPtr>());
    Collect(set, live.back().second);
  }
  return live;
}

Value Describe(const std::vector<QPX_Framework_SubscriptionPtr>& subscriptions) {
  Value array = Value::EmptyArray();
  for (const auto& subscription : subscriptions) array.append(Value(subscription->Description()));
  return array;
}

Value Describe(const LiveTable& table) {
  Value dictionary = Value::EmptyDictionary();
  for (const auto& [key, subscriptions] : table) dictionary.set(key, Describe(subscriptions));
  return dictionary;
}

const Value& NotifyCommandName() {
  static const Value name(QPX_Framework_Command_Notify);
  return name;
}

}  // namespace

// ------------------------------------------------------------------------------------------
// The node's side

QPX_Framework_Storage::~QPX_Framework_Storage() = default;

QPX_Framework_Storage_SubscriptionTables& QPX_Framework_Storage::TablesLocked() {
  if (!tables_) tables_ = std::make_unique<QPX_Framework_Storage_SubscriptionTables>();
  return *tables_;
}

QPX_Framework_SubscriptionPtr QPX_Framework_Storage::Subscribe() {
  const std::shared_ptr<QPX_Framework_Thread> thread = QPX_Framework_Thread::currentThread();
  QPX_Assert_Detail(thread != nullptr, Value("subscribing from a thread that is not a worker thread"));
  auto subscription = std::make_shared<QPX_Framework_Storage_Subscription>(
      QPX_Framework_Storage_Subscription::PrivateTag(), shared_from_this(), thread, std::nullopt, false);

  // Registration and the first notice happen under the node lock, which every change of the
  // child list holds while it announces: no change falls between them or is reported twice.
  std::lock_guard<Lock> nodeGuard(nodeLock_);
  {
    std::lock_guard<std::recursive_mutex> storageGuard(QPX_Framework_Storage_Mutex());
    TablesLocked().node.push_back({subscription.get(), subscription});
    subscription->registered_ = true;
    nodeWatchers_.fetch_add(1, std::memory_order_acq_rel);
  }
  Value children = Value::EmptyDictionary();
  for (const auto& [name, child] : children_) children.set(name, Value::Object(child));
  subscription->Send(Value::Object(shared_from_this()), Value(),
                     Value({{QPX_Framework_Storage_ChildListChange_Added_Nodes, children}}));
  return subscription;
}

QPX_Framework_SubscriptionPtr QPX_Framework_Storage::Subscribe(const Value& elementName, bool forChildren) {
  QPX_Assert_Detail(elementName.isNull() || (elementName.isString() && !elementName.string().empty()),
                    Value("subscription to an empty or non-string element name"));
  const std::shared_ptr<QPX_Framework_Thread> thread = QPX_Framework_Thread::currentThread();
  QPX_Assert_Detail(thread != nullptr, Value("subscribing from a thread that is not a worker thread"));
  const std::string key = elementName.isNull() ? std::string() : elementName.string();
  auto subscription = std::make_shared<QPX_Framework_Storage_Subscription>(
      QPX_Framework_Storage_Subscription::PrivateTag(), shared_from_this(), thread, key, forChildren);

  // The node lock and element lock, each waited for at most 10 ms before everything is let go
  // and tried again (the caller may hold other nodes' locks, so no wait may be endless), then
  // the element locks of the nodes whose elements are watched: the children, all by one
  // deadline, or the node itself. The storage mutex is taken only to register, never while
  // waiting, so writers that announce under their element lock are never held up by it.
  std::vector<QPX_Framework_StoragePtr> nodes;
  for (;;) {
    if (nodeLock_.try_lock_for(kLockSlice)) {
      if (elementLock_.try_lock_for(kLockSlice)) {
        if (!forChildren) {
          elementLock_.lock();
          nodes.push_back(shared_from_this());
          break;
        }
        if (auto children = LockAllChildElements()) {
          nodes = std::move(*children);
          break;
        }
        elementLock_.unlock();
        nodeLock_.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        continue;
      }
      nodeLock_.unlock();
    }
  }
  std::lock_guard<Lock> nodeGuard(nodeLock_, std::adopt_lock);
  std::lock_guard<Lock> elementGuard(elementLock_, std::adopt_lock);

  {
    std::lock_guard<std::recursive_mutex> storageGuard(QPX_Framework_Storage_Mutex());
    Tables& tables = TablesLocked();
    auto& table = forChildren ? tables.children : tables.element;
    table[key].push_back({subscription.get(), subscription});
    subscription->registered_ = true;
    if (forChildren)
      childrenWatchers_->fetch_add(1, std::memory_order_acq_rel);
    else
      elementWatchers_.fetch_add(1, std::memory_order_acq_rel);
  }

  // The current state, node by node, each before its element lock is let go: every later
  // write of that node is announced after it.
  for (const QPX_Framework_StoragePtr& node : nodes) {
    std::lock_guard<Lock> nodeElements(node->elementLock_, std::adopt_lock);
    const Value nodeValue = Value::Object(node);
    if (!key.empty()) {
      subscription->Send(nodeValue, elementName, node->StoredValue(key));
    } else if (!node->preferences_) {
      for (const auto& [name, value] : node->elements_) subscription->Send(nodeValue, Value(name), value);
    } else {
      for (const auto& [name, value] : node->SnapshotElementsLocked())
        subscription->Send(nodeValue, Value(name), value);
    }
  }
  return subscription;
}

void QPX_Framework_Storage::NotifySubscribers(const Value& change) {
  if (nodeWatchers_.load(std::memory_order_acquire) == 0) return;
  NotifyChildListSubscribers(change);
}

void QPX_Framework_Storage::NotifyChildListSubscribers(const Value& change) {
  std::vector<QPX_Framework_SubscriptionPtr> targets;
  {
    std::lock_guard<std::recursive_mutex> storageGuard(QPX_Framework_Storage_Mutex());
    if (tables_) Collect(tables_->node, targets);
  }
  if (targets.empty()) return;
  const Value node = Value::Object(shared_from_this());
  for (const auto& subscription : targets) subscription->Send(node, Value(), change);
}

void QPX_Framework_Storage::NotifyElementSubscribers(std::string_view key, const Value& value) {
  std::vector<QPX_Framework_SubscriptionPtr> targets;
  {
    std::lock_guard<std::recursive_mutex> storageGuard(QPX_Framework_Storage_Mutex());
    if (tables_) {
      Collect(tables_->element, "", targets);
      if (!key.empty()) Collect(tables_->element, key, targets);
    }
    // The parent link is written under the storage mutex too, so it can be read here
    // without the node lock (which must not be taken after the element lock).
    if (const QPX_Framework_StoragePtr parent = parent_.lock(); parent && parent->tables_) {
      Collect(parent->tables_->children, "", targets);
      if (!key.empty()) Collect(parent->tables_->children, key, targets);
    }
  }
  // Each subscription sits in exactly one of these sets, so none is notified twice.
  if (targets.empty()) return;
  const Value node = Value::Object(shared_from_this());
  const Value element(key);
  for (const auto& subscription : targets) subscription->Send(node, element, value);
}

void QPX_Framework_Storage::PrintSubscriptions() {
  std::vector<QPX_Framework_SubscriptionPtr> node;
  LiveTable element, children;
  {
    std::lock_guard<std::recursive_mutex> storageGuard(QPX_Framework_Storage_Mutex());
    if (tables_) {
      Collect(tables_->node, node);
      element = LiveEntries(tables_->element);
      children = LiveEntries(tables_->children);
    }
  }
  const std::string name = name_.value_or("");
  QPX_Log(QPX_LOG_TRACE, "(%s) Node: %s", name.c_str(), Describe(node).Description().c_str());
  QPX_Log(QPX_LOG_TRACE, "(%s) Element: %s", name.c_str(), Describe(element).Description().c_str());
  QPX_Log(QPX_LOG_TRACE, "(%s) Children: %s", name.c_str(), Describe(children).Description().c_str());
}

// ------------------------------------------------------------------------------------------
// The subscription

QPX_Framework_Storage_Subscription::QPX_Framework_Storage_Subscription(
    PrivateTag, QPX_Framework_StoragePtr storage, std::weak_ptr<QPX_Framework_Thread> thread,
    std::optional<std::string> elementName, bool forChildren)
    : storage_(std::move(storage)),
      thread_(std::move(thread)),
      elementName_(std::move(elementName)),
      kind_(!elementName_ ? Kind::ChildList : (forChildren ? Kind::Children : Kind::Element)) {}

QPX_Framework_Storage_Subscription::~QPX_Framework_Storage_Subscription() {
  // The last holder let go: the subscriber and every queued notice are done with it.
  try {
    std::lock_guard<std::recursive_mutex> storageGuard(QPX_Framework_Storage_Mutex());
    if (!registered_ || !storage_->tables_) return;
    Tables& tables = *storage_->tables_;
    switch (kind_) {
      case Kind::ChildList:
        if (EraseEntry(tables.node, this)) storage_->nodeWatchers_.fetch_sub(1, std::memory_order_acq_rel);
        break;
      case Kind::Element:
      case Kind::Children: {
        auto& table = kind_ == Kind::Element ? tables.element : tables.children;
        auto it = table.find(*elementName_);
        if (it == table.end() || !EraseEntry(it->second, this)) break;
        if (it->second.empty()) table.erase(it);
        if (kind_ == Kind::Element)
          storage_->elementWatchers_.fetch_sub(1, std::memory_order_acq_rel);
        else
          storage_->childrenWatchers_->fetch_sub(1, std::memory_order_acq_rel);
        break;
      }
    }
  } catch (...) {
    // A destructor never throws; a lock that cannot be taken leaves a dead entry, which
    // announcements pass over.
  }
}

QPX_Framework_SubscriptionPtr QPX_Framework_Storage_Subscription::SetInvocation(
    QPX_Framework_InvocationPtr invocation) {
  {
    std::lock_guard<std::mutex> guard(invocationMutex_);
    invocation_ = std::move(invocation);
  }
  return shared_from_this();
}

QPX_Framework_InvocationPtr QPX_Framework_Storage_Subscription::Invocation() const {
  std::lock_guard<std::mutex> guard(invocationMutex_);
  return invocation_;
}

void QPX_Framework_Storage_Subscription::Send(const Value& node, const Value& element, const Value& value) {
  const std::shared_ptr<QPX_Framework_Thread> thread = thread_.lock();
  if (!thread) return;
  Value command = Value::EmptyDictionary();
  Value::Dictionary& entries = command.mutableDictionary();
  entries.emplace(QPX_Framework_Command_Key, NotifyCommandName());
  entries.emplace(QPX_Framework_Notify_SubscriptionKey, Value::Object(shared_from_this()));
  if (!node.isNull()) entries.emplace(QPX_Framework_Notify_StorageKey, node);
  if (!element.isNull()) entries.emplace(QPX_Framework_Notify_ElementKey, element);
  if (!value.isNull()) entries.emplace(QPX_Framework_Notify_ValueKey, value);
  thread->QPX_Framework_Thread_RunCommandWithoutReply(command);
}

bool QPX_Framework_Storage_Subscription::_QPX_Framework_Thread_ExecuteCommandPackage(const Value& command) {
  if (command.get(QPX_Framework_Command_Key).string() != QPX_Framework_Command_Notify) return false;
  const auto subscription =
      command.get(QPX_Framework_Notify_SubscriptionKey).objectAs<QPX_Framework_Storage_Subscription>();
  if (!subscription) return true;
  subscription->Deliver(QPX_Framework_Thread::currentThread().get(), command);
  return true;
}

void QPX_Framework_Storage_Subscription::QPX_Framework_DeliverNotice(QPX_Framework_Thread& receiver,
                                                                     const Value& command) {
  Deliver(&receiver, command);
}

void QPX_Framework_Storage_Subscription::Deliver(QPX_Framework_Thread* receiver, const Value& command) {
  QPX_Framework_StoragePtr node =
      command.get(QPX_Framework_Notify_StorageKey).objectAs<QPX_Framework_Storage>();
  if (!node) node = storage_;
  const Value element = command.get(QPX_Framework_Notify_ElementKey);
  const Value value = command.get(QPX_Framework_Notify_ValueKey);
  if (const QPX_Framework_InvocationPtr invocation = Invocation()) {
    // The invocation skips the call once its target object is gone.
    const std::array<Value, 3> arguments{Value::Object(node), element, value};
    invocation->Invoke(arguments);
    return;
  }
  if (!receiver) {
    QPX_Log(QPX_LOG_ERROR, "Unable to deliver notification");
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("a storage notice outside a worker thread"));
  }
  receiver->QPX_Framework_Storage_NotificationFor(node, element.string(), value);
}

std::string_view QPX_Framework_Storage_Subscription::Key(std::string_view key) const {
  if (!key.empty()) return key;
  QPX_Assert_Detail(elementName_ && !elementName_->empty(),
                    Value("subscription accessor without key on a subscription without element"));
  return *elementName_;
}

Value QPX_Framework_Storage_Subscription::objectForKey(std::string_view key, bool forceReal) {
  return storage_->objectForKey(Key(key), forceReal);
}
void QPX_Framework_Storage_Subscription::setObject(const Value& value, std::string_view key) {
  storage_->setObject(value, Key(key));
}
void QPX_Framework_Storage_Subscription::removeObjectForKey(std::string_view key) {
  storage_->removeObjectForKey(Key(key));
}
void QPX_Framework_Storage_Subscription::setInteger(std::int32_t value, std::string_view key) {
  storage_->setInteger(value, Key(key));
}
bool QPX_Framework_Storage_Subscription::setNewInteger(std::int32_t value, std::string_view key) {
  return storage_->setNewInteger(value, Key(key));
}
std::int64_t QPX_Framework_Storage_Subscription::integerForKey(std::string_view key) {
  return storage_->integerForKey(Key(key));
}
void QPX_Framework_Storage_Subscription::setNumber(const Value& number, std::string_view key) {
  storage_->setNumber(number, Key(key));
}
Value QPX_Framework_Storage_Subscription::numberForKey(std::string_view key) {
  return storage_->numberForKey(Key(key));
}
void QPX_Framework_Storage_Subscription::setDouble(double value, std::string_view key) {
  storage_->setDouble(value, Key(key));
}
double QPX_Framework_Storage_Subscription::doubleForKey(std::string_view key) {
  return storage_->doubleForKey(Key(key));
}
void QPX_Framework_Storage_Subscription::setString(const Value& string, std::string_view key) {
  storage_->setString(string, Key(key));
}
Value QPX_Framework_Storage_Subscription::stringForKey(std::string_view key) {
  return storage_->stringForKey(Key(key));
}
bool QPX_Framework_Storage_Subscription::setNewString(const Value& string, std::string_view key) {
  return storage_->setNewString(string, Key(key));
}
void QPX_Framework_Storage_Subscription::setBool(bool value, std::string_view key) {
  storage_->setBool(value, Key(key));
}
bool QPX_Framework_Storage_Subscription::setNewBool(bool value, std::string_view key) {
  return storage_->setNewBool(value, Key(key));
}
bool QPX_Framework_Storage_Subscription::boolForKey(std::string_view key, bool withDefault) {
  return storage_->boolForKey(Key(key), withDefault);
}
Value QPX_Framework_Storage_Subscription::setObjectFromDictionary(std::string_view key,
                                                                  const Value& dictionary) {
  return storage_->setObjectFromDictionary(key, dictionary);
}
Value QPX_Framework_Storage_Subscription::putObjectIntoDictionary(std::string_view key, Value& dictionary) {
  return storage_->putObjectIntoDictionary(key, dictionary);
}

std::string QPX_Framework_Storage_Subscription::Description() const {
  std::string text = "<QPX_Framework_Storage_Subscription ";
  text += storage_->GetPath();
  switch (kind_) {
    case Kind::ChildList:
      text += " (child list)";
      break;
    case Kind::Element:
      text += elementName_->empty() ? std::string(" (all elements)") : " \"" + *elementName_ + "\"";
      break;
    case Kind::Children:
      text += elementName_->empty() ? std::string(" (all elements of children)")
                                    : " \"" + *elementName_ + "\" of children";
      break;
  }
  return text + ">";
}
