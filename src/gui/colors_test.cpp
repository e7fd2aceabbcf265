// Colour descriptions in their four forms, and broken ones.

#include "gui/colors.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/assert.h"
#include "platform/ui/ui_test_support.h"
#include "testing/bundle_fixture.h"

namespace {

using platform::ui::Color;

class ColorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ui::testing::EnsureApplication();
    _QPX_Framework_Colors_Reset();
  }
  void TearDown() override { _QPX_Framework_Colors_Reset(); }
};

TEST_F(ColorsTest, RGBAAndGreyWithAndWithoutSeparators) {
  struct Case {
    const char* spec;
    Color color;
  } cases[] = {
      {"RGBA:255:0:0", Color::Calibrated(1, 0, 0, 1)},
      {"RGBA 0 0 255 128", Color::Calibrated(0, 0, 1, 128 / 255.0)},
      {"  RGBA : 0 :255: 0", Color::Calibrated(0, 1, 0, 1)},
      {"Grey:128", Color::CalibratedWhite(128 / 255.0, 1)},
      {"Grey 0 0", Color::CalibratedWhite(0, 0)},
  };
  for (const Case& c : cases) {
    std::optional<Color> color = QPX_Framework_GetColorFromString(std::string(c.spec));
    ASSERT_TRUE(color) << c.spec;
    EXPECT_TRUE(color->sameAs(c.color)) << c.spec;
  }
  EXPECT_EQ(QPX_Framework_GetColorFromString(std::nullopt), std::nullopt);
}

TEST_F(ColorsTest, SystemColoursByName) {
  std::optional<Color> text = QPX_Framework_GetColorFromString(std::string("System:controlTextColor"));
  ASSERT_TRUE(text);
  EXPECT_EQ(text, platform::ui::SystemColor("controlTextColor"));
  EXPECT_TRUE(QPX_Framework_GetColorFromString(std::string("System redColor"))->sameAs(Color::Red()));
}

TEST_F(ColorsTest, FileColoursComeFromTheColourFileReadOnce) {
  testing_support::BundleFixture fixture;
  const std::string path = fixture.AddResource(
      "Colors.xml",
      "<Colors><Color Name=\"Brand\" Color=\"RGBA:10:20:30\"/><Color Name=\"Copy\" Color=\"File Brand\"/>"
      "<Color Name=\"NoColor\"/></Colors>");
  fixture.Install();
  std::optional<Color> brand = QPX_Framework_GetColorFromString(std::string("File:Brand"));
  ASSERT_TRUE(brand);
  EXPECT_TRUE(brand->sameAs(Color::Calibrated(10 / 255.0, 20 / 255.0, 30 / 255.0)));
  // Gone from the disk, still known: the file is read only once.
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_TRUE(QPX_Framework_GetColorFromString(std::string("File Copy"))->sameAs(*brand));
  EXPECT_THROW(QPX_Framework_GetColorFromString(std::string("File NoColor")), platform::AssertionFailure);
}

TEST_F(ColorsTest, BrokenDescriptionsEndInAnAssertion) {
  for (const char* spec : {"RGBA:1:2", "Purple", "System", "System:noSuchColor", "File Missing", "Grey", ""})
    EXPECT_THROW(QPX_Framework_GetColorFromString(std::string(spec)), platform::AssertionFailure) << spec;
}

}  // namespace
