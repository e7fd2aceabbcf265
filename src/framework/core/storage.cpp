// The storage tree: nodes, paths, element tables and the preferences node.
// Subscriptions and announcements live in subscription.cpp.

#include "framework/core/storage.h"

#include <thread>
#include <utility>

#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/subscription.h"
#include "platform/user_defaults.h"

const char* const QPX_Framework_Storage_UserDefaults_Path = "/User Defaults";
const char* const QPX_Framework_Storage_ChildListChange_Added_Nodes = "Added Nodes";
const char* const QPX_Framework_Storage_ChildListChange_Removed_Nodes = "Removed Nodes";

QPX_Framework_StoragePtr QPX_Framework_Root_Storage;
QPX_Framework_StoragePtr QPX_Framework_Preferences;

namespace {

constexpr std::string_view kPreferencesName = "User Defaults";

std::mutex& InitMutex() {
  static std::mutex mutex;
  return mutex;
}

// Walks the components of a path as the platform splits paths: a leading "/" is a component
// of its own; repeated and trailing slashes make no empty components.
class PathComponents {
 public:
  explicit PathComponents(std::string_view path) : path_(path) {}

  // The next component, or false when there is none.
  bool Next(std::string_view& component) {
    if (pos_ == 0 && !path_.empty() && path_[0] == '/') {
      component = path_.substr(0, 1);
      pos_ = 1;
      return true;
    }
    while (pos_ < path_.size() && path_[pos_] == '/') ++pos_;
    if (pos_ >= path_.size()) return false;
    const std::size_t start = pos_;
    while (pos_ < path_.size() && path_[pos_] != '/') ++pos_;
    component = path_.substr(start, pos_ - start);
    return true;
  }
  // True when no component follows the one last answered.
  bool AtEnd() const { return path_.find_first_not_of('/', pos_) == std::string_view::npos; }

 private:
  std::string_view path_;
  std::size_t pos_ = 0;
};

std::string KeyDetail(const char* what, std::string_view key, const Value& value = Value()) {
  std::string text(what);
  text += " \"";
  text += key;
  text += "\"";
  if (!value.isNull()) {
    text += ": ";
    text += value.Description();
  }
  return text;
}

void AssertKey(std::string_view key) { QPX_Assert_Detail(!key.empty(), Value("empty element key")); }

std::shared_ptr<platform::UserDefaults> Defaults() { return platform::UserDefaults::Standard(); }

// What a node without parent watches for children subscriptions of its parent: nothing.
const std::shared_ptr<std::atomic<std::uint32_t>>& NoParentWatchers() {
  static const auto none = std::make_shared<std::atomic<std::uint32_t>>(0);
  return none;
}

}  // namespace

std::recursive_mutex& QPX_Framework_Storage_Mutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

// ------------------------------------------------------------------------------------------
// Creation and class operations

QPX_Framework_Storage::QPX_Framework_Storage(PrivateTag, std::optional<std::string> name, bool preferences,
                                             const Value& initialElements)
    : childrenWatchers_(std::make_shared<std::atomic<std::uint32_t>>(0)),
      parentChildrenWatchers_(NoParentWatchers()),
      name_(std::move(name)),
      preferences_(preferences) {
  if (!preferences_ && initialElements.isDictionary()) elements_ = initialElements.dictionary();
}

QPX_Framework_StoragePtr QPX_Framework_Storage::MakeNode(std::optional<std::string> name, bool preferences,
                                                         const Value& initialElements) {
  return std::make_shared<QPX_Framework_Storage>(PrivateTag(), std::move(name), preferences, initialElements);
}

