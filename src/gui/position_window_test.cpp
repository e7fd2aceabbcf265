// Position-saving windows: debounced saving on a manual clock, restoring on first opening,
// keeping borderless windows on the screen, and the screen size.

#include "gui/position_window.h"

#include <gtest/gtest.h>

#include "gui/builder_test_support.h"
#include "platform/assert.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/ui/application.h"
#include "platform/user_defaults.h"

namespace {

using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;

class PositionWindowTest : public builder_testing::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    QPX_Framework_PositionSavingWindow::_SetTimerRunLoop(&loop_);
  }
  // Moves the clock and lets the loop fire what is due.
  void Advance(double seconds) {
    clock_->Advance(seconds);
    loop_.RunOnce(0);
  }
  Value Stored(const std::string& name) const {
    return platform::UserDefaults::Standard()->objectForKey(QPX_Framework_WindowPositionKey(name));
  }
  std::shared_ptr<QPX_Framework_PositionSavingWindow> Borderless(const Rect& frame) {
    return QPX_Framework_PositionSavingWindow::Make(frame, platform::ui::kBorderlessWindowMask);
  }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::RunLoop loop_{clock_};
};

TEST_F(PositionWindowTest, SavesOnceASecondAfterTheLastMove) {
  auto window = Borderless(Rect(100, 200, 150, 300));
  window->SetPositionSaveName(std::string("Test: Main"));
  // Moves before the first opening are not written.
  window->GetWindow()->SetFrameOrigin(Point{120, 200});
  Advance(2);
  EXPECT_TRUE(Stored("Test: Main").isNull());

  window->Open();
  Advance(2);
  ASSERT_TRUE(Stored("Test: Main").isString());  // the centred place

  window->GetWindow()->SetFrameOrigin(Point{100, 180});
  Advance(0.6);
  window->GetWindow()->SetFrameOrigin(Point{100, 200});
  Advance(0.6);
  EXPECT_NE(Stored("Test: Main"), Value("100 500"));
  ASSERT_TRUE(window->SaveTimer());
  Advance(0.5);
  EXPECT_EQ(Stored("Test: Main"), Value("100 500"));
  EXPECT_FALSE(window->SaveTimer());

  // A resize counts as well; a pending save is written when the name goes.
  window->GetWindow()->SetFrame(Rect(100, 100, 150, 400));
  window->SetPositionSaveName(std::nullopt);
  EXPECT_EQ(Stored("Test: Main"), Value("100 500"));
  window->GetWindow()->SetFrameOrigin(Point{10, 10});
  Advance(2);
  EXPECT_EQ(Stored("Test: Main"), Value("100 500"));
  EXPECT_FALSE(window->SaveTimer());
}

TEST_F(PositionWindowTest, APendingSaveIsWrittenWhenTheWindowGoes) {
  auto window = Borderless(Rect(100, 200, 150, 300));
  window->SetPositionSaveName(std::string("Gone"));
  window->Open();
  window->GetWindow()->SetFrameOrigin(Point{30, 40});
  window.reset();
  EXPECT_EQ(Stored("Gone"), Value("30 340"));
  Advance(2);  // the timer of the window that went does nothing
}

TEST_F(PositionWindowTest, TheFirstOpeningRestoresTheTopLeftCorner) {
  platform::UserDefaults::Standard()->setObject(QPX_Framework_WindowPositionKey("Restore"), Value("100 500"));
  auto window =
      QPX_Framework_PositionSavingWindow::Make(Rect(0, 0, 150, 228), platform::ui::kTitledWindowMask);
  ASSERT_EQ(window->GetWindow()->Frame().height(), 250);
  window->SetPositionSaveName(std::string("Restore"));
  window->Open();
  EXPECT_EQ(window->GetWindow()->Frame().origin, (Point{100, 250}));
  EXPECT_TRUE(window->WasOpened());
  // Later openings leave the window where it is.
  window->GetWindow()->SetFrameOrigin(Point{10, 20});
  window->Open();
  EXPECT_EQ(window->GetWindow()->Frame().origin, (Point{10, 20}));
}

