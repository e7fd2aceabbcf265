// Right-to-left mirroring: the decision, mirrored frames and alignments, and images
// replaced by their variant or flipped.

#include "gui/rtl.h"

#include <gtest/gtest.h>

#include "framework/core/strings.h"
#include "platform/ui/controls.h"
#include "platform/ui/image.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace {

using platform::ui::Color;
using platform::ui::Image;
using platform::ui::Rect;
using platform::ui::TextAlignment;

// A 1 x 1 GIF with two frames.
const std::string kTwoFrameGif = std::string(
    "GIF89a\x01\x00\x01\x00\x80\x00\x00"
    "\x00\x00\x00\xff\xff\xff"
    "\x21\xf9\x04\x00\x0a\x00\x00\x00"
    "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00"
    "\x21\xf9\x04\x00\x0a\x00\x00\x00"
    "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00"
    "\x3b",
    71);

class RightToLeftTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ui::testing::EnsureApplication();
    fixture_.AddPlistResource("en.lproj/Strings", Value{{"-10", Value("RTL")}});
    fixture_.Install();
    _QPX_Framework_Strings_Reset();
    _QPX_Framework_RightToLeft_Reset();
  }
  void TearDown() override {
    _QPX_Framework_Strings_Reset();
    _QPX_Framework_RightToLeft_Reset();
  }

  // An image 2 wide: red on the left, transparent on the right.
  std::string WriteHalfRed(const std::string& name) {
    auto image = Image::Empty(platform::ui::Size{2, 1});
    image->Draw([](platform::ui::Painter& painter) { painter.FillRect(Rect(0, 0, 1, 1), Color::Red()); });
    const std::string path = folder_ / name;
    EXPECT_TRUE(image->SavePNG(path));
    return path;
  }
  static bool RedOnTheRight(const std::shared_ptr<Image>& image) {
    return image && image->PixelAt(1, 0).sameAs(Color::Red()) && image->PixelAt(0, 0).alpha == 0;
  }

  testing_support::BundleFixture fixture_;
  testing_support::TempDir folder_;
};

TEST_F(RightToLeftTest, TheStringTableDecidesOnceForTheProcess) {
  EXPECT_TRUE(QPX_Framework_IsRightToLeftUI());
  // A change of the language is seen only at the next start.
  fixture_.AddPlistResource("en.lproj/Strings", Value{{"-10", Value("LTR")}});
  fixture_.Install();
  _QPX_Framework_Strings_Reset();
  EXPECT_TRUE(QPX_Framework_IsRightToLeftUI());
  _QPX_Framework_RightToLeft_Reset();
  EXPECT_FALSE(QPX_Framework_IsRightToLeftUI());
}

TEST_F(RightToLeftTest, AWindowIsMirroredDepthFirst) {
  auto window = platform::ui::Window::Make(Rect(0, 0, 400, 300), platform::ui::kTitledWindowMask);
  auto button = platform::ui::Button::Make(Rect(10, 20, 80, 22));
  auto box = platform::ui::View::Make(Rect(100, 100, 200, 100));
  auto inner = platform::ui::View::Make(Rect(0, 0, 50, 10));
  auto centred = platform::ui::TextView::Make(Rect(0, 50, 10, 10));
  centred->SetAlignment(TextAlignment::Center);
  auto left = platform::ui::TextView::Make(Rect(0, 70, 10, 10));
  left->SetAlignment(TextAlignment::Left);
  window->ContentView()->AddSubview(button);
  window->ContentView()->AddSubview(box);
  box->AddSubview(inner);
  box->AddSubview(centred);
  box->AddSubview(left);

  QPX_Framework_GUI_SetRightToLeftIfNeeded(*window);
  EXPECT_EQ(button->Frame(), Rect(310, 20, 80, 22));  // 400 - (10 + 80)
  EXPECT_EQ(box->Frame(), Rect(100, 100, 200, 100));  // 400 - 300
  EXPECT_EQ(inner->Frame(), Rect(150, 0, 50, 10));    // 200 - 50
  EXPECT_EQ(centred->Alignment(), TextAlignment::Center);
  EXPECT_EQ(left->Alignment(), TextAlignment::Right);
  EXPECT_EQ(window->ContentView()->Frame(), Rect(0, 0, 400, 300));
}

