// Custom windows: their look, dragging by the body, skin changes and closing.

#include "gui/custom_window.h"

#include <gtest/gtest.h>

#include "gui/builder_test_support.h"
#include "platform/ui/application.h"

namespace {

using platform::ui::Event;
using platform::ui::Image;
using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;

class CustomWindowTest : public builder_testing::GuiTest {};

// A mouse event at a point of the screen, as the window's content would receive it.
Event MouseAt(const platform::ui::Window& window, Event::Type type, Point onScreen) {
  Event event;
  event.type = type;
  event.clickCount = 1;
  const Rect content = window.ContentRect();
  event.locationInWindow = Point{onScreen.x - content.minX(), onScreen.y - content.minY()};
  return event;
}

TEST_F(CustomWindowTest, WithoutImageOrTitleASmallBorderlessTransparentWindow) {
  auto window = QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage({}, std::nullopt);
  ASSERT_TRUE(window);
  const std::shared_ptr<platform::ui::Window>& w = window->GetWindow();
  EXPECT_EQ(w->StyleMask(), platform::ui::kBorderlessWindowMask);
  EXPECT_EQ(w->Frame().size, (Size{10, 10}));
  EXPECT_FALSE(w->IsOpaque());
  EXPECT_EQ(w->BackgroundColor().alpha, 0);
  EXPECT_EQ(w->AlphaValue(), 1.0);
  EXPECT_TRUE(window->canBecomeKeyWindow() && window->canBecomeMainWindow());

  auto titled = QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage(
      Image::Empty(Size{50, 40}), std::string("Skinned"));
  EXPECT_EQ(titled->GetWindow()->StyleMask(), platform::ui::kTitledWindowMask |
                                                  platform::ui::kClosableWindowMask |
                                                  platform::ui::kMiniaturizableWindowMask);
  EXPECT_EQ(titled->GetWindow()->ContentRect().size, (Size{50, 40}));
  EXPECT_FALSE(QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage(
      std::string("Nowhere.png"), std::nullopt));
}

TEST_F(CustomWindowTest, DraggingByTheBodyStopsAtTheTopOfTheScreen) {
  auto window = QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage(
      Image::Empty(Size{100, 50}), std::nullopt);
  const std::shared_ptr<platform::ui::Window>& w = window->GetWindow();
  w->SetFrameOrigin(Point{100, 100});
  const Rect screen = platform::ui::Application::MainScreenFrame();
  // Through the skinned content view, as the window system delivers it.
  std::shared_ptr<QPX_Framework_SkinnedView> skin = window->SkinView();
  skin->MouseDown(MouseAt(*w, Event::Type::LeftMouseDown, Point{110, 120}));
  EXPECT_TRUE(window->IsDragging());
  skin->MouseDragged(MouseAt(*w, Event::Type::LeftMouseDragged, Point{160, 140}));
  EXPECT_EQ(w->Frame().origin, (Point{150, 120}));
  // Upwards only until the top edge meets the top of the screen.
  skin->MouseDragged(MouseAt(*w, Event::Type::LeftMouseDragged, Point{160, screen.maxY() + 300}));
  EXPECT_EQ(w->Frame().maxY(), screen.maxY());
  // Sideways and down it follows freely.
  skin->MouseDragged(MouseAt(*w, Event::Type::LeftMouseDragged, Point{60, 40}));
  EXPECT_EQ(w->Frame().origin, (Point{50, 20}));
  skin->MouseUp(MouseAt(*w, Event::Type::LeftMouseUp, Point{60, 40}));
  EXPECT_FALSE(window->IsDragging());
  skin->MouseDragged(MouseAt(*w, Event::Type::LeftMouseDragged, Point{500, 400}));
  EXPECT_EQ(w->Frame().origin, (Point{50, 20}));
}

TEST_F(CustomWindowTest, ATallerSkinGrowsTheWindowDownwards) {
  auto window = QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage(
      Image::Empty(Size{100, 50}), std::nullopt);
  const std::shared_ptr<platform::ui::Window>& w = window->GetWindow();
  w->SetFrameOrigin(Point{200, 300});
  ASSERT_TRUE(window->QPX_Framework_CustomWindow_ChangeImage(Image::Empty(Size{120, 80})));
  EXPECT_EQ(w->Frame(), Rect(200, 270, 120, 80));
  EXPECT_EQ(window->SkinView()->Frame().size, (Size{120, 80}));
  EXPECT_FALSE(window->QPX_Framework_CustomWindow_ChangeImage(std::string("Nowhere.png")));
  EXPECT_FALSE(window->QPX_Framework_CustomWindow_ChangeImage({}));
  EXPECT_EQ(w->Frame(), Rect(200, 270, 120, 80));
}

TEST_F(CustomWindowTest, OpeningAndClosing) {
  auto window = QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage(
      Image::Empty(Size{100, 50}), std::nullopt);
  const std::shared_ptr<platform::ui::Window>& w = window->GetWindow();
  window->Open();
  EXPECT_TRUE(w->IsVisible());
  EXPECT_EQ(w->Frame().size, (Size{100, 50}));

  // A window without close button asks its delegate, which may refuse.
  bool allow = false;
  int asked = 0;
  w->SetShouldCloseHandler([&] {
    ++asked;
    return allow;
  });
  window->performClose();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(w->IsVisible());
  allow = true;
  window->performClose();
  EXPECT_FALSE(w->IsVisible());
}

}  // namespace
