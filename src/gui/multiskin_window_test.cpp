// Multiskin windows: configurations, switching skins with the top edge kept, dragging.

#include "gui/multiskin_window.h"

#include <gtest/gtest.h>

#include "gui/builder_test_support.h"
#include "platform/ui/application.h"

namespace {

using platform::ui::Event;
using platform::ui::Image;
using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;

class MultiskinWindowTest : public builder_testing::GuiTest {};

TEST_F(MultiskinWindowTest, SwitchingKeepsTheTopLeftCornerOfABorderlessWindow) {
  auto window = QPX_Framework_MultiskinWindow::init();
  ASSERT_TRUE(window);
  EXPECT_EQ(window->GetWindow()->StyleMask(), platform::ui::kBorderlessWindowMask);
  EXPECT_FALSE(window->GetWindow()->IsOpaque());
  ASSERT_TRUE(window->QPX_Framework_MultiskinWindow_SetSkin(Image::Empty(Size{300, 200}), "Large"));
  ASSERT_TRUE(window->QPX_Framework_MultiskinWindow_SetSkin(Image::Empty(Size{200, 100}), "Small"));
  EXPECT_FALSE(window->QPX_Framework_MultiskinWindow_SetSkin(std::string("Nowhere.png"), "Small"));
  auto meter = View::Make(Rect(0, 0, 40, 10));
  auto label = View::Make(Rect(0, 0, 60, 10));
  window->QPX_Framework_MultiskinWindow_AddView(meter, Point{10.9, 20.5}, "Large");
  window->QPX_Framework_MultiskinWindow_AddView(label, Point{5, 5}, "Large");
  window->QPX_Framework_MultiskinWindow_AddView(meter, Point{100, 40}, "Small");

  window->QPX_Framework_MultiskinWindow_SetCurrent("Large");
  const std::shared_ptr<platform::ui::Window>& w = window->GetWindow();
  w->SetFrameOrigin(Point{100, 400});
  EXPECT_EQ(w->Frame(), Rect(100, 400, 300, 200));
  EXPECT_EQ(meter->Frame().origin, (Point{10, 20}));
  EXPECT_EQ(meter->Superview(), w->ContentView());

  window->QPX_Framework_MultiskinWindow_SetCurrent("Small");
  EXPECT_EQ(w->Frame(), Rect(100, 500, 200, 100));
  EXPECT_EQ(window->QPX_Framework_MultiskinWindow_GetCurrent(), std::optional<std::string>("Small"));
  EXPECT_EQ(meter->Frame().origin, (Point{100, 40}));
  EXPECT_EQ(meter->Superview(), w->ContentView());
  EXPECT_EQ(label->Superview(), nullptr);

  window->QPX_Framework_MultiskinWindow_SetCurrent("Large");
  EXPECT_EQ(w->Frame(), Rect(100, 400, 300, 200));
  EXPECT_EQ(label->Superview(), w->ContentView());

  // An unknown configuration is made empty.
  window->QPX_Framework_MultiskinWindow_SetCurrent("Empty");
  EXPECT_EQ(w->Frame().maxY(), 600);
  EXPECT_EQ(window->QPX_Framework_MultiskinWindow_Configurations().size(), 3u);
}

TEST_F(MultiskinWindowTest, ATitledWindowKeepsItsTitleBar) {
  auto window = QPX_Framework_MultiskinWindow::QPX_Framework_MultiskinWindow_initWithName(
      std::string("Mini"), std::string("Mini"));
  EXPECT_EQ(window->SaveName(), std::optional<std::string>("Mini"));
  EXPECT_EQ(window->GetWindow()->Title(), "Mini");
  window->QPX_Framework_MultiskinWindow_SetSkin(Image::Empty(Size{300, 200}), "Large");
  window->QPX_Framework_MultiskinWindow_SetCurrent("Large");
  EXPECT_EQ(window->GetWindow()->Frame().size, (Size{300, 200 + platform::ui::Window::kTitleBarHeight}));
  EXPECT_EQ(window->GetWindow()->ContentRect().size, (Size{300, 200}));
}

TEST_F(MultiskinWindowTest, DraggingAndClosing) {
  auto window = QPX_Framework_MultiskinWindow::init();
  window->QPX_Framework_MultiskinWindow_SetSkin(Image::Empty(Size{100, 60}), "Only");
  window->QPX_Framework_MultiskinWindow_SetCurrent("Only");
  const std::shared_ptr<platform::ui::Window>& w = window->GetWindow();
  w->SetFrameOrigin(Point{50, 50});
  const Rect screen = platform::ui::Application::MainScreenFrame();
  auto at = [&](Event::Type type, Point onScreen) {
    Event event;
    event.type = type;
    event.window = w.get();
    event.locationInWindow =
        Point{onScreen.x - w->ContentRect().minX(), onScreen.y - w->ContentRect().minY()};
    return event;
  };
  auto skin = std::dynamic_pointer_cast<QPX_Framework_SkinnedView>(w->ContentView());
  ASSERT_TRUE(skin);
  skin->MouseDown(at(Event::Type::LeftMouseDown, Point{60, 60}));
  skin->MouseDragged(at(Event::Type::LeftMouseDragged, Point{70, screen.maxY() + 100}));
  EXPECT_EQ(w->Frame(), Rect(60, screen.maxY() - 60, 100, 60));
  skin->MouseDragged(at(Event::Type::LeftMouseDragged, Point{30, 30}));
  EXPECT_EQ(w->Frame().origin, (Point{20, 20}));
  skin->MouseUp(at(Event::Type::LeftMouseUp, Point{30, 30}));
  EXPECT_FALSE(window->IsDragging());

  window->QPX_Framework_MultiskinWindow_Open();
  EXPECT_TRUE(w->IsVisible());
  w->SetShouldCloseHandler([] { return false; });
  window->performClose();
  EXPECT_TRUE(w->IsVisible());
  w->SetShouldCloseHandler(nullptr);
  window->performClose();
  EXPECT_FALSE(w->IsVisible());
}

}  // namespace