// A class with its own geometry replaces the hooks.
class OwnGeometry : public platform::ui::View, public QPX_RightToLeftUI {
 public:
  static std::shared_ptr<OwnGeometry> Make() {
    std::shared_ptr<OwnGeometry> view(new OwnGeometry());
    view->SetFrame(Rect(0, 0, 10, 10));
    return view;
  }
  void QPX_Framework_GUI_SetRightToLeft_Properties() override { ++propertiesSwapped; }
  int propertiesSwapped = 0;
};

TEST_F(RightToLeftTest, OverriddenHooksRunInsteadOfThePlainOnes) {
  auto parent = platform::ui::View::Make(Rect(0, 0, 100, 100));
  auto own = OwnGeometry::Make();
  parent->AddSubview(own);
  QPX_Framework_GUI_SetRightToLeft(*parent);
  EXPECT_EQ(own->propertiesSwapped, 1);
  EXPECT_EQ(own->Frame().origin.x, 90);  // the default reposition still ran
}

TEST_F(RightToLeftTest, ImagesUseTheirVariantOrAreFlipped) {
  const std::string arrow = WriteHalfRed("arrow.png");
  // No variant: the mirror of the image.
  EXPECT_TRUE(RedOnTheRight(QPX_InitWithFile_respectRTL(arrow, true)));
  EXPECT_FALSE(RedOnTheRight(QPX_InitWithFile_respectRTL(arrow, false)));

  // A non-empty variant is used as it is.
  auto blue = Image::Empty(platform::ui::Size{3, 1});
  ASSERT_TRUE(blue->SavePNG(folder_ / "arrow (RTL).png"));
  auto variant = QPX_InitWithFile_respectRTL(arrow, true);
  ASSERT_TRUE(variant);
  EXPECT_EQ(variant->size().width, 3);

  // An empty variant: the image unflipped.
  testing_support::WriteFile(folder_ / "arrow (RTL).png", "");
  EXPECT_FALSE(RedOnTheRight(QPX_InitWithFile_respectRTL(arrow, true)));

  // Without extension: loaded unchanged.
  const std::string bare = WriteHalfRed("bare.png");
  ASSERT_EQ(std::rename(bare.c_str(), (folder_ / "bare").c_str()), 0);
  EXPECT_FALSE(RedOnTheRight(QPX_InitWithFile_respectRTL(folder_ / "bare", true)));
  EXPECT_EQ(QPX_Framework_RTLVariantPath("/x/arrow.png"), "/x/arrow (RTL).png");
  EXPECT_EQ(QPX_Framework_RTLVariantPath("/x/arrow"), "");
}

TEST_F(RightToLeftTest, AnimatedImagesAreNeverFlipped) {
  testing_support::WriteFile(folder_ / "spinner.gif", kTwoFrameGif);
  auto spinner = QPX_InitWithFile_respectRTL(folder_ / "spinner.gif", true);
  ASSERT_TRUE(spinner);
  EXPECT_TRUE(QPX_Framework_Image_IsAnimated(*spinner));
  auto copy = spinner->Copy();
  QPX_Framework_GUI_SetRightToLeftIfNeeded(*copy);
  EXPECT_TRUE(copy->PixelAt(0, 0).sameAs(spinner->PixelAt(0, 0)));
  auto still = Image::FromFile(WriteHalfRed("still.png"));
  QPX_Framework_GUI_SetRightToLeftIfNeeded(*still);
  EXPECT_TRUE(RedOnTheRight(still));
}

}  // namespace