bool QPX_Framework_Storage::QPX_Framework_Init(const std::string& className) {
  if (className != "QPX_Framework_Storage") return true;
  std::lock_guard<std::mutex> guard(InitMutex());
  if (QPX_Framework_Root_Storage) return true;
  (void)QPX_Framework_Storage_Mutex();
  QPX_Framework_Root_Storage = MakeNode(std::nullopt, false, Value());
  QPX_Framework_Preferences = QPX_Framework_Storage_CreateNode(QPX_Framework_Storage_UserDefaults_Path);
  if (!QPX_Framework_Preferences || !QPX_Framework_Preferences->IsPreferences()) {
    QPX_Log(QPX_LOG_ERROR, "Unable to create the preferences node");
    QPX_Framework_Root_Storage.reset();
    QPX_Framework_Preferences.reset();
    return false;
  }
  return QPX_Framework_Storage_CreateNode("/") == QPX_Framework_Root_Storage;
}

void QPX_Framework_Storage::UninstallPreferences() {
  std::lock_guard<std::recursive_mutex> guard(QPX_Framework_Storage_Mutex());
  const QPX_Framework_StoragePtr preferences = QPX_Framework_Preferences;
  if (!preferences) return;
  QPX_Assert_Detail(preferences->IsPreferences(), Value("the preferences node holds no user defaults"));
  if (auto defaults = Defaults(); defaults && !defaults->removePersistentDomain())
    QPX_Log(QPX_LOG_ERROR, "Unable to delete the user defaults file %s", defaults->path().c_str());
  preferences->detached_.store(true, std::memory_order_release);
  QPX_Framework_Preferences.reset();
}

QPX_Framework_StoragePtr QPX_Framework_Storage_GetNode(std::string_view path, bool create,
                                                       const Value& initialData, bool replace,
                                                       bool* created) {
  QPX_Assert_Detail(!path.empty() && path[0] == '/',
                    Value(KeyDetail("storage path must be absolute:", path)));
  const QPX_Framework_StoragePtr root = QPX_Framework_Root_Storage;
  QPX_Assert_Detail(root != nullptr, Value("the storage tree has not been made"));
  return root->GetNode(path, create, initialData, replace, created);
}

QPX_Framework_StoragePtr QPX_Framework_Storage_GetNode(std::string_view path) {
  return QPX_Framework_Storage_GetNode(path, false, Value(), false);
}

QPX_Framework_StoragePtr QPX_Framework_Storage_CreateNode(std::string_view path) {
  return QPX_Framework_Storage_GetNode(path, true, Value(), false);
}

void QPX_Framework_Storage_RemoveNode(std::string_view path) {
  const QPX_Framework_StoragePtr root = QPX_Framework_Root_Storage;
  QPX_Assert_Detail(root != nullptr, Value("the storage tree has not been made"));
  root->RemoveNode(path);
}

void QPX_Framework_Storage_RegisterClasses() {
  QPX_Framework_ClassEntry entry;
  entry.name = "QPX_Framework_Storage";
  entry.init = [](const std::string& className) {
    return QPX_Framework_Storage::QPX_Framework_Init(className);
  };
  QPX_Framework_ClassRegistry::Register(std::move(entry));
}

// ------------------------------------------------------------------------------------------
// Paths

QPX_Framework_StoragePtr QPX_Framework_Storage::GetNodeFromRoot(std::string_view path, bool create,
                                                                const Value& initialData, bool replace,
                                                                bool* created) {
  const QPX_Framework_StoragePtr root = QPX_Framework_Root_Storage;
  QPX_Assert_Detail(root != nullptr, Value("the storage tree has not been made"));
  return root->GetNode(path, create, initialData, replace, created);
}

