#include "framework/util/save_info.h"

#include <mutex>

#include "framework/core/log.h"

const Value QPX_Framework_Storage_SaveInfo_AnyChild;

namespace {

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

// Never destroyed: entries are handed out for the life of the process.
std::unique_ptr<QPX_Framework_Storage_SaveInfo>& RootSlot() {
  static auto* root = new std::unique_ptr<QPX_Framework_Storage_SaveInfo>();
  return *root;
}

}  // namespace

QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo::AccessLocked(bool create, const Path& path) {
  QPX_Framework_Storage_SaveInfo* current = this;
  for (const Value& component : path) {
    if (current == nullptr) break;
    if (create && component.isNull()) {
      if (!current->AllChildren) current->AllChildren = std::make_unique<QPX_Framework_Storage_SaveInfo>();
      current = current->AllChildren.get();
      continue;
    }
    QPX_Assert_Detail(component.isString(), Value("save-info path component " + component.Description()));
    auto found = current->SpecificChildren.find(component.string());
    if (found != current->SpecificChildren.end()) {
      current = found->second.get();
    } else if (create) {
      auto entry = std::make_unique<QPX_Framework_Storage_SaveInfo>();
      QPX_Framework_Storage_SaveInfo* made = entry.get();
      current->SpecificChildren.emplace(component.string(), std::move(entry));
      current = made;
    } else {
      current = current->AllChildren.get();
    }
  }
  return current;
}

QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo::QPX_Framework_Storage_SaveInfo_AccessNode(
    bool create, const Path& path) {
  std::lock_guard<std::mutex> lock(Mutex());
  return AccessLocked(create, path);
}

QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo::QPX_Framework_Storage_SaveInfo_CreateNode(
    const Path& path) {
  return QPX_Framework_Storage_SaveInfo_AccessNode(true, path);
}

QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo::QPX_Framework_Storage_SaveInfo_ReadNode(
    const Path& path) {
  return QPX_Framework_Storage_SaveInfo_AccessNode(false, path);
}

void QPX_Framework_Storage_SaveInfo::QPX_Framework_Storage_SaveInfo_SaveElement(const std::string& name) {
  std::lock_guard<std::mutex> lock(Mutex());
  Elements.insert(name);
}

void QPX_Framework_Storage_SaveInfo::QPX_Framework_Storage_SaveInfo_SaveElements(
    const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> lock(Mutex());
  Elements.insert(names.begin(), names.end());
}

bool QPX_Framework_Storage_SaveInfo::QPX_Framework_Storage_SaveInfo_CheckElement(
    std::string_view name) const {
  std::lock_guard<std::mutex> lock(Mutex());
  return Elements.find(name) != Elements.end();
}

QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_CreateNode(
    const QPX_Framework_Storage_SaveInfo::Path& path) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (!RootSlot()) RootSlot() = std::make_unique<QPX_Framework_Storage_SaveInfo>();
  return RootSlot()->AccessLocked(true, path);
}

QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_ReadNode(
    const QPX_Framework_Storage_SaveInfo::Path& path) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (!RootSlot()) return nullptr;
  return RootSlot()->AccessLocked(false, path);
}

QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_SaveElements(
    const std::optional<std::vector<std::string>>& elements,
    const QPX_Framework_Storage_SaveInfo::Path& path) {
  QPX_Framework_Storage_SaveInfo* entry = QPX_Framework_Storage_SaveInfo_CreateNode(path);
  if (elements) entry->QPX_Framework_Storage_SaveInfo_SaveElements(*elements);
  return entry;
}

void _QPX_Framework_Storage_SaveInfo_Reset() {
  std::lock_guard<std::mutex> lock(Mutex());
  RootSlot().reset();
}
