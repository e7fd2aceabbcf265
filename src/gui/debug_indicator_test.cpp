// The watermark of a debug build.

#include "gui/debug_indicator.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/ui/image.h"
#include "platform/ui/ui_test_support.h"

namespace {

using platform::ui::Rect;
using platform::ui::Size;

class DebugIndicatorTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ui::testing::EnsureApplication(); }
};

TEST_F(DebugIndicatorTest, AReleaseBuildGetsNoOverlay) {
  auto window = platform::ui::Window::Make(Rect(0, 0, 300, 200), platform::ui::kTitledWindowMask);
  EXPECT_EQ(QPX_Framework_Window_AddDebugIndicator(window, false), nullptr);
  EXPECT_TRUE(window->ChildWindows().empty());
}

TEST_F(DebugIndicatorTest, TheOverlayCoversTheWindowFollowsItsSizeAndLetsClicksThrough) {
  auto window = platform::ui::Window::Make(
      Rect(50, 60, 300, 200), platform::ui::kTitledWindowMask | platform::ui::kResizableWindowMask);
  window->SetBackgroundColor(platform::ui::Color::White());
  window->OrderFront();
  auto overlay = QPX_Framework_Window_AddDebugIndicator(window, true);
  ASSERT_TRUE(overlay);
  ASSERT_EQ(window->ChildWindows().size(), 1u);
  EXPECT_EQ(window->ChildWindows()[0], overlay->Window());
  EXPECT_TRUE(overlay->ignoresMouseEvents());
  EXPECT_TRUE(overlay->Window()->IgnoresMouseEvents());
  EXPECT_EQ(overlay->Window()->Frame(), Rect(50, 60, 300, 200));
  EXPECT_EQ(overlay->TextView()->String(), "Do not\nrelease");
  EXPECT_NEAR(overlay->TextView()->TextColor().alpha, 0.18, 1e-9);

  window->SetContentSize(Size{600, 200});
  EXPECT_EQ(overlay->Window()->Frame().size, (Size{600, 200}));
  const Rect text = overlay->TextView()->Frame();
  EXPECT_NEAR(text.midX(), 300, 1);
  EXPECT_NEAR(text.midY(), 100, 1);
  EXPECT_GT(overlay->TextView()->FrameRotation(), 0);
  EXPECT_LE(overlay->TextView()->FrameRotation(), 45);

  // Something faint and red is drawn over the white window.
  platform::ui::testing::Settle();
  auto picture = window->Snapshot();
  bool tinted = false;
  for (int x = 0; x < 600 && !tinted; x += 2)
    for (int y = 0; y < 200 && !tinted; y += 2) {
      const platform::ui::Color c = picture->PixelAt(x, y);
      tinted = c.red > c.blue + 0.05;
    }
  EXPECT_TRUE(tinted);
  window->OrderOut();
}

TEST(DebugIndicatorAngleTest, TheTiltFollowsTheWindowsShapeUpToFortyFiveDegrees) {
  // Wide and low: the height limits the tilt, below the cap.
  const double wide = QPX_Framework_DebugIndicator_Angle(Size{1000, 200}, Size{810, 160});
  EXPECT_GT(wide, 0);
  EXPECT_LT(wide, 45);
  const double r = std::sqrt(810.0 * 810 / 4 + 160.0 * 160 / 4);
  EXPECT_NEAR(wide, std::asin(20 / r) * 180 / M_PI, 1e-9);
  // Square, with the text fitted to 80 % of the width as the overlay fits it: the cap.
  EXPECT_EQ(QPX_Framework_DebugIndicator_Angle(Size{400, 400}, Size{330, 123}), 45);
  // Tall and narrow (no arcsine of the free height): still within 0 to 45.
  const double tall = QPX_Framework_DebugIndicator_Angle(Size{100, 1000}, Size{90, 40});
  EXPECT_GE(tall, 0);
  EXPECT_LE(tall, 45);
}

}  // namespace
