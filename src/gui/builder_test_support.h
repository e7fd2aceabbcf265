#pragma once
// For the tests of the GUI builder and its classes: a bundle with GUI files and images of
// the test's own, the application offscreen, the log lines of the test, and the process-wide
// state of the toolkit put back after each test.

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/strings.h"
#include "gui/attributes.h"
#include "gui/position_window.h"
#include "gui/rtl.h"
#include "platform/ui/image.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/view.h"
#include "testing/bundle_fixture.h"

namespace builder_testing {

struct LogLine {
  int level;
  std::string text;
};

inline std::vector<LogLine>& CapturedLog() {
  static std::vector<LogLine> lines;
  return lines;
}

inline void CaptureLog(const char*, unsigned, const char*, const char*, double, int level, const char* format,
                       va_list args) {
  char buffer[2048];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  CapturedLog().push_back(LogLine{level, buffer});
}

// The property-list document around the body.
inline std::string Plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

// The resources folder of this source tree (defined by the test target).
inline std::string SourceResources() { return DASHBOARD_SOURCE_RESOURCES; }

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ui::testing::EnsureApplication();
    fixture_.Install();
    _QPX_Framework_Strings_Reset();
    _QPX_Framework_RightToLeft_Reset();
    savedInfo_ = QPX_Framework_ApplicationInfo;
    QPX_Framework_ApplicationInfo.displayName = "Tamsel Dashboard";
    QPX_Framework_ApplicationInfo.releaseNumber = 1;
    CapturedLog().clear();
    QPX_Framework_Log_UserLog.store(&CaptureLog);
    depth_ = QPX_Framework_SkinnedGUI_AttributeDepth();
  }
  void TearDown() override {
    QPX_Framework_Log_UserLog.store(nullptr);
    while (QPX_Framework_SkinnedGUI_AttributeDepth() > depth_) QPX_Framework_SkinnedGUI_PopAttributes();
    QPX_Framework_PositionSavingWindow::_SetTimerRunLoop(nullptr);
    QPX_Framework_ApplicationInfo = savedInfo_;
    _QPX_Framework_Strings_Reset();
    _QPX_Framework_RightToLeft_Reset();
  }

  // Writes Resources/GUI/<name> as a property list with the body.
  void WriteGUI(const std::string& name, const std::string& body) {
    fixture_.AddResource("GUI/" + name, Plist(body));
  }
  // Writes Resources/GUI/<name> exactly as given.
  void WriteRawGUI(const std::string& name, const std::string& text) {
    fixture_.AddResource("GUI/" + name, text);
  }

  // A PNG of the size in Resources/Images, filled with the colour.
  void WriteImage(const std::string& name, platform::ui::Size size,
                  platform::ui::Color color = platform::ui::Color::Calibrated(0.2, 0.4, 0.8)) {
    std::shared_ptr<platform::ui::Image> image = platform::ui::Image::Empty(size);
    image->Draw([&](platform::ui::Painter& painter) {
      painter.FillRect(platform::ui::Rect(platform::ui::Point{0, 0}, size), color);
    });
    const std::string path = fixture_.AddResource("Images/" + name, "");
    ASSERT_TRUE(image->SavePNG(path)) << path;
  }

  bool Logged(int level, const std::string& text) const {
    for (const LogLine& line : CapturedLog())
      if (line.level == level && line.text.find(text) != std::string::npos) return true;
    return false;
  }

  testing_support::BundleFixture fixture_;

 private:
  QPX_Framework_ApplicationInfo_Record savedInfo_;
  std::size_t depth_ = 0;
};

}  // namespace builder_testing
