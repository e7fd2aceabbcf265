#include "gui/builder.h"

#include <cstdlib>
#include <filesystem>

#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/strings.h"
#include "framework/util/misc.h"
#include "framework/util/xml.h"
#include "gui/attributes.h"
#include "gui/colors.h"
#include "gui/object_types.h"
#include "gui/object_types_platform_views.h"
#include "gui/position_window.h"
#include "gui/rtl.h"
#include "platform/bundle.h"
#include "platform/plist.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"

using platform::ui::View;

// ---- Reading files ----

namespace {

std::string ComparablePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
  return error ? std::filesystem::path(path).lexically_normal().string() : canonical.string();
}

std::string ChainText(const std::vector<std::string>& chain, const std::string& last) {
  std::string text;
  for (const std::string& file : chain) text += file + " -> ";
  return text + last;
}

// The text of an include element: its first text or CDATA child; none when it has none.
std::optional<std::string> IncludeText(const QPX_Framework_XML_Element& include) {
  for (const QPX_Framework_XML_Node& child : include.QPX_Framework_XML_Element_Children()) {
    const QPX_Framework_XML_Node::Kind kind = child.GetKind();
    if (kind == QPX_Framework_XML_Node::Kind::Text || kind == QPX_Framework_XML_Node::Kind::CData)
      return child.StringValue();
  }
  return std::nullopt;
}

// Replaces the include elements below the element by the root elements of the files they
// name, relative to the file the element came from. `chain` holds the files being
// resolved, outermost first: a file that includes itself, directly or not, would never end.
bool ResolveIncludes(QPX_Framework_XML_Element element, const std::string& path,
                     std::set<std::string>* readFiles, std::vector<std::string>& chain) {
  if (readFiles != nullptr) readFiles->insert(path);
  bool result = true;
  const std::vector<QPX_Framework_XML_Node> children = element.QPX_Framework_XML_Element_Children();
  for (std::size_t index = 0; index < children.size() && result; ++index) {
    const QPX_Framework_XML_Element child = children[index].AsElement();
    if (!child) continue;
    if (child.Name() != "include") {
      result = ResolveIncludes(child, path, readFiles, chain);
      continue;
    }
    const std::optional<std::string> text = IncludeText(child);
    if (!text) continue;  // stays in place; the property-list parse decides
    const std::string included = (std::filesystem::path(path).parent_path() / *text).string();
    const std::string comparable = ComparablePath(included);
    for (const std::string& open : chain) {
      if (open == comparable)
        QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                    Value("GUI include cycle: " + ChainText(chain, comparable)));
    }
    QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromFile(included);
    if (!root) return false;
    element.ReplaceChild(index, root);
    chain.push_back(comparable);
    result = ResolveIncludes(root, included, readFiles, chain);
    chain.pop_back();
  }
  return result;
}

}  // namespace

std::optional<Value> _QPX_Framework_ReadGUIPList(const std::string& path, std::set<std::string>* readFiles) {
  const QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromFile(path);
  if (!root) return std::nullopt;
  std::vector<std::string> chain{ComparablePath(path)};
  if (!ResolveIncludes(root, path, readFiles, chain)) return std::nullopt;
  const std::string data = QPX_Framework_XML_Serialize(root);
  std::optional<Value> list = platform::plist::Parse(data);
  if (!list) {
    QPX_Log(QPX_LOG_ERROR, "propertyListFromData: %s", ("not a property list: " + path).c_str());
    return std::nullopt;
  }
  return list;
}

// ---- Tables ----

