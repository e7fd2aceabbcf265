#pragma once
// The storage tree: the state bus of the application. One process-wide tree of named nodes,
// each holding key/value elements and child nodes, addressed by slash-separated paths
// ("/Modems/0000002a"). Modules publish their state as elements and learn of each other's
// changes through subscriptions (subscription.h), delivered on the subscriber's own worker
// thread.
//
// "/User Defaults" is special: its elements are the user's persistent settings (the standard
// UserDefaults domain), with the bundle's "QPX Preferences Defaults" as fall-back for reads.
//
// Locking. Each node has a recursive node lock (children, parent link, change counter) and a
// recursive element lock (elements, dirty flag); one process-wide storage mutex guards the
// subscription tables of every node. Whoever needs several takes them in the order node
// lock, element lock, storage mutex, and across nodes parent before child. Announcing a
// change only queues commands to the subscribers' threads and never runs subscriber code,
// so it happens while the writer still holds the element lock (or, for the child list, the
// node lock): every subscriber sees the changes of one element, and of one child list, in
// the order they were made.
//
// Ownership. Nodes are shared: the parent's child table holds one reference, lookups hand
// out more. A removed node is detached (no parent) and stays fully usable by its holders.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/value.h"

class QPX_Framework_Storage;
class QPX_Framework_Storage_Subscription;
struct QPX_Framework_Storage_SubscriptionTables;
using QPX_Framework_StoragePtr = std::shared_ptr<QPX_Framework_Storage>;
using QPX_Framework_SubscriptionPtr = std::shared_ptr<QPX_Framework_Storage_Subscription>;

// "/User Defaults", "Added Nodes", "Removed Nodes".
extern const char* const QPX_Framework_Storage_UserDefaults_Path;
extern const char* const QPX_Framework_Storage_ChildListChange_Added_Nodes;
extern const char* const QPX_Framework_Storage_ChildListChange_Removed_Nodes;

// The root node "/" and the preferences node "/User Defaults". Set by the class initialiser
// before any other thread uses the tree; the preferences node is cleared only by
// QPX_Framework_Storage::UninstallPreferences (the uninstaller, single-threaded by then).
extern QPX_Framework_StoragePtr QPX_Framework_Root_Storage;
extern QPX_Framework_StoragePtr QPX_Framework_Preferences;

// The one storage mutex guarding the subscription tables of all nodes.
std::recursive_mutex& QPX_Framework_Storage_Mutex();

// Element access shared by nodes and subscriptions. Keys must not be empty (a subscription
// reads an empty key as its own element name). A missing element is a plain result (null, 0,
// 0.0, NO or the given default); a present value of the wrong kind for a typed getter, or a
// value of the wrong kind given to a typed setter, is a programming error (assertion).
class _QPX_Framework_Storage_Access_Protocol {
 public:
  virtual ~_QPX_Framework_Storage_Access_Protocol() = default;

  Value objectForKey(std::string_view key) { return objectForKey(key, false); }
  // forceReal: on the preferences node, only what the user's defaults hold (no bundle default).
  virtual Value objectForKey(std::string_view key, bool forceReal) = 0;
  // Null removes. Always announced, also when the value did not change.
  virtual void setObject(const Value& value, std::string_view key) = 0;
  // Writes (and announces) only when objectForKey finds a value.
  virtual void removeObjectForKey(std::string_view key) = 0;

