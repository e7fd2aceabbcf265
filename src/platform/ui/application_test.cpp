// The main thread's one loop: Qt's event loop runs on the main thread's run loop, so posted
// callables, run-loop timers and descriptor sources work while Qt runs, and Qt's own timers
// and events work while the run loop turns.

#include "platform/ui/application.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTimer>
#include <atomic>
#include <thread>

#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"
#include "testing/test_support.h"

namespace platform::ui {
namespace {

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureApplication(); }
};

TEST_F(ApplicationTest, TheRunLoopServesWorkWhileQtRuns) {
  RunLoop& loop = *Application::MainRunLoop();
  ASSERT_EQ(&loop, &RunLoop::Current());
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);

  std::vector<std::string> seen;
  bool fdSeen = false;
  auto source = loop.AddFd(pipeFds[0], RunLoop::Readable, [&](unsigned) {
    char byte;
    if (read(pipeFds[0], &byte, 1) == 1) fdSeen = true;
  });
  loop.AddTimer(0, [&](Timer&) { seen.push_back("run-loop timer"); });
  QTimer::singleShot(0, [&] { seen.push_back("qt timer"); });
  std::thread worker([&] {
    // From another thread: a posted callable and a byte on the pipe, then the stop.
    loop.Post([&] { seen.push_back("posted"); });
    const char byte = 'x';
    (void)!write(pipeFds[1], &byte, 1);
    PerformOnMainThread([&] { seen.push_back("performed"); }, true);
    Application::Stop();
  });
  EXPECT_EQ(Application::Run(), 0);
  worker.join();
  source->Invalidate();
  close(pipeFds[0]);
  close(pipeFds[1]);

  EXPECT_TRUE(fdSeen);
  for (const char* expected : {"run-loop timer", "qt timer", "posted", "performed"})
    EXPECT_NE(std::find(seen.begin(), seen.end(), expected), seen.end()) << expected;
  EXPECT_FALSE(Application::IsRunning());
}

TEST_F(ApplicationTest, AStopBeforeRunEndsTheNextRunAtOnce) {
  Application::Stop();
  EXPECT_EQ(Application::Run(), 0);
}

TEST_F(ApplicationTest, TerminationAsksTheHandler) {
  int asked = 0;
  Application::SetTerminateHandler([&] { return ++asked > 1; });
  RunLoop& loop = *Application::MainRunLoop();
  loop.Post([] { Application::Terminate(); });                    // refused
  loop.AddTimer(0.01, [](Timer&) { Application::Terminate(); });  // agreed: Run ends
  EXPECT_EQ(Application::Run(), 0);
  EXPECT_EQ(asked, 2);
  Application::SetTerminateHandler(nullptr);
}

TEST_F(ApplicationTest, TheTurnHookRunsWhileRunning) {
  std::atomic<int> turns{0};
  bool posted = false;
  Application::SetTurnHook([&] {
    ++turns;
    if (posted) Application::Stop();
  });
  Application::MainRunLoop()->Post([&] { posted = true; });
  EXPECT_EQ(Application::Run(), 0);
  EXPECT_GE(turns.load(), 1);
  Application::SetTurnHook(nullptr);
}

TEST_F(ApplicationTest, SnapshotsAreWrittenForVisibleWindows) {
  auto window = Window::Make(Rect(50, 50, 120, 80), kTitledWindowMask);
  window->SetTitle("Snap/Shot");
  window->SetBackgroundColor(Color::Calibrated(0, 1, 0));
  window->OrderFront();
  auto hidden = Window::Make(Rect(0, 0, 10, 10), kBorderlessWindowMask);
  testing_support::TempDir temp;
  const std::string folder = temp / "snapshots";
  const std::vector<std::string> files = Application::SaveWindowSnapshots(folder);
  window->OrderOut();
  bool found = false;
  for (const std::string& file : files) found = found || file.find("Snap_Shot.png") != std::string::npos;
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace platform::ui
