// The application menu and the Edit menu of the main menu, and the registration of the
// project classes.

#include <QApplication>
#include <QMetaObject>
#include <QWidget>

#include "app/debugger.h"
#include "app/project.h"
#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/strings.h"
#include "platform/ui/application.h"
#include "platform/ui/event.h"
#include "platform/ui/menu.h"

using platform::ui::kAlternateKeyMask;
using platform::ui::kCommandKeyMask;

const MenuDefinition QPX_Framework_ApplicationMenuTable[] = {
    {-200, nullptr, 0, "orderFrontStandardAboutPanel:"},
    {0, nullptr, 0, nullptr},
    {-201, "h", kCommandKeyMask, "hide:"},
    {-202, "h", kCommandKeyMask | kAlternateKeyMask, "hideOtherApplications:"},
    {-203, nullptr, 0, "unhideAllApplications:"},
    {0, nullptr, 0, nullptr},
    {-204, "q", kCommandKeyMask, "terminate:"},
    {99, nullptr, 0, nullptr},
};

const MenuTranslation QPX_Framework_EditMenuTable[] = {
    {"Undo", -230}, {"Redo", -231}, {"Cut", -232}, {"Copy", -233}, {"Paste", -234}, {nullptr, 0},
};

namespace {

// "%@" in a localized title stands for the application's name.
std::string FormatWithName(std::string text) {
  const std::string& name = QPX_Framework_ApplicationInfo.name;
  for (std::size_t at = text.find("%@"); at != std::string::npos; at = text.find("%@", at + name.size()))
    text.replace(at, 2, name);
  return text;
}

// Edit actions go to the widget that has the keyboard focus.
void SendEditAction(const char* method) {
  if (QWidget* focus = QApplication::focusWidget()) QMetaObject::invokeMethod(focus, method);
}

}  // namespace

bool QPX_Framework_Application_PerformAction(const std::string& action) {
  using platform::ui::Application;
  if (action == "terminate:") {
    Application::Terminate();
  } else if (action == "hide:") {
    Application::Hide();
  } else if (action == "hideOtherApplications:") {
    Application::HideOtherApplications();
  } else if (action == "unhideAllApplications:") {
    Application::UnhideAllApplications();
  } else if (action == "orderFrontStandardAboutPanel:") {
    const QPX_Framework_ApplicationInfo_Record& info = QPX_Framework_ApplicationInfo;
    Application::OrderFrontAboutPanel({{"ApplicationName", info.displayName}, {"Version", info.buildID}});
  } else if (action == "undo:") {
    SendEditAction("undo");
  } else if (action == "redo:") {
    SendEditAction("redo");
  } else if (action == "cut:") {
    SendEditAction("cut");
  } else if (action == "copy:") {
    SendEditAction("copy");
  } else if (action == "paste:") {
    SendEditAction("paste");
  } else if (action == "selectAll:") {
    SendEditAction("selectAll");
  } else {
    return false;
  }
  return true;
}

void QPX_Framework_Project_LoadMenuFile() {
  using platform::ui::Menu;
  using platform::ui::MenuItem;
  auto main = Menu::Make("Main");
  auto application = Menu::Make(QPX_Framework_ApplicationInfo.name);
  auto appItem = MenuItem::Make(QPX_Framework_ApplicationInfo.name);
  appItem->SetSubmenu(application);
  main->AddItem(appItem);

  auto edit = Menu::Make("Edit");
  struct EditItem {
    const char* title;
    const char* key;
    uint32_t mask;
    const char* action;
  };
  const EditItem items[] = {
      {"Undo", "z", kCommandKeyMask, "undo:"},
      {"Redo", "Z", kCommandKeyMask, "redo:"},
      {nullptr, nullptr, 0, nullptr},
      {"Cut", "x", kCommandKeyMask, "cut:"},
      {"Copy", "c", kCommandKeyMask, "copy:"},
      {"Paste", "v", kCommandKeyMask, "paste:"},
      {"Select All", "a", kCommandKeyMask, "selectAll:"},
  };
  for (const EditItem& item : items) {
    if (item.title == nullptr) {
      edit->AddItem(MenuItem::Separator());
      continue;
    }
    const std::string action = item.action;
    auto menuItem = MenuItem::Make(
        item.title, [action](MenuItem&) { QPX_Framework_Application_PerformAction(action); }, item.key);
    menuItem->SetKeyEquivalentModifierMask(item.mask);
    menuItem->SetActionName(action);
    edit->AddItem(menuItem);
  }
  auto editItem = MenuItem::Make("Edit");
  editItem->SetSubmenu(edit);
  main->AddItem(editItem);
  platform::ui::Application::SetMainMenu(main);
}