namespace {

std::string& CurrentFile() {
  static auto* file = new std::string();
  return *file;
}

struct ItemDescription {
  std::weak_ptr<const void> owner;
  Value description;
};

// Descriptions of objects that are neither views nor windows (tab items, menu items),
// keyed by address with a weak reference, so that a new object at the address of a dead
// one never finds the old entry.
std::map<const void*, ItemDescription>& ItemDescriptions() {
  static auto* table = new std::map<const void*, ItemDescription>();
  return *table;
}

void EnterDescription(const QPX_Framework_GUI_Object& object, const Value& description) {
  if (const std::shared_ptr<View>& view = object.View()) {
    QPX_Framework_GUI_SetDescription(*view, description);
    return;
  }
  if (std::shared_ptr<platform::ui::Window> window = object.Window()) {
    QPX_Framework_GUI_SetDescription(*window, description);
    return;
  }
  auto& table = ItemDescriptions();
  for (auto it = table.begin(); it != table.end();)
    it = it->second.owner.expired() ? table.erase(it) : std::next(it);
  std::weak_ptr<const void> owner;
  if (object.Item()) owner = object.Item();
  if (object.MenuItem()) owner = object.MenuItem();
  table[object.Identity()] = ItemDescription{owner, description};
}

}  // namespace

const std::string& QPX_Framework_SkinnedGUI_CurrentFile() { return CurrentFile(); }

Value QPX_Framework_GUI_GetObjectDescription(const QPX_Framework_GUI_Object& object) {
  if (const std::shared_ptr<View>& view = object.View()) return QPX_Framework_GUI_GetDescription(*view);
  if (std::shared_ptr<platform::ui::Window> window = object.Window())
    return QPX_Framework_GUI_GetDescription(*window);
  auto& table = ItemDescriptions();
  auto it = table.find(object.Identity());
  if (it == table.end() || it->second.owner.expired()) return Value();
  return it->second.description;
}

// ---- Creating objects ----

namespace {

// NSString's integerValue: leading blanks, an optional sign, digits; 0 when none.
long long IntegerOfKey(const std::string& key) { return std::strtoll(key.c_str(), nullptr, 10); }

Value FinalDescription(const Value& description) {
  Value result = description;
  const Value override = description.get("QPX Override");
  if (override.isDictionary()) {
    result = QPX_Framework_PList_MutableDeepCopy(description);
    QPX_Framework_DictionaryOverride(result, override);
  }
  const Value releases = result.get("VOQ Release");
  if (releases.isDictionary()) {
    const long long release = QPX_Framework_ApplicationInfo.releaseNumber;
    Value merged = result;
    for (const auto& [key, entry] : releases.dictionary()) {
      if (IntegerOfKey(key) != release) continue;
      QPX_Assert_Detail(entry.isDictionary(), Value("\"VOQ Release\" entry " + key + " is not a dictionary"));
      merged = QPX_Framework_PList_MutableDeepCopy(merged);
      QPX_Framework_DictionaryOverride(merged, entry);
    }
    result = merged;
  }
  return result;
}

bool AcceptsToolTip(const QPX_Framework_GUI_Object& object) {
  if (object.View()) return true;
  return object.Item() && object.Item()->AcceptsToolTip();
}

bool AcceptsHidden(const QPX_Framework_GUI_Object& object) {
  if (object.View()) return true;
  return object.Item() && object.Item()->AcceptsHidden();
}

// A scroll view made by a text-editing type stores its inner text view under the name
// itself; the scroll view then leaves the entry to it.
bool IsDocumentOf(const QPX_Framework_GUI_Object& object, const QPX_Framework_GUI_Object& existing) {
  auto* holder = dynamic_cast<QPX_Framework_GUI_DocumentHolder*>(object.View().get());
  return holder != nullptr && existing.View() && holder->DocumentView() == existing.View();
}

void ApplyStandardTags(QPX_Framework_GUI_Objects& objects, const QPX_Framework_GUI_Object& object,
                       const Value& description) {
  const Value name = description.get("Name");
  if (name.isString()) {
    const std::string& key = name.string();
    const QPX_Framework_GUI_Object existing = objects.Get(key);
    if (!existing || !IsDocumentOf(object, existing)) {
      if (existing) QPX_Log(QPX_LOG_ERROR, "Duplicate name \"%s\"", key.c_str());
      QPX_Assert_Detail(!existing, Value("duplicate \"Name\" in a GUI description: " + key));
      objects.Set(key, object);
    }
    if (QPX_Framework_GUI_AcceptsTag(object)) QPX_Framework_GUI_SetNameTag(object, key);
  }
  const Value toolTip = description.get("ToolTip");
  if (!toolTip.isNull()) {
    QPX_Assert_Detail(AcceptsToolTip(object),
                      Value("\"ToolTip\" on an object without tool tips: " + description.Description()));
    const std::string text =
        QPX_Framework_LocalizedString(toolTip.isString() ? toolTip.string() : std::string());
    if (const std::shared_ptr<View>& view = object.View())
      view->SetToolTip(text);
    else
      object.Item()->SetToolTip(text);
  }
  const Value hidden = description.get("Hidden");
  if (!hidden.isNull()) {
    QPX_Assert_Detail(AcceptsHidden(object),
                      Value("\"Hidden\" on an object that cannot hide: " + description.Description()));
    const bool truth = hidden.toBool();
    if (const std::shared_ptr<View>& view = object.View())
      view->SetHidden(truth);
    else
      object.Item()->SetHidden(truth);
  }
  const Value userData = description.get("UserData");
  if (!userData.isNull() && name.isString()) objects.SetUserData(name.string(), userData);
}

// Creates the object without placing it.
QPX_Framework_GUI_Object CreateObject(QPX_Framework_GUI_Objects& objects, const Value& original) {
  if (!original.isDictionary()) return {};
  const Value description = FinalDescription(original);
  const Value type = description.get("Type");
  if (!type.isString()) return {};
  const QPX_Framework_GUI_ObjectType* row = QPX_Framework_GUI_FindObjectType(type.string());
  if (row == nullptr) return {};
  if (!row->creator) {
    QPX_Log(QPX_LOG_ERROR, "Object type \"%s\" is not available in this build; skipped",
            type.string().c_str());
    return {};
  }
  QPX_Framework_GUI_Object object = row->creator(objects, description);
  if (!object) return {};
  EnterDescription(object, description);
  if (row->type == QPX_Framework_GUI_WindowType) {
    std::shared_ptr<platform::ui::Window> window = object.Window();
    QPX_Assert_Detail(window && window->ContentView(), Value("a window without content view"));
    QPX_Framework_GUI_SetDescription(*window->ContentView(), description);
    platform::ui::Size screen;
    QPX_Framework_GUI_FitWindowToScreen(
        *window, QPX_Framework_Screensize_Get(window.get(), screen) ? std::optional(screen) : std::nullopt);
  }
  if (const std::shared_ptr<QPX_Framework_GUI_Item>& item = object.Item();
      item && item->AcceptsPositionSaveName() && description.get("Name").isString())
    item->SetPositionSaveName(CurrentFile() + ": " + description.get("Name").string());
  ApplyStandardTags(objects, object, description);
  return object;
}

}  // namespace