TEST_F(PositionWindowTest, StoredValuesThatAreNotTwoNumbersAreIgnored) {
  const Rect screen = platform::ui::Application::MainScreenVisibleFrame();
  for (const char* stored : {"100", "100 500 7", "left top", "100 500px", ""}) {
    platform::UserDefaults::Standard()->setObject(QPX_Framework_WindowPositionKey("Odd"), Value(stored));
    auto window =
        QPX_Framework_PositionSavingWindow::Make(Rect(3, 4, 100, 78), platform::ui::kTitledWindowMask);
    window->SetPositionSaveName(std::string("Odd"));
    EXPECT_FALSE(window->PerformWindowPositionLoad()) << stored;
    window->Open();
    const Rect frame = window->GetWindow()->Frame();
    EXPECT_NEAR(frame.midX(), screen.midX(), 1) << stored;  // centred instead
  }
  platform::UserDefaults::Standard()->setObject(QPX_Framework_WindowPositionKey("Odd"), Value(7));
  auto window = Borderless(Rect(0, 0, 10, 10));
  window->SetPositionSaveName(std::string("Odd"));
  EXPECT_FALSE(window->PerformWindowPositionLoad());
}

TEST_F(PositionWindowTest, BorderlessWindowsAreKeptOnTheScreen) {
  const Rect screen = platform::ui::Application::MainScreenFrame();
  platform::UserDefaults::Standard()->setObject(QPX_Framework_WindowPositionKey("Edge"),
                                                Value("-40 " + std::to_string(int(screen.maxY()) + 30)));
  auto window = Borderless(Rect(0, 0, 200, 100));
  window->SetPositionSaveName(std::string("Edge"));
  window->Open();
  EXPECT_EQ(window->GetWindow()->Frame(), Rect(screen.minX(), screen.maxY() - 100, 200, 100));

  // Entirely off the screen: centred.
  platform::UserDefaults::Standard()->setObject(QPX_Framework_WindowPositionKey("Away"),
                                                Value("-5000 -5000"));
  auto away = Borderless(Rect(0, 0, 200, 100));
  away->SetPositionSaveName(std::string("Away"));
  away->Open();
  EXPECT_TRUE(screen.contains(Point{away->GetWindow()->Frame().midX(), away->GetWindow()->Frame().midY()}));
}

TEST_F(PositionWindowTest, EventHandlersSeeEventsBeforeAndAfter) {
  struct Recorder : QPX_Framework_WindowEventHandler {
    std::vector<std::string>* trace;
    void BeforeSendEvent(const platform::ui::Event&) override { trace->push_back("before"); }
    void AfterSendEvent(const platform::ui::Event&) override { trace->push_back("after"); }
  };
  std::vector<std::string> trace;
  auto recorder = std::make_shared<Recorder>();
  recorder->trace = &trace;
  auto window = Borderless(Rect(0, 0, 10, 10));
  window->AddEventHandler(recorder);
  window->AddEventHandler(recorder);
  window->sendEvent(platform::ui::Event(), [&](const platform::ui::Event&) { trace.push_back("dispatch"); });
  EXPECT_EQ(trace, (std::vector<std::string>{"before", "dispatch", "after"}));
  window->RemoveEventHandler(recorder);
  trace.clear();
  window->sendEvent(platform::ui::Event(), nullptr);
  EXPECT_TRUE(trace.empty());
  EXPECT_TRUE(window->canBecomeKeyWindow() && window->canBecomeMainWindow());
}

TEST_F(PositionWindowTest, ScreenSize) {
  Size size;
  ASSERT_TRUE(QPX_Framework_Screensize_Get(nullptr, size));
  EXPECT_EQ(size, platform::ui::Application::MainScreenFrame().size);
  EXPECT_TRUE(
      Logged(QPX_LOG_TRACE, std::to_string(int(size.width)) + "*" + std::to_string(int(size.height))));
}

}  // namespace