QPX_Framework_StoragePtr QPX_Framework_Storage::GetNode(std::string_view path, bool create,
                                                        const Value& initialData, bool replace,
                                                        bool* created) {
  if (created) *created = false;
  QPX_Assert_Detail(initialData.isNull() || initialData.isDictionary(),
                    Value(KeyDetail("initial data of", path, initialData)));
  PathComponents components(path);
  std::string_view component;
  QPX_Assert_Detail(components.Next(component), Value(KeyDetail("storage path without components:", path)));

  QPX_Framework_StoragePtr current = shared_from_this();
  bool first = true;
  do {
    const bool last = components.AtEnd();
    if (component == "/") {
      // An absolute path resolves from the root, whichever node was asked.
      if (first && name_.has_value()) return GetNodeFromRoot(path, create, initialData, replace, created);
      first = false;
      continue;
    }
    first = false;

    QPX_Framework_StoragePtr child;
    {
      std::lock_guard<Lock> nodeGuard(current->nodeLock_);
      if (auto it = current->children_.find(component); it != current->children_.end()) {
        child = it->second;
        if (last && replace) {
          QPX_Assert_Detail(!initialData.isNull(), Value(KeyDetail("replace without initial data at", path)));
          child->ReplaceElements(initialData);
        }
      } else if (create) {
        if (current->preferences_) {
          // The user defaults have no child table: nothing below them is entered in the tree.
          QPX_Log(QPX_LOG_ERROR, "No node can be created below %s (%s)",
                  QPX_Framework_Storage_UserDefaults_Path, std::string(path).c_str());
          return nullptr;
        }
        if (created) *created = true;
        const bool preferences = !current->name_.has_value() && component == kPreferencesName;
        child = MakeNode(std::string(component), preferences, last ? initialData : Value());
        child->parent_ = current;
        child->parentChildrenWatchers_ = current->childrenWatchers_;
        current->children_.emplace(std::string(component), child);
        ++current->childrenChangeCount_;
        if (current->nodeWatchers_.load(std::memory_order_acquire) != 0) {
          Value added = Value::EmptyDictionary();
          added.set(component, Value::Object(child));
          current->NotifySubscribers(Value({{QPX_Framework_Storage_ChildListChange_Added_Nodes, added}}));
        }
      } else {
        return nullptr;
      }
    }
    current = std::move(child);
  } while (components.Next(component));
  return current;
}

QPX_Framework_StoragePtr QPX_Framework_Storage::ParentLocked() const { return parent_.lock(); }

QPX_Framework_StoragePtr QPX_Framework_Storage::GetParent() const {
  std::lock_guard<Lock> guard(nodeLock_);
  return parent_.lock();
}

std::string QPX_Framework_Storage::GetPath() const {
  if (!name_) return std::string();
  const QPX_Framework_StoragePtr parent = GetParent();
  std::string path = parent ? parent->GetPath() : std::string();
  path += '/';
  path += *name_;
  return path;
}

bool QPX_Framework_Storage::hasChild(std::string_view name) {
  std::lock_guard<Lock> guard(nodeLock_);
  return children_.find(name) != children_.end();
}

const QPX_Framework_Storage::ChildTable& QPX_Framework_Storage::GetChildren() const { return children_; }

std::vector<std::string> QPX_Framework_Storage::GetChildrenKeys() {
  std::lock_guard<Lock> guard(nodeLock_);
  std::vector<std::string> keys;
  keys.reserve(children_.size());
  for (const auto& entry : children_) keys.push_back(entry.first);
  return keys;
}

std::size_t QPX_Framework_Storage::GetChildCount() {
  std::lock_guard<Lock> guard(nodeLock_);
  return children_.size();
}

std::uint32_t QPX_Framework_Storage::GetChildrenChangeCount() {
  std::lock_guard<Lock> guard(nodeLock_);
  return childrenChangeCount_;
}

const QPX_Framework_Storage::ElementTable* QPX_Framework_Storage::GetElements() const {
  return preferences_ ? nullptr : &elements_;
}

// ------------------------------------------------------------------------------------------
// Removal