QPX_Framework_GUI_Object QPX_Framework_CreateMyObject(QPX_Framework_GUI_Objects& objects,
                                                      const Value& description) {
  QPX_Framework_GUI_Object object = CreateObject(objects, description);
  if (object && description.contains("Location")) {
    QPX_Assert_Detail(object.IsView(), Value("\"Location\" on an object that is not a view"));
    QPX_Framework_GUI_PlaceView(object.View().get(), description);
  }
  return object;
}

bool QPX_Framework_CreateMyObjects(QPX_Framework_GUI_Objects& objects, const Value& descriptions,
                                   View* parent) {
  if (!descriptions.isArray()) return true;
  for (const Value& description : descriptions.array()) {
    const QPX_Framework_GUI_Object object = CreateObject(objects, description);
    if (!object) continue;
    if (const std::shared_ptr<View>& view = object.View()) {
      QPX_Framework_GUI_PlaceView(view.get(), description);
      if (parent != nullptr) {
        if (auto* adds = dynamic_cast<QPX_Framework_GUI_AddsToSuperview*>(view.get()))
          adds->AddToSuperview(*parent);
        else
          QPX_Framework_GUI_AddSubview(*parent, view);
      }
      QPX_Framework_GUI_SetBaseFrame(*view, view->Frame());
    } else if (std::shared_ptr<gui::TabViewItem> item = object.As<gui::TabViewItem>()) {
      // Placing one is a broken description: only views have a place.
      QPX_Assert_Detail(!description.contains("Location"), Value("\"Location\" on a tab-view item"));
      auto* tabView = dynamic_cast<gui::TabView*>(parent);
      QPX_Assert_Detail(tabView != nullptr, Value("a tab-view item outside a tab view"));
      tabView->AddTabViewItem(item);
    }
  }
  return true;
}

