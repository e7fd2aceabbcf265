#include "framework/core/class_registry.h"

#include <map>
#include <mutex>
#include <utility>

namespace {

struct Registry {
  std::mutex mutex;
  // Entries are immutable once registered; Find hands out shared references to them, so a
  // caller keeps a consistent entry even when it is replaced or removed meanwhile.
  std::map<std::string, std::shared_ptr<const QPX_Framework_ClassEntry>, std::less<>> entries;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void QPX_Framework_ClassRegistry::Register(QPX_Framework_ClassEntry entry) {
  auto shared = std::make_shared<const QPX_Framework_ClassEntry>(std::move(entry));
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.entries[shared->name] = std::move(shared);
}

void QPX_Framework_ClassRegistry::Unregister(const std::string& name) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.entries.erase(name);
}

std::shared_ptr<const QPX_Framework_ClassEntry> QPX_Framework_ClassRegistry::Find(const std::string& name) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.entries.find(name);
  if (it == registry.entries.end()) return nullptr;
  return it->second;
}

bool QPX_Framework_ClassRegistry::IsKindOf(const std::string& name, const std::string& base) {
  if (name == base) return true;
  auto entry = Find(name);
  if (!entry) return false;
  for (const std::string& each : entry->bases)
    if (each == base) return true;
  return false;
}

void QPX_Framework_ClassRegistry::Clear() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.entries.clear();
}
