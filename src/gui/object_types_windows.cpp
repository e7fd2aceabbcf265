// The window rows of the table of object types: "Window" (plain, skinned and three-part
// skinned windows) and "MultiskinWindow".

#include <memory>

#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "gui/attributes.h"
#include "gui/builder.h"
#include "gui/custom_window.h"
#include "gui/debug_indicator.h"
#include "gui/multiskin_window.h"
#include "gui/object_types.h"
#include "gui/object_types_platform_views.h"
#include "gui/object_types_three_part_image.h"
#include "gui/position_window.h"
#include "gui/rtl.h"

using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;

// A textured window background; kept in the style so that it can be asked for.
static constexpr unsigned kTexturedBackgroundWindowMask = 1u << 8;

namespace {

// The window object a "Window" description gets, with its style worked out.
std::shared_ptr<QPX_Framework_PositionSavingWindow> MakeWindow(const Value& d) {
  unsigned style = platform::ui::kTitledWindowMask | platform::ui::kClosableWindowMask;
  const Value subType = d.get("SubType");
  if (subType != Value("Striped")) style |= kTexturedBackgroundWindowMask;
  if (d.contains("Closeable")) {
    const Value closeable = d.get("Closeable");
    QPX_Assert_Detail(closeable.isNumber(),
                      Value("\"Closeable\" is not a number: " + closeable.Description()));
    if (!closeable.toBool()) style &= ~platform::ui::kClosableWindowMask;
  }
  if (d.contains("MinSize") || d.contains("MaxSize")) style |= platform::ui::kResizableWindowMask;
  const std::optional<std::string> title = QPX_Framework_GUI_LocalizedText(d, "Title");

  if (d.contains("SkinImage") || subType == Value("Custom")) {
    const std::optional<std::string> skinName = d.get("SkinImage").optString();
    QPX_Framework_CustomWindow::Skin skin;
    if (skinName) skin = QPX_Framework_GetImage(skinName);
    std::shared_ptr<QPX_Framework_CustomWindow> window =
        QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage(skin, title);
    if (window && !skinName) {
      // An empty content of the described size (the window's own empty skinned view, which
      // follows the content size).
      Size size{10, 10};
      QPX_Framework_GetSize(d.get("Size"), size);
      window->GetWindow()->SetContentSize(size);
    }
    return window;
  }

  const Value top = d.get("SkinImage Top");
  const Value middle = d.get("SkinImage Middle");
  const Value bottom = d.get("SkinImage Bottom");
  QPX_Log(QPX_LOG_CALLS, "Trares %s|%s|%s", top.Description().c_str(), middle.Description().c_str(),
          bottom.Description().c_str());
  if (!top.isNull() && !middle.isNull() && !bottom.isNull()) {
    std::shared_ptr<platform::ui::Image> topImage = QPX_Framework_GetImage(top.optString());
    std::shared_ptr<platform::ui::Image> middleImage = QPX_Framework_GetImage(middle.optString());
    std::shared_ptr<platform::ui::Image> bottomImage = QPX_Framework_GetImage(bottom.optString());
    QPX_Framework_CustomWindow::Skin skin;
    Size size;
    if (QPX_Framework_GetSize(d.get("Size"), size) && topImage && middleImage && bottomImage)
      if (std::shared_ptr<platform::ui::Image> composed =
              QPX_Framework_ThreePartImage(topImage, middleImage, bottomImage, size))
        skin = composed;
    return QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage(skin, title);
  }

  std::shared_ptr<QPX_Framework_PositionSavingWindow> window =
      QPX_Framework_PositionSavingWindow::Make(Rect(), style);
  const std::shared_ptr<platform::ui::Window>& platformWindow = window->GetWindow();
  std::shared_ptr<View> content = platformWindow->ContentView();
  QPX_Framework_SizeMyObject(content.get(), d.get("Size"));
  platformWindow->SetContentSize(content->Frame().size);
  Size minimum{100, 60};
  Size maximum{10000, 10000};
  bool limited = QPX_Framework_GetSize(d.get("MinSize"), minimum);
  // A maximum counts only for a window without a usable minimum.
  if (!limited) limited = QPX_Framework_GetSize(d.get("MaxSize"), maximum);
  if (limited) {
    platformWindow->SetContentMinSize(minimum);
    platformWindow->SetContentMaxSize(maximum);
  }
  platformWindow->SetTitle(title ? *title : QPX_Framework_ApplicationInfo.displayName);
  return window;
}

// "Tabchain": each named object's next key view is the one after it, the last one's the
// first; the first starts the loop.
void ApplyTabchain(QPX_Framework_GUI_Objects& objects, QPX_Framework_PositionSavingWindow& window,
                   const Value& chain) {
  const std::size_t count = chain.size();
  if (count == 0) return;
  auto resolve = [&](std::size_t index) {
    const std::string name = chain.at(index).stringOr("");
    std::shared_ptr<View> view = objects.Get<View>(name);
    if (!view) {
      QPX_Log(QPX_LOG_ERROR, "Tabchain index %d: \"%s\" doesn't exist", int(index), name.c_str());
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                  Value("Tabchain names no view: " + name));
    }
    return view;
  };
  std::shared_ptr<View> first = resolve(0);
  for (std::size_t i = 0; i < count; ++i) {
    std::shared_ptr<View> current = resolve(i);
    std::shared_ptr<View> next = i + 1 < count ? resolve(i + 1) : first;
    gui::SetNextKeyView(*current, next);
  }
  window.SetInitialFirstResponder(first);
}