// ---- Building files ----

namespace {

// An array's first element is a header when it is a dictionary of nothing but attributes.
bool IsHeader(const Value& element) {
  if (!element.isDictionary()) return false;
  for (const std::string& key : element.keys())
    if (key != "Attributes" && key != "Apple: Attributes") return false;
  return true;
}

std::string GUIPath(const std::string& fileName) {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::Main();
  return (bundle ? bundle->resourcesPath() : std::string(".")) + "/GUI/" + fileName;
}

}  // namespace

std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_SkinnedGUI_Create_Internal(
    const std::string& fileName, bool keepAttributes) {
  QPX_Log(QPX_LOG_TRACE, "%s", fileName.c_str());
  QPX_Framework_GUI_ObjectTypes();
  CurrentFile() = fileName;
  const std::string path = GUIPath(fileName);
  QPX_Log(QPX_LOG_TRACE, "%s", path.c_str());
  std::shared_ptr<QPX_Framework_GUI_Objects> objects;
  const std::optional<Value> list = _QPX_Framework_ReadGUIPList(path);
  if (!list || !list->isArray()) {
    QPX_Log(QPX_LOG_ERROR, "Unable to read \"%s\"", path.c_str());
  } else {
    Value descriptions = *list;
    bool pushed = false;
    if (!descriptions.empty() && IsHeader(descriptions.at(0))) {
      QPX_Framework_SkinnedGUI_PushAttributes(descriptions.at(0));
      pushed = true;
      descriptions.removeAt(0);
    }
    objects = QPX_Framework_GUI_Objects::Make();
    QPX_Framework_CreateMyObjects(*objects, descriptions, nullptr);
    if (pushed && !keepAttributes) QPX_Framework_SkinnedGUI_PopAttributes();
  }
  if (!objects) QPX_Log(QPX_LOG_TRACE, "Unable to load \"%s\"", fileName.c_str());
  return objects;
}

std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_SkinnedGUI_Create(const std::string& fileName) {
  // Right-to-left is settled before anything is built.
  QPX_Framework_IsRightToLeftUI();
  return QPX_Framework_SkinnedGUI_Create_Internal(fileName, false);
}

std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_SkinnedGUI_LoadAttributes(
    const std::string& fileName) {
  return QPX_Framework_SkinnedGUI_Create_Internal(fileName, true);
}

std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_SkinnedGUI_CreateMulti(
    const std::vector<std::string>& fileNames) {
  QPX_Assert_Detail(!fileNames.empty() && !fileNames.front().empty(), Value("no GUI file to build"));
  std::shared_ptr<QPX_Framework_GUI_Objects> merged = QPX_Framework_SkinnedGUI_Create(fileNames.front());
  if (!merged) return nullptr;
  for (std::size_t i = 1; i < fileNames.size() && !fileNames[i].empty(); ++i) {
    std::shared_ptr<QPX_Framework_GUI_Objects> more = QPX_Framework_SkinnedGUI_Create(fileNames[i]);
    if (!more) return nullptr;
    merged->Merge(*more);
  }
  return merged;
}

Value QPX_Framework_GUI_GetUserData(const QPX_Framework_GUI_Objects& objects, const std::string& name) {
  return objects.UserData().get(name);
}

std::map<std::string, platform::ui::Color> QPX_Framework_GUI_ReadColorList(const std::string& fileName) {
  const std::optional<Value> list = platform::plist::ReadFile(GUIPath(fileName));
  QPX_Assert_Detail(list && list->isArray() && list->size() == 1 && list->at(0).isDictionary(),
                    Value("the colour list " + fileName + " is not one dictionary in an array"));
  std::map<std::string, platform::ui::Color> colors;
  for (const auto& [name, spec] : list->at(0).dictionary()) {
    QPX_Assert_Detail(spec.isString(), Value("colour " + name + " of " + fileName + " is not a text"));
    if (std::optional<platform::ui::Color> color = QPX_Framework_GetColorFromString(spec.string()))
      colors[name] = *color;
  }
  return colors;
}
