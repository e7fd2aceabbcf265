#include "gui/builder_objects.h"

#include <algorithm>

#include "framework/core/log.h"
#include "platform/ui/controls.h"

const char* const QPX_Framework_GUI_UserDataKey = "__Desert Scream";
const char* const QPX_Framework_GUI_FunctionButtonsKey = "__Bloody Ice";
const char* const QPX_Framework_GUI_CurrentWindowKey = "Internal: Current Window";

void QPX_Framework_GUI_AddSubview(platform::ui::View& parent,
                                  const std::shared_ptr<platform::ui::View>& view) {
  if (!view) return;
  if (auto* host = dynamic_cast<QPX_Framework_GUI_SubviewHost*>(&parent))
    host->addSubview(view);
  else
    parent.AddSubview(view);
}

// ---- Object handle ----

const void* QPX_Framework_GUI_Object::Identity() const {
  if (view_) return view_.get();
  if (item_) return item_.get();
  if (window_) return window_.get();
  return menuItem_.get();
}

// ---- Created-objects dictionary ----

namespace {
bool IsReserved(const std::string& name) {
  return name == QPX_Framework_GUI_UserDataKey || name == QPX_Framework_GUI_FunctionButtonsKey ||
         name == QPX_Framework_GUI_CurrentWindowKey;
}
}  // namespace

std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_GUI_Objects::Make() {
  return std::shared_ptr<QPX_Framework_GUI_Objects>(new QPX_Framework_GUI_Objects());
}

bool QPX_Framework_GUI_Objects::Contains(const std::string& name) const { return objects_.count(name) != 0; }

QPX_Framework_GUI_Object QPX_Framework_GUI_Objects::Get(const std::string& name) const {
  auto it = objects_.find(name);
  return it == objects_.end() ? QPX_Framework_GUI_Object() : it->second;
}

void QPX_Framework_GUI_Objects::Set(const std::string& name, const QPX_Framework_GUI_Object& object) {
  QPX_Assert_Detail(!IsReserved(name), Value("\"" + name + "\" is a reserved entry, not an object name"));
  if (!object) {
    objects_.erase(name);
    return;
  }
  objects_[name] = object;
}

void QPX_Framework_GUI_Objects::Remove(const std::string& name) { objects_.erase(name); }

std::vector<std::string> QPX_Framework_GUI_Objects::Names() const {
  std::vector<std::string> names;
  names.reserve(objects_.size());
  for (const auto& [name, object] : objects_) names.push_back(name);
  return names;
}

void QPX_Framework_GUI_Objects::SetUserData(const std::string& name, const Value& data) {
  if (userData_.isNull()) userData_ = Value::EmptyDictionary();
  userData_.set(name, data);
}

void QPX_Framework_GUI_Objects::AddFunctionButton(const QPX_Framework_GUI_Object& button) {
  if (!button || IsFunctionButton(button)) return;
  functionButtons_.push_back(button);
}

bool QPX_Framework_GUI_Objects::IsFunctionButton(const QPX_Framework_GUI_Object& object) const {
  return object &&
         std::find(functionButtons_.begin(), functionButtons_.end(), object) != functionButtons_.end();
}

void QPX_Framework_GUI_Objects::Merge(const QPX_Framework_GUI_Objects& other) {
  for (const auto& [name, object] : other.objects_) objects_[name] = object;
  // Merged key by key: the user data of the earlier files stay readable by name.
  if (other.userData_.isDictionary())
    for (const auto& [name, data] : other.userData_.dictionary()) SetUserData(name, data);
  for (const QPX_Framework_GUI_Object& button : other.functionButtons_) AddFunctionButton(button);
}

// ---- Name tags ----

namespace {

struct NameTag {
  std::weak_ptr<const void> owner;
  std::string name;
};

// Keyed by address, with a weak reference to the owner: an entry whose object is gone is
// dropped when found, so a new object at the same address never inherits its name.
std::map<const void*, NameTag>& NameTags() {
  static auto* tags = new std::map<const void*, NameTag>();
  return *tags;
}

std::weak_ptr<const void> OwnerOf(const QPX_Framework_GUI_Object& object) {
  if (object.View()) return object.View();
  if (object.Item()) return object.Item();
  if (object.MenuItem()) return object.MenuItem();
  return object.Window();
}

std::optional<std::string> LookupTag(const void* key) {
  auto& tags = NameTags();
  auto it = tags.find(key);
  if (it == tags.end()) return std::nullopt;
  if (it->second.owner.expired()) {
    tags.erase(it);
    return std::nullopt;
  }
  return it->second.name;
}

void SweepTags() {
  auto& tags = NameTags();
  for (auto it = tags.begin(); it != tags.end();)
    it = it->second.owner.expired() ? tags.erase(it) : std::next(it);
}

}  // namespace

bool QPX_Framework_GUI_AcceptsTag(const QPX_Framework_GUI_Object& object) {
  if (object.MenuItem()) return true;
  if (object.As<platform::ui::Control>()) return true;
  return object.Item() && object.Item()->AcceptsTag();
}

void QPX_Framework_GUI_SetNameTag(const QPX_Framework_GUI_Object& object, const std::string& name) {
  if (!object) return;
  // Keeps the table near the size of the set of live tagged objects.
  static std::size_t sweepAt = 256;
  if (NameTags().size() >= sweepAt) {
    SweepTags();
    sweepAt = std::max<std::size_t>(256, 2 * NameTags().size());
  }
  NameTags()[object.Identity()] = NameTag{OwnerOf(object), name};
}

std::optional<std::string> QPX_Framework_GUI_NameTag(const QPX_Framework_GUI_Object& object) {
  if (!object) return std::nullopt;
  return LookupTag(object.Identity());
}

std::optional<std::string> QPX_Framework_GUI_NameTag(const platform::ui::View& view) {
  return LookupTag(&view);
}