QPX_Framework_GUI_Object CreateWindow(QPX_Framework_GUI_Objects& objects, const Value& d) {
  std::shared_ptr<QPX_Framework_PositionSavingWindow> window = MakeWindow(d);
  if (!window) return {};
  const std::shared_ptr<platform::ui::Window>& platformWindow = window->GetWindow();
  // Not released when closed: the platform window stays usable after Close.
  const Value level = d.get("Level");
  if (!level.isNull()) {
    if (level == Value("Normal"))
      platformWindow->SetLevel(platform::ui::kNormalWindowLevel);
    else if (level == Value("Floating"))
      platformWindow->SetLevel(platform::ui::kFloatingWindowLevel);
    else
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                  Value("unknown window \"Level\": " + level.Description()));
  }

  objects.SetCurrentWindow(window);
  QPX_Framework_SkinnedGUI_PushAttributes(d);
  if (std::optional<platform::ui::Color> background =
          QPX_Framework_GUI_GetAttributeColor(d, "Window Background"))
    platformWindow->SetBackgroundColor(*background);
  std::shared_ptr<View> content = platformWindow->ContentView();
  QPX_Framework_CreateMyObjects(objects, d.get("Contents"), content.get());
  QPX_Framework_SkinnedGUI_PopAttributes();
  // The layer draws no frame of its own around the content: what belongs on the frame lies
  // on top of the content.
  QPX_Framework_CreateMyObjects(objects, d.get("Frame"), content.get());
  if (platformWindow->StyleMask() & platform::ui::kResizableWindowMask)
    QPX_Framework_GUI_ObserveWindowResize(platformWindow);
  const Value tabchain = d.get("Tabchain");
  if (tabchain.isArray()) ApplyTabchain(objects, *window, tabchain);
  window->SetAutorecalculatesKeyViewLoop(!d.contains("Tabchain"));
  objects.SetCurrentWindow({});
  QPX_Framework_Window_AddDebugIndicator(platformWindow);
  QPX_Framework_GUI_SetRightToLeftIfNeeded(*platformWindow);
  return window;
}

QPX_Framework_GUI_Object CreateMultiskinWindow(QPX_Framework_GUI_Objects& objects, const Value& d) {
  std::shared_ptr<QPX_Framework_MultiskinWindow> window =
      QPX_Framework_MultiskinWindow::QPX_Framework_MultiskinWindow_InitWithTitle(
          QPX_Framework_GUI_LocalizedText(d, "Title"));
  if (!window) return {};
  for (const Value& configuration : d.get("Contents").array()) {
    const std::optional<std::string> name = configuration.get("Name").optString();
    if (!name) continue;
    if (std::optional<std::string> skin = configuration.get("SkinImage").optString())
      window->QPX_Framework_MultiskinWindow_SetSkin(QPX_Framework_GetImage(skin), *name);
    for (const Value& entry : configuration.get("Contents").array()) {
      // Only objects described earlier in the file exist by now.
      std::shared_ptr<View> view = objects.Get<View>(entry.get("Name").stringOr(""));
      if (!view) continue;
      Point position{0, 0};
      QPX_Framework_GUI_ParseLocation(entry.get("Location"), position);
      window->QPX_Framework_MultiskinWindow_AddView(view, position, *name);
    }
  }
  return window;
}

}  // namespace

void QPX_Framework_GUI_RegisterWindowTypes() {
  QPX_Framework_GUI_RegisterObjectType(QPX_Framework_GUI_WindowType, &CreateWindow);
  QPX_Framework_GUI_RegisterObjectType("MultiskinWindow", &CreateMultiskinWindow);
}
