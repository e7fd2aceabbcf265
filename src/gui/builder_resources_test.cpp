// The GUI files and images the application ships: they build, every image they name is
// there, and the main window comes out with its skin and parts.

#include <gtest/gtest.h>

#include <filesystem>

#include "gui/builder.h"
#include "gui/builder_test_support.h"
#include "gui/custom_window.h"
#include "gui/multiskin_window.h"
#include "gui/object_types.h"
#include "gui/object_types_platform_views.h"
#include "gui/switch_view.h"

namespace {

using platform::ui::Size;
using platform::ui::View;

class ShippedGuiTest : public builder_testing::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    const std::filesystem::path source = builder_testing::SourceResources();
    ASSERT_TRUE(std::filesystem::exists(source / "GUI/GUI.plist")) << source;
    for (const char* folder : {"GUI", "Images"})
      std::filesystem::copy(
          source / folder, std::filesystem::path(fixture_.resourcesPath()) / folder,
          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
  }
};

TEST_F(ShippedGuiTest, TheMainFileBuildsWithAllItsImages) {
  std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("GUI.plist");
  ASSERT_TRUE(objects);
  for (const auto& line : builder_testing::CapturedLog()) {
    EXPECT_NE(line.level, QPX_LOG_ERROR) << line.text;
    EXPECT_EQ(line.text.find("Unable to load image"), std::string::npos) << line.text;
  }

  auto main = objects->Get<QPX_Framework_CustomWindow>("Main");
  ASSERT_TRUE(main);
  EXPECT_EQ(main->SaveName(), std::optional<std::string>("GUI.plist: Main"));
  EXPECT_EQ(main->GetWindow()->Frame().size, (Size{400, 260}));
  auto state = objects->Get<QPX_Framework_SwitchView>("Connection State");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->QPX_Framework_SwitchView_Subviews().size(), 3u);
  EXPECT_EQ(QPX_Framework_GUI_GetUserData(*objects, "Connection State").get("Connected"), Value(2));
  EXPECT_EQ(objects->Get<QPX_Framework_SwitchView>("Device Icon")->QPX_Framework_SwitchView_Subviews().size(),
            2u);
  EXPECT_EQ(objects->Get<View>("Signal Level")->Superview(),
            objects->Get<gui::Box>("Signal Box")->ContentView());
  // Every part lies inside the skin.
  for (const std::string name :
       {"Header", "Device Icon", "Connection State", "Signal Box", "Details", "Status Bar"}) {
    const platform::ui::Rect frame = objects->Get<View>(name)->Frame();
    EXPECT_TRUE(frame.minX() >= 0 && frame.minY() >= 0 && frame.maxX() <= 400 && frame.maxY() <= 260) << name;
  }

  // The release rule and the override of the included settings window.
  auto settings = objects->Get<QPX_Framework_PositionSavingWindow>("Settings");
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->GetWindow()->Title(), "Dashboard Settings");
  EXPECT_EQ(objects->Get<gui::TabView>("Settings Tabs")->NumberOfTabViewItems(), 3u);
  const Value online = QPX_Framework_GUI_GetDescription(*objects->Get<View>("Details Online"));
  EXPECT_EQ(online.get("Attributes").get("Progress Fill Color"), Value("RGBA:46:196:182"));
  EXPECT_EQ(online.get("Attributes").get("Progress Animation Color"), Value("RGBA:238:243:248"));

  auto usage = objects->Get<QPX_Framework_CustomWindow>("Usage");
  ASSERT_TRUE(usage);
  EXPECT_EQ(usage->SkinView()->QPX_Framework_SkinnedView_Image()->size(), (Size{320, 200}));

  auto mini = objects->Get<QPX_Framework_MultiskinWindow>("Mini");
  ASSERT_TRUE(mini);
  EXPECT_EQ(mini->QPX_Framework_MultiskinWindow_Configurations().size(), 2u);
  mini->QPX_Framework_MultiskinWindow_SetCurrent("Compact");
  EXPECT_EQ(mini->GetWindow()->Frame().size, (Size{240, 64}));
  mini->QPX_Framework_MultiskinWindow_SetCurrent("Full");
  EXPECT_EQ(mini->GetWindow()->Frame().size, (Size{240, 150}));

  // Another release has no Wi-Fi icon.
  QPX_Framework_ApplicationInfo.releaseNumber = 2;
  objects = QPX_Framework_SkinnedGUI_Create("GUI.plist");
  EXPECT_EQ(objects->Get<QPX_Framework_SwitchView>("Device Icon")->QPX_Framework_SwitchView_Subviews().size(),
            1u);
  EXPECT_EQ(objects->Get<QPX_Framework_PositionSavingWindow>("Settings")->GetWindow()->Title(), "Settings");
}

TEST_F(ShippedGuiTest, TheMenuFileWaitsForTheMenuType) {
  const std::optional<Value> menus =
      _QPX_Framework_ReadGUIPList(fixture_.resourcesPath() + "/GUI/Menu.plist");
  ASSERT_TRUE(menus && menus->isArray());
  EXPECT_EQ(menus->size(), 3u);
  for (const Value& menu : menus->array()) {
    EXPECT_EQ(menu.get("Type"), Value("Menu"));
    EXPECT_TRUE(menu.get("Contents").isArray());
  }
  std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("Menu.plist");
  ASSERT_TRUE(objects);
  if (!QPX_Framework_GUI_FindObjectType("Menu")->creator) {
    EXPECT_TRUE(Logged(QPX_LOG_ERROR, "\"Menu\""));
  }
}

}  // namespace