void QPX_Framework_Project_CreateMenu(const MenuDefinition* table, std::size_t index) {
  using platform::ui::MenuItem;
  std::shared_ptr<platform::ui::Menu> main = platform::ui::Application::MainMenu();
  std::shared_ptr<MenuItem> holder = main ? main->ItemAt(index) : nullptr;
  std::shared_ptr<platform::ui::Menu> menu = holder ? holder->Submenu() : nullptr;
  if (!menu) {
    QPX_Log(QPX_LOG_ERROR, "The main menu has no submenu at %zu", index);
    return;
  }
  menu->RemoveAllItems();
  for (const MenuDefinition* row = table; row->stringID != 99; ++row) {
    if (row->stringID == 0) {
      menu->AddItem(MenuItem::Separator());
      continue;
    }
    const std::string action = row->action;
    auto item = MenuItem::Make(
        FormatWithName(QPX_Framework_GetString(row->stringID)),
        [action](MenuItem&) { QPX_Framework_Application_PerformAction(action); },
        row->keyEquivalent != nullptr ? row->keyEquivalent : "");
    item->SetKeyEquivalentModifierMask(row->modifierMask);
    item->SetActionName(action);
    menu->AddItem(item);
  }
}

void QPX_Framework_Project_TranslateMenu(const MenuTranslation* table, std::size_t index) {
  std::map<std::string, std::string> titles;
  for (const MenuTranslation* row = table; row->title != nullptr; ++row)
    titles[row->title] = QPX_Framework_GetString(row->stringID);
  std::shared_ptr<platform::ui::Menu> main = platform::ui::Application::MainMenu();
  std::shared_ptr<platform::ui::MenuItem> holder = main ? main->ItemAt(index) : nullptr;
  std::shared_ptr<platform::ui::Menu> menu = holder ? holder->Submenu() : nullptr;
  if (!menu) return;
  for (const auto& item : menu->Items()) {
    if (item->IsSeparator()) continue;
    auto it = titles.find(item->Title());
    if (it != titles.end()) item->SetTitle(it->second);
  }
}

void QPX_Framework_Project::QPX_Framework_Project_CreateApplicationMenu() {
  QPX_Framework_Project_LoadMenuFile();
  QPX_Framework_Project_CreateMenu(QPX_Framework_ApplicationMenuTable, 0);
  QPX_Framework_Project_TranslateMenu(QPX_Framework_EditMenuTable, 1);
}

void QPX_Framework_Project_RegisterClasses() {
  QPX_Framework_ClassEntry project;
  project.name = "QPX_Project";
  project.init = &QPX_Framework_Project::QPX_Framework_Init;
  project.create = [] {
    return std::shared_ptr<platform::ValueObject>(std::make_shared<QPX_Framework_Project_Dashboard>());
  };
  project.bases = {"QPX_Framework_Project", "QPX_Framework_Project_Common", "QPX_Framework_Thread"};
  QPX_Framework_ClassRegistry::Register(std::move(project));
  QPX_Framework_SetClassOperation("QPX_Project", "run", &QPX_Framework_Project_Common::run);

  QPX_Framework_ClassEntry launcher;
  launcher.name = "QPX_Project_HeavyLauncher";
  launcher.init = &QPX_Framework_Project_Common::QPX_Framework_Init;
  launcher.create = [] {
    return std::shared_ptr<platform::ValueObject>(std::make_shared<QPX_Framework_Project_HeavyLauncher>());
  };
  launcher.bases = {"QPX_Framework_Project_Common", "QPX_Framework_Thread"};
  QPX_Framework_ClassRegistry::Register(std::move(launcher));
  QPX_Framework_SetClassOperation("QPX_Project_HeavyLauncher", "run", &QPX_Framework_Project_Common::run);

  QPX_Framework_ClassEntry debugger;
  debugger.name = "QPX_Framework_Debugger";
  debugger.init = &QPX_Framework_Debugger::QPX_Framework_Init;
  QPX_Framework_ClassRegistry::Register(std::move(debugger));
}