bool QPX_Framework_Storage::RemoveChildIf(std::string_view name, const QPX_Framework_Storage* expected) {
  std::lock_guard<Lock> guard(nodeLock_);
  auto it = children_.find(name);
  if (it == children_.end() || (expected && it->second.get() != expected)) return false;
  const QPX_Framework_StoragePtr child = it->second;
  {
    std::lock_guard<Lock> childGuard(child->nodeLock_);
    std::lock_guard<std::recursive_mutex> storageGuard(QPX_Framework_Storage_Mutex());
    child->parent_.reset();
  }
  children_.erase(it);
  ++childrenChangeCount_;
  // Announced before the node lock is released, so a later re-creation of the same name is
  // never reported ahead of this removal.
  if (nodeWatchers_.load(std::memory_order_acquire) != 0) {
    Value removed = Value::EmptyDictionary();
    removed.set(name, Value::Object(child));
    NotifySubscribers(Value({{QPX_Framework_Storage_ChildListChange_Removed_Nodes, removed}}));
  }
  return true;
}

void QPX_Framework_Storage::RemoveChild(std::string_view name) { RemoveChildIf(name, nullptr); }

void QPX_Framework_Storage::RemoveNode(std::string_view path) {
  std::string_view trimmed = path;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
  if (trimmed.empty()) return;  // "/" or nothing: the root is never removed
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) {
    RemoveChild(trimmed);
    return;
  }
  const std::string_view name = trimmed.substr(slash + 1);
  std::string_view parentPath = trimmed.substr(0, slash);
  while (!parentPath.empty() && parentPath.back() == '/') parentPath.remove_suffix(1);
  if (parentPath.empty()) parentPath = "/";
  if (const QPX_Framework_StoragePtr parent = GetNode(parentPath)) parent->RemoveChild(name);
}

void QPX_Framework_Storage::RemoveNode() {
  if (!name_) return;
  if (const QPX_Framework_StoragePtr parent = GetParent()) parent->RemoveChildIf(*name_, this);
}

bool QPX_Framework_Storage::RemoveNodeIfNoChildren() {
  if (!name_) return false;
  // Parent before child, the order every other path takes, so no two removals can hold one
  // lock each and wait for the other's.
  for (;;) {
    const QPX_Framework_StoragePtr parent = GetParent();
    if (!parent) return false;
    std::lock_guard<Lock> parentGuard(parent->nodeLock_);
    std::lock_guard<Lock> guard(nodeLock_);
    if (ParentLocked() != parent) continue;  // removed meanwhile: the next round answers NO
    if (!children_.empty()) return false;
    return parent->RemoveChildIf(*name_, this);
  }
}

// ------------------------------------------------------------------------------------------
// Multi-lock helpers and the dirty flag

