#include "gui/builder_main_window.h"

#include "app/project.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "gui/builder.h"
#include "gui/position_window.h"
#include "gui/switch_view.h"

namespace {
std::shared_ptr<QPX_Framework_GUI_Objects>& MainObjects() {
  static auto* objects = new std::shared_ptr<QPX_Framework_GUI_Objects>();
  return *objects;
}
}  // namespace

std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_GUI_MainObjects() { return MainObjects(); }

std::shared_ptr<platform::ui::Window> QPX_Framework_GUI_OpenMainWindow() {
  if (!MainObjects()) MainObjects() = QPX_Framework_SkinnedGUI_Create("GUI.plist");
  const std::shared_ptr<QPX_Framework_GUI_Objects>& objects = MainObjects();
  if (!objects) return nullptr;
  auto window = objects->Get<QPX_Framework_PositionSavingWindow>("Main");
  if (!window) {
    QPX_Log(QPX_LOG_ERROR, "GUI.plist describes no window \"Main\"");
    return nullptr;
  }
  // A skinned window shows no title, but the window system lists it by one.
  if (window->GetWindow()->Title().empty())
    window->GetWindow()->SetTitle(QPX_Framework_ApplicationInfo.displayName);
  window->GetWindow()->SetIdentifier("Main Window");
  // Without a menu bar of the system's own, the main window carries the application's menus
  // (quitting among them).
  window->GetWindow()->SetShowsMainMenu(true);
  for (const auto& [name, object] : objects->Objects()) {
    std::shared_ptr<QPX_Framework_SwitchView> switchView = object.As<QPX_Framework_SwitchView>();
    if (switchView && switchView->GetWindow() == window->GetWindow() && switchView->intValue() < 0)
      switchView->QPX_Framework_SwitchView_Display(0);
  }
  window->Open();
  return window->GetWindow();
}

void QPX_Framework_GUI_RegisterClasses() {
  QPX_Framework_Project_SetMainWindowMaker(&QPX_Framework_GUI_OpenMainWindow);
}