  virtual void setInteger(std::int32_t value, std::string_view key) = 0;
  // Change-only: compares with the number stored in the element table itself (absent is 0);
  // true when written.
  virtual bool setNewInteger(std::int32_t value, std::string_view key) = 0;
  virtual std::int64_t integerForKey(std::string_view key) = 0;
  // A number or null (removes).
  virtual void setNumber(const Value& number, std::string_view key) = 0;
  virtual Value numberForKey(std::string_view key) = 0;
  virtual void setDouble(double value, std::string_view key) = 0;
  virtual double doubleForKey(std::string_view key) = 0;
  // A string or null (removes).
  virtual void setString(const Value& string, std::string_view key) = 0;
  virtual Value stringForKey(std::string_view key) = 0;
  // Change-only against the string stored in the element table itself; null removes.
  virtual bool setNewString(const Value& string, std::string_view key) = 0;
  virtual void setBool(bool value, std::string_view key) = 0;
  // Change-only against boolForKey (absent is NO; bundle defaults count on the preferences node).
  virtual bool setNewBool(bool value, std::string_view key) = 0;
  bool boolForKey(std::string_view key) { return boolForKey(key, false); }
  virtual bool boolForKey(std::string_view key, bool withDefault) = 0;

  // Writes the dictionary's value for the key (removes when the dictionary lacks it); answers it.
  virtual Value setObjectFromDictionary(std::string_view key, const Value& dictionary) = 0;
  // Copies this value into the dictionary (removing the key there when absent); answers it.
  virtual Value putObjectIntoDictionary(std::string_view key, Value& dictionary) = 0;
};

// The recursive lock of a node (its node lock and its element lock). Timed waits poll
// try_lock with growing pauses instead of using the timed pthread calls: they are only taken
// by multi-lock operations under contention, and this way every acquisition is one that
// thread-checking tools can follow.
class QPX_Framework_Storage_Lock {
 public:
  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }
  template <class Clock, class Duration>
  bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    for (int round = 0;; ++round) {
      if (mutex_.try_lock()) return true;
      if (Clock::now() >= deadline) return false;
      if (round < 16)
        std::this_thread::yield();
      else
        std::this_thread::sleep_for(std::chrono::microseconds(round < 64 ? 50 : 500));
    }
  }
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
    return try_lock_until(std::chrono::steady_clock::now() + timeout);
  }

 private:
  std::recursive_mutex mutex_;
};