void QPX_Framework_Storage::LockAll() {
  for (;;) {
    if (nodeLock_.try_lock()) {
      if (elementLock_.try_lock()) {
        if (QPX_Framework_Storage_Mutex().try_lock()) return;
        elementLock_.unlock();
      }
      nodeLock_.unlock();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void QPX_Framework_Storage::UnlockAll() {
  QPX_Framework_Storage_Mutex().unlock();
  elementLock_.unlock();
  nodeLock_.unlock();
}

std::optional<std::vector<QPX_Framework_StoragePtr>> QPX_Framework_Storage::LockAllChildElements() {
  return LockAllChildElements(Clock::now() + std::chrono::seconds(1));
}

std::optional<std::vector<QPX_Framework_StoragePtr>> QPX_Framework_Storage::LockAllChildElements(
    Clock::time_point deadline) {
  if (!nodeLock_.try_lock_until(deadline)) return std::nullopt;
  std::lock_guard<Lock> guard(nodeLock_, std::adopt_lock);
  std::vector<QPX_Framework_StoragePtr> locked;
  locked.reserve(children_.size());
  for (const auto& entry : children_) {
    if (!entry.second->elementLock_.try_lock_until(deadline)) {
      for (const auto& child : locked) child->elementLock_.unlock();
      return std::nullopt;
    }
    locked.push_back(entry.second);
  }
  return locked;
}

bool QPX_Framework_Storage::TestAndClearElementDirty() {
  std::lock_guard<Lock> guard(elementLock_);
  return dirty_.exchange(false, std::memory_order_acq_rel);
}

std::optional<QPX_Framework_Storage::ElementTable> QPX_Framework_Storage::CopyElemensIfNotDirty() {
  std::lock_guard<Lock> guard(elementLock_);
  if (dirty_.load(std::memory_order_acquire)) return std::nullopt;
  return SnapshotElementsLocked();
}

// ------------------------------------------------------------------------------------------
// Element table

QPX_Framework_Storage::ElementTable QPX_Framework_Storage::SnapshotElementsLocked() {
  if (!preferences_) return elements_;
  if (detached_.load(std::memory_order_acquire)) return ElementTable();
  const auto defaults = Defaults();
  return defaults ? defaults->persistentDomain().dictionary() : ElementTable();
}

Value QPX_Framework_Storage::StoredValue(std::string_view key) {
  if (preferences_) {
    if (detached_.load(std::memory_order_acquire)) return Value();
    const auto defaults = Defaults();
    return defaults ? defaults->persistentObjectForKey(key) : Value();
  }
  auto it = elements_.find(key);
  return it == elements_.end() ? Value() : it->second;
}

void QPX_Framework_Storage::WriteLocked(const Value& value, std::string_view key) {
  if (preferences_) {
    if (detached_.load(std::memory_order_acquire)) return;  // uninstalled: writes are ignored
    const auto defaults = Defaults();
    if (defaults && !defaults->setObject(key, value))
      QPX_Log(QPX_LOG_ERROR, "Unable to write the user defaults (%s)", std::string(key).c_str());
  } else if (value.isNull()) {
    if (auto it = elements_.find(key); it != elements_.end()) elements_.erase(it);
  } else if (auto it = elements_.find(key); it != elements_.end()) {
    it->second = value;
  } else {
    elements_.emplace(std::string(key), value);
  }
  dirty_.store(true, std::memory_order_release);
  NotifySubscribers(key, value);
}

void QPX_Framework_Storage::ReplaceElements(const Value& data) {
  std::lock_guard<Lock> guard(elementLock_);
  const ElementTable current = SnapshotElementsLocked();
  for (const auto& [key, old] : current) {
    const Value replacement = data.get(key);
    if (replacement.isNull()) {
      WriteLocked(Value(), key);
    } else if (Value::Compare(old, replacement) != std::partial_ordering::equivalent) {
      WriteLocked(replacement, key);
    }
  }
  for (const auto& [key, value] : data.dictionary()) {
    if (!key.empty() && current.find(key) == current.end()) WriteLocked(value, key);
  }
}

Value QPX_Framework_Storage::objectForKey(std::string_view key, bool forceReal) {
  AssertKey(key);
  std::lock_guard<Lock> guard(elementLock_);
  if (preferences_ && !forceReal) {
    if (detached_.load(std::memory_order_acquire)) return Value();
    const auto defaults = Defaults();
    return defaults ? defaults->objectForKey(key) : Value();
  }
  return StoredValue(key);
}

void QPX_Framework_Storage::setObject(const Value& value, std::string_view key) {
  AssertKey(key);
  std::lock_guard<Lock> guard(elementLock_);
  WriteLocked(value, key);
}

void QPX_Framework_Storage::setObjects(const Value& dictionary) {
  QPX_Assert_Detail(dictionary.isNull() || dictionary.isDictionary(),
                    Value(KeyDetail("setObjects:", "", dictionary)));
  std::lock_guard<Lock> guard(elementLock_);
  for (const auto& [key, value] : dictionary.dictionary()) setObject(value, key);
}

void QPX_Framework_Storage::removeObjectForKey(std::string_view key) {
  AssertKey(key);
  std::lock_guard<Lock> guard(elementLock_);
  if (!objectForKey(key).isNull()) WriteLocked(Value(), key);
}

void QPX_Framework_Storage::setInteger(std::int32_t value, std::string_view key) {
  setObject(Value(value), key);
}

bool QPX_Framework_Storage::setNewInteger(std::int32_t value, std::string_view key) {
  AssertKey(key);
  std::lock_guard<Lock> guard(elementLock_);
  const Value stored = StoredValue(key);
  if (stored.isNull() ? value == 0 : (stored.isNumber() && stored.toInt64() == value)) return false;
  WriteLocked(Value(value), key);
  return true;
}

std::int64_t QPX_Framework_Storage::integerForKey(std::string_view key) {
  const Value value = objectForKey(key);
  if (value.isNull()) return 0;
  QPX_Assert_Detail(value.isNumber(), Value(KeyDetail("integerForKey: not a number at", key, value)));
  return value.toInt64();
}

void QPX_Framework_Storage::setNumber(const Value& number, std::string_view key) {
  QPX_Assert_Detail(number.isNull() || number.isNumber(),
                    Value(KeyDetail("setNumber: not a number for", key, number)));
  setObject(number, key);
}

Value QPX_Framework_Storage::numberForKey(std::string_view key) {
  Value value = objectForKey(key);
  QPX_Assert_Detail(value.isNull() || value.isNumber(),
                    Value(KeyDetail("numberForKey: not a number at", key, value)));
  return value;
}

void QPX_Framework_Storage::setDouble(double value, std::string_view key) { setObject(Value(value), key); }

double QPX_Framework_Storage::doubleForKey(std::string_view key) {
  const Value value = objectForKey(key);
  if (value.isNull()) return 0.0;
  QPX_Assert_Detail(value.isNumber(), Value(KeyDetail("doubleForKey: not a number at", key, value)));
  return value.toDouble();
}

void QPX_Framework_Storage::setString(const Value& string, std::string_view key) {
  QPX_Assert_Detail(string.isNull() || string.isString(),
                    Value(KeyDetail("setString: not a string for", key, string)));
  setObject(string, key);
}

Value QPX_Framework_Storage::stringForKey(std::string_view key) {
  Value value = objectForKey(key);
  QPX_Assert_Detail(value.isNull() || value.isString(),
                    Value(KeyDetail("stringForKey: not a string at", key, value)));
  return value;
}

bool QPX_Framework_Storage::setNewString(const Value& string, std::string_view key) {
  QPX_Assert_Detail(string.isNull() || string.isString(),
                    Value(KeyDetail("setNewString: not a string for", key, string)));
  AssertKey(key);
  std::lock_guard<Lock> guard(elementLock_);
  const Value stored = StoredValue(key);
  if (stored.isNull() && string.isNull()) return false;
  if (stored.isString() && string.isString() && stored.string() == string.string()) return false;
  WriteLocked(string, key);
  return true;
}

void QPX_Framework_Storage::setBool(bool value, std::string_view key) { setObject(Value(value), key); }

bool QPX_Framework_Storage::setNewBool(bool value, std::string_view key) {
  AssertKey(key);
  std::lock_guard<Lock> guard(elementLock_);
  if (boolForKey(key) == value) return false;
  WriteLocked(Value(value), key);
  return true;
}

bool QPX_Framework_Storage::boolForKey(std::string_view key, bool withDefault) {
  const Value value = objectForKey(key);
  if (value.isNull()) return withDefault;
  QPX_Assert_Detail(value.isNumber(), Value(KeyDetail("boolForKey: not a number at", key, value)));
  return value.toBool();
}

Value QPX_Framework_Storage::setObjectFromDictionary(std::string_view key, const Value& dictionary) {
  Value value = dictionary.get(key);
  setObject(value, key);
  return value;
}

Value QPX_Framework_Storage::putObjectIntoDictionary(std::string_view key, Value& dictionary) {
  Value value = objectForKey(key);
  dictionary.set(key, value);
  return value;
}

std::string QPX_Framework_Storage::Description() const {
  const std::string path = GetPath();
  return "<QPX_Framework_Storage " + (path.empty() ? std::string("/") : path) + ">";
}
