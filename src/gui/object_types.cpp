#include "gui/object_types.h"

#include "framework/core/log.h"
#include "framework/core/strings.h"
#include "gui/colors.h"

const char* const QPX_Framework_GUI_WindowType = "Window";

namespace {

std::vector<QPX_Framework_GUI_ObjectType>& Rows() {
  // Every type a description may name, in the order the table has always had them.
  static auto* rows = new std::vector<QPX_Framework_GUI_ObjectType>{
      {"Window", {}},
      {"MultiskinWindow", {}},
      {"MultipartWindow", {}},
      {"Level", {}},
      {"View", {}},
      {"TabView", {}},
      {"TabItem", {}},
      {"Button", {}},
      {"SwitchView", {}},
      {"Listview", {}},
      {"ImageSwitchView", {}},
      {"Image", {}},
      {"Scrollview", {}},
      {"Dropdown", {}},
      {"Checkbox", {}},
      {"Text", {}},
      {"TextEdit", {}},
      {"TextEntry", {}},
      {"Table", {}},
      {"Ignore", {}},
      {"RadioButtons", {}},
      {"Menu", {}},
      {"ProgressIndicator", {}},
      {"WebView", {}},
      {"ScrollviewPlain", {}},
      {"DatePicker", {}},
      {"OutlineView", {}},
      {"Box", {}},
      {"CollectionView", {}},
      {"PopupWindow", {}},
      {"ButtonMenu", {}},
      {"ButtonMenu New", {}},
      {"WarningLevel", {}},
      {"BubbleBox", {}},
      {"AnimatedImage", {}},
      {"Icon/Text Button", {}},
      {"Gradient Button", {}},
      {"Line", {}},
  };
  return *rows;
}

void EnsureCreators() {
  static bool entered = false;
  if (entered) return;
  entered = true;
  // Each group of classes enters its rows here as it becomes available.
  QPX_Framework_GUI_RegisterWindowTypes();
  QPX_Framework_GUI_RegisterContainerTypes();
}

}  // namespace

const std::vector<QPX_Framework_GUI_ObjectType>& QPX_Framework_GUI_ObjectTypes() {
  EnsureCreators();
  return Rows();
}

const QPX_Framework_GUI_ObjectType* QPX_Framework_GUI_FindObjectType(const std::string& type) {
  EnsureCreators();
  for (const QPX_Framework_GUI_ObjectType& row : Rows())
    if (row.type == type) return &row;
  return nullptr;
}

void QPX_Framework_GUI_RegisterObjectType(const std::string& type, QPX_Framework_GUI_Creator creator) {
  for (QPX_Framework_GUI_ObjectType& row : Rows()) {
    if (row.type == type) {
      row.creator = std::move(creator);
      return;
    }
  }
  QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                              Value("\"" + type + "\" is not a row of the table of object types"));
}

std::optional<platform::ui::Color> QPX_Framework_GUI_DescriptionColor(const Value& description,
                                                                      const std::string& key) {
  const Value spec = description.get(key);
  if (spec.isNull()) return std::nullopt;
  QPX_Assert_Detail(spec.isString(), Value("colour \"" + key + "\" is not a text: " + spec.Description()));
  return QPX_Framework_GetColorFromString(spec.string());
}

std::optional<std::string> QPX_Framework_GUI_LocalizedText(const Value& description, const std::string& key) {
  const Value text = description.get(key);
  if (!text.isString()) return std::nullopt;
  return QPX_Framework_LocalizedString(text.string());
}
