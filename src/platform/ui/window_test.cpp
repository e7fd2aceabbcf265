// Windows on the screen in the design's coordinates, child windows, pictures of windows,
// images and fonts.

#include "platform/ui/window.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <QWidget>
#include <filesystem>
#include <fstream>

#include "platform/notifications.h"
#include "platform/ui/image.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/view.h"

namespace platform::ui {
namespace {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureApplication(); }
};

TEST_F(WindowTest, ScreenCoordinatesCountFromTheBottomOfTheScreen) {
  const double screenHeight = Application::MainScreenFrame().height();
  auto window = Window::Make(Rect(100, 50, 300, 200), kTitledWindowMask | kClosableWindowMask);
  // The title bar adds to the frame above the content.
  EXPECT_EQ(window->Frame(), Rect(100, 50, 300, 200 + Window::kTitleBarHeight));
  EXPECT_EQ(window->ContentRect(), Rect(100, 50, 300, 200));
  EXPECT_EQ(window->widget()->geometry(), QRect(100, int(screenHeight) - 250, 300, 200));
  EXPECT_EQ(window->ContentView()->Frame(), Rect(0, 0, 300, 200));

  window->SetContentSize(Size{400, 100});
  // The top edge stays.
  EXPECT_EQ(window->ContentRect(), Rect(100, 150, 400, 100));
  EXPECT_EQ(window->ContentView()->Bounds(), Rect(0, 0, 400, 100));
}

TEST_F(WindowTest, ResizingPostsANoticeAndLaysOutTheContent) {
  auto window = Window::Make(Rect(0, 0, 200, 100), kTitledWindowMask | kResizableWindowMask);
  auto child = View::Make(Rect(10, 10, 50, 20));
  window->ContentView()->AddSubview(child);
  int notices = 0;
  auto observation = NotificationCenter::Default().AddObserver(kWindowDidResizeNotification, window.get(),
                                                               [&](const Notification&) { ++notices; });
  window->SetFrame(window->FrameRectForContentRect(Rect(0, 0, 300, 150)));
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(child->widget()->geometry(), QRect(10, 150 - 30, 50, 20));
  window->SetFrameOrigin(Point{20, 20});  // a move is not a resize
  EXPECT_EQ(notices, 1);
}

TEST_F(WindowTest, ChildWindowsMoveWithTheirParent) {
  auto parent = Window::Make(Rect(100, 100, 200, 200), kTitledWindowMask);
  auto child = Window::Make(Rect(110, 120, 50, 50), kBorderlessWindowMask);
  parent->AddChildWindow(child);
  EXPECT_EQ(child->ParentWindow(), parent);
  parent->SetFrameOrigin(Point{130, 90});
  EXPECT_EQ(child->Frame().origin, (Point{140, 110}));
  parent->RemoveChildWindow(child);
  EXPECT_EQ(child->ParentWindow(), nullptr);
  EXPECT_TRUE(parent->ChildWindows().empty());
}

TEST_F(WindowTest, ASnapshotShowsTheContentAndTheChildWindowsInTheirPlaces) {
  auto window = Window::Make(Rect(100, 100, 100, 80), kBorderlessWindowMask);
  window->SetBackgroundColor(Color::Calibrated(1, 0, 0));
  auto square = View::Make(Rect(10, 5, 20, 20));
  square->SetBackgroundColor(Color::Calibrated(0, 0, 1));
  window->ContentView()->AddSubview(square);
  auto overlay = Window::Make(Rect(160, 100, 40, 80), kBorderlessWindowMask);
  overlay->SetBackgroundColor(Color::Calibrated(0, 1, 0));
  window->OrderFront();
  window->AddChildWindow(overlay);
  overlay->OrderFront();
  testing::Settle();

  std::shared_ptr<Image> picture = window->Snapshot();
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->size(), (Size{100, 80}));
  EXPECT_TRUE(picture->PixelAt(2, 2).sameAs(Color::Calibrated(1, 0, 0)));
  // The square sits 5 up from the bottom, 10 from the left.
  EXPECT_TRUE(picture->PixelAt(15, 10).sameAs(Color::Calibrated(0, 0, 1)));
  EXPECT_TRUE(picture->PixelAt(15, 30).sameAs(Color::Calibrated(1, 0, 0)));
  EXPECT_TRUE(picture->PixelAt(70, 40).sameAs(Color::Calibrated(0, 1, 0)));

  testing_support::TempDir temp;
  const std::string path = temp / "window_snapshot.png";
  EXPECT_TRUE(window->SavePNG(path));
  EXPECT_TRUE(Image::FromFile(path));
  window->OrderOut();
}

TEST_F(WindowTest, ImagesLoadFlipAndCompositeAndMissingFilesGiveNothing) {
  auto image = Image::Empty(Size{4, 2});
  image->Draw([](Painter& painter) { painter.FillRect(Rect(0, 0, 1, 2), Color::Calibrated(1, 0, 0)); });
  EXPECT_TRUE(image->PixelAt(0, 0).sameAs(Color::Calibrated(1, 0, 0)));
  EXPECT_EQ(image->PixelAt(3, 0).alpha, 0);
  image->FlipHorizontally();
  EXPECT_TRUE(image->PixelAt(3, 1).sameAs(Color::Calibrated(1, 0, 0)));
  EXPECT_EQ(image->PixelAt(0, 1).alpha, 0);

  auto filled = image->OverColor(Color::Calibrated(0, 0, 1));
  EXPECT_TRUE(filled->PixelAt(0, 0).sameAs(Color::Calibrated(0, 0, 1)));
  EXPECT_TRUE(filled->PixelAt(3, 0).sameAs(Color::Calibrated(1, 0, 0)));

  testing_support::TempDir temp;
  const std::string path = temp / "image_roundtrip.png";
  ASSERT_TRUE(image->SavePNG(path));
  auto loaded = Image::FromFile(path);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->size(), (Size{4, 2}));
  EXPECT_FALSE(loaded->isAnimated());
  EXPECT_FALSE(Image::FromFile(temp / "no such image.png"));
  const std::string empty = temp / "empty.png";
  { std::ofstream(empty).flush(); }
  EXPECT_FALSE(Image::FromFile(empty));
}

TEST_F(WindowTest, FontNamesOfDescriptionFilesResolveToInstalledFonts) {
  auto helvetica = Font::Named("Helvetica", 12);
  ASSERT_TRUE(helvetica);
  EXPECT_FALSE(helvetica->family().empty());
  EXPECT_NE(helvetica->family(), "Helvetica");
  auto bold = Font::Named("Helvetica-Bold", 0);
  ASSERT_TRUE(bold);
  EXPECT_TRUE(bold->bold());
  EXPECT_EQ(bold->pointSize(), Font::kSystemFontSize);
  EXPECT_FALSE(Font::Named("No Such Font At All", 12));
  const Size one = Font::System().SizeOfText("Do not");
  const Size two = Font::System().SizeOfText("Do not\nrelease");
  EXPECT_GT(one.width, 0);
  EXPECT_NEAR(two.height, 2 * one.height, 0.5);
  EXPECT_EQ(Font::TitleBar(0.2).pointSize(), Font::kTitleBarFontSize);
}

}  // namespace
}  // namespace platform::ui