class QPX_Framework_Storage final : public platform::ValueObject,
                                    public _QPX_Framework_Storage_Access_Protocol,
                                    public std::enable_shared_from_this<QPX_Framework_Storage> {
 public:
  using Lock = QPX_Framework_Storage_Lock;
  using ChildTable = std::map<std::string, QPX_Framework_StoragePtr, std::less<>>;
  using ElementTable = Value::Dictionary;
  using Clock = std::chrono::steady_clock;

  // Nodes are made by the tree (GetNode with creation); the tag keeps the constructor out of
  // other hands while still allowing make_shared.
  struct PrivateTag {
    explicit PrivateTag() = default;
  };
  QPX_Framework_Storage(PrivateTag, std::optional<std::string> name, bool preferences,
                        const Value& initialElements);
  ~QPX_Framework_Storage() override;
  QPX_Framework_Storage(const QPX_Framework_Storage&) = delete;
  QPX_Framework_Storage& operator=(const QPX_Framework_Storage&) = delete;

  // Class initialiser: makes the root and the preferences node. A second call answers true at
  // once. Acts only for "QPX_Framework_Storage" itself; answers true for any other class name.
  static bool QPX_Framework_Init(const std::string& className = "QPX_Framework_Storage");
  // Deletes the user's persistent defaults domain and detaches the preferences node, which
  // from then on holds nothing and ignores writes.
  static void UninstallPreferences();

  // --- Paths ---
  // Resolves the path from this node ("a/b" below it, "/a/b" from the root; repeated and
  // trailing slashes are ignored). Missing nodes are created when `create` is set, the last
  // one with `initialData` as its elements (not announced); every creation announces
  // "Added Nodes" to the parent's child-list subscribers. With `replace`, an existing last
  // node gets exactly `initialData` (which must be given): removed and changed elements are
  // announced, elements with a comparable, equal value are left alone. `created` (when
  // given) becomes true when any node was created. Answers the node, or null.
  QPX_Framework_StoragePtr GetNode(std::string_view path, bool create, const Value& initialData, bool replace,
                                   bool* created = nullptr);
  QPX_Framework_StoragePtr GetNode(std::string_view path) { return GetNode(path, false, Value(), false); }
  QPX_Framework_StoragePtr CreateNode(std::string_view path) { return GetNode(path, true, Value(), false); }

  // Detaches the named child (announced as "Removed Nodes"); a missing child: nothing.
  void RemoveChild(std::string_view name);
  // Removes the node at the path, relative to this node (absolute from the root).
  void RemoveNode(std::string_view path);
  // Removes this node from its parent.
  void RemoveNode();
  // Removes this node when it has no children; true when it did.
  bool RemoveNodeIfNoChildren();

  bool hasChild(std::string_view name);
  // The live child table; the caller holds NodeLock() while using it. Empty for the
  // preferences node, which has no children.
  const ChildTable& GetChildren() const;
  std::vector<std::string> GetChildrenKeys();
  std::size_t GetChildCount();
  std::uint32_t GetChildrenChangeCount();

  QPX_Framework_StoragePtr GetParent() const;
  // "" for the root, "/User Defaults" for the preferences node; a removed node answers
  // "/<name>", its descendants their path below it.
  std::string GetPath() const;
  // Null for the root.
  const std::optional<std::string>& GetNodeName() const { return name_; }
  // The live element table; the caller holds ElementLock() while using it. Null for the
  // preferences node, whose elements the user defaults keep.
  const ElementTable* GetElements() const;
  bool IsPreferences() const { return preferences_; }

  Lock& NodeLock() const { return nodeLock_; }
  Lock& ElementLock() const { return elementLock_; }

  // --- Multi-lock helpers ---
  // Node lock, element lock and storage mutex, by try-locks with a 10 ms back-off, without
  // limit. UnlockAll releases the three.
  void LockAll();
  void UnlockAll();
  // Takes the element lock of every child (all by one deadline, now + 1 s) and answers the
  // children, their element locks held; null, with nothing held, when one could not be had.
  std::optional<std::vector<QPX_Framework_StoragePtr>> LockAllChildElements();
  std::optional<std::vector<QPX_Framework_StoragePtr>> LockAllChildElements(Clock::time_point deadline);

  // --- Dirty flag (set at creation and by every element write) ---
  bool _DirtyElements() const { return dirty_.load(std::memory_order_acquire); }
  bool TestAndClearElementDirty();
  // A copy of the elements when the flag is clear; null when it is set.
  std::optional<ElementTable> CopyElemensIfNotDirty();

  // Writes every entry of the dictionary (one announcement each) under one hold of the
  // element lock.
  void setObjects(const Value& dictionary);

  // --- Element access ---
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
  Value setObjectFromDictionary(std::string_view key, const Value& dictionary) override;
  Value putObjectIntoDictionary(std::string_view key, Value& dictionary) override;

  // --- Subscriptions (subscription.cpp) ---
  // The child list: first {"Added Nodes": all current children}, then one notice per change.
  QPX_Framework_SubscriptionPtr Subscribe();
  // One element (null: all elements) of this node; first the current value(s).
  QPX_Framework_SubscriptionPtr Subscribe(const Value& elementName) { return Subscribe(elementName, false); }
  QPX_Framework_SubscriptionPtr Subscribe(const std::string& elementName) {
    return Subscribe(Value(elementName));
  }
  QPX_Framework_SubscriptionPtr Subscribe(const char* elementName) { return Subscribe(Value(elementName)); }
  // One element (null: all) of every child of this node, present and future.
  QPX_Framework_SubscriptionPtr SubscribeForChildren(const Value& elementName) {
    return Subscribe(elementName, true);
  }
  QPX_Framework_SubscriptionPtr Subscribe(const Value& elementName, bool forChildren);
  // Announces a child-list change ({"Added Nodes": {...}} or {"Removed Nodes": {...}});
  // the node does so itself, under its node lock.
  void NotifySubscribers(const Value& change);
  // Announces an element change (null value: removed); the node does so itself, under its
  // element lock.
  void NotifySubscribers(std::string_view key, const Value& value) {
    // Nobody listening is the common case: decided without the storage mutex. Watcher
    // counts rise only under this node's element lock, which every writer holds here.
    if (elementWatchers_.load(std::memory_order_acquire) == 0 &&
        parentChildrenWatchers_->load(std::memory_order_acquire) == 0)
      return;
    NotifyElementSubscribers(key, value);
  }
  // Logs the three subscription tables at level 1.
  void PrintSubscriptions();

  std::string Description() const override;

 private:
  friend class QPX_Framework_Storage_Subscription;

  static QPX_Framework_StoragePtr MakeNode(std::optional<std::string> name, bool preferences,
                                           const Value& initialElements);
  QPX_Framework_StoragePtr GetNodeFromRoot(std::string_view path, bool create, const Value& initialData,
                                           bool replace, bool* created);
  // Replace of this node's elements by `data`, under its element lock.
  void ReplaceElements(const Value& data);
  // Detaches `child` (when it is still the child of that name); false when it was not.
  bool RemoveChildIf(std::string_view name, const QPX_Framework_Storage* expected);
  QPX_Framework_StoragePtr ParentLocked() const;

  // The stored value only (no bundle default), under the element lock.
  Value StoredValue(std::string_view key);
  // Stores or (null) removes, announces; the caller holds the element lock.
  void WriteLocked(const Value& value, std::string_view key);
  // The element table as a dictionary (the user's defaults for the preferences node).
  ElementTable SnapshotElementsLocked();

  void NotifyElementSubscribers(std::string_view key, const Value& value);
  void NotifyChildListSubscribers(const Value& change);
  QPX_Framework_Storage_SubscriptionTables& TablesLocked();  // under the storage mutex

  mutable Lock nodeLock_;
  mutable Lock elementLock_;

  // Guarded by the storage mutex; made on first use.
  std::unique_ptr<QPX_Framework_Storage_SubscriptionTables> tables_;
  // Live subscriptions, counted so that an unwatched write skips the storage mutex. Each
  // count rises only while the subscriber holds the lock the announcing writer holds (the
  // node lock for the child list, the element lock for elements) and falls under the storage
  // mutex when a subscription ends.
  std::atomic<std::uint32_t> nodeWatchers_{0};
  std::atomic<std::uint32_t> elementWatchers_{0};
  // Children subscriptions of this node; shared with every child made below it.
  const std::shared_ptr<std::atomic<std::uint32_t>> childrenWatchers_;
  // The parent's childrenWatchers_ (a counter that stays zero for the root). Fixed at
  // creation: after removal it may still count, and the announcement then finds no parent.
  std::shared_ptr<std::atomic<std::uint32_t>> parentChildrenWatchers_;

  // Guarded by the node lock; the parent link is also written under the storage mutex, so
  // announcing writers may read it there.
  std::weak_ptr<QPX_Framework_Storage> parent_;
  ChildTable children_;
  std::uint32_t childrenChangeCount_ = 0;

  // Guarded by the element lock.
  ElementTable elements_;
  std::atomic<bool> dirty_{true};

  const std::optional<std::string> name_;
  const bool preferences_;
  // The preferences node after UninstallPreferences: holds nothing, ignores writes.
  std::atomic<bool> detached_{false};
};

// The class forms: the path must begin with "/" (assertion), then the instance form on the root.
QPX_Framework_StoragePtr QPX_Framework_Storage_GetNode(std::string_view path, bool create,
                                                       const Value& initialData, bool replace,
                                                       bool* created = nullptr);
QPX_Framework_StoragePtr QPX_Framework_Storage_GetNode(std::string_view path);
QPX_Framework_StoragePtr QPX_Framework_Storage_CreateNode(std::string_view path);
void QPX_Framework_Storage_RemoveNode(std::string_view path);

// Enters "QPX_Framework_Storage" in the class registry.
void QPX_Framework_Storage_RegisterClasses();
