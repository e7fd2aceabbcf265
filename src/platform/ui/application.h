#pragma once
// The application object of the UI layer: creates Qt's application on the main thread with
// the main thread's run loop as its event loop, runs it, holds the main menu, lets one hook
// see every key and mouse event first, and moves work from other threads to the main
// thread.
//
// One loop runs on the main thread: Qt's event loop is driven by the main thread's
// platform::RunLoop, so commands posted to the main worker thread, its timers and its
// file-descriptor sources all work while Qt runs, and Qt's own timers, sockets and window
// events arrive through the same loop.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/assert.h"
#include "platform/ui/event.h"
#include "platform/ui/geometry.h"

namespace platform {
class RunLoop;
}

namespace platform::ui {

class Menu;
class Window;

// Where the layer's log lines go (level as the framework's log: 1 trace, 2 milestone,
// 5 error). The default writes to standard error; the framework installs its log.
using LogFunction = void (*)(int level, const std::string& message);
void SetLogFunction(LogFunction function);
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

class Application {
 public:
  // Creates the application on the calling thread, which becomes the main thread. With no
  // display (neither DISPLAY nor WAYLAND_DISPLAY) and no QT_QPA_PLATFORM chosen, the
  // offscreen platform is used and said so in the log. Answers true when the application
  // exists (also when it existed already).
  static bool Initialize();
  static bool IsInitialized();
  // The name of the window-system platform in use ("xcb", "offscreen" ...); empty before
  // Initialize.
  static std::string PlatformName();
  static bool IsOffscreen();
  // True when Initialize chose the offscreen platform because there is no display (not
  // because it was asked for).
  static bool StartedWithoutDisplay();

  // Runs the event loop until Stop (or a termination that was agreed to). Main thread only.
  static int Run();
  static bool IsRunning();
  // Ends Run at its next turn; any thread.
  static void Stop();
  // Ends every window and the application object's Qt side; main thread, after Run.
  static void Shutdown();

  // The termination request ("terminate:" of the application menu, a termination signal):
  // the handler decides; without one, or when it answers true, Run ends.
  static void SetTerminateHandler(std::function<bool()> handler);
  static void Terminate();

  // Sees every key and mouse event of the application first (before the window does).
  static void SetEventHook(std::function<void(const Event&)> hook);
  // Runs after every turn of the main loop while Run runs.
  static void SetTurnHook(std::function<void()> hook);

  // The main menu: item 0 is the application menu, item 1 the Edit menu. Windows that show
  // a menu bar show it.
  static void SetMainMenu(const std::shared_ptr<Menu>& menu);
  static std::shared_ptr<Menu> MainMenu();

  // Hiding and showing the application's windows.
  static void Hide();
  static void Unhide();
  static bool IsHidden();
  static void HideOtherApplications() {}
  static void UnhideAllApplications() { Unhide(); }
  // The about panel with its options ("ApplicationName", "Version", "Credits" ...); the
  // panel is a window of its own, so it can be seen and closed like any other.
  static void OrderFrontAboutPanel(const std::vector<std::pair<std::string, std::string>>& options);

  // The main screen's frame (origin bottom left) and the part not taken by panels.
  static Rect MainScreenFrame();
  static Rect MainScreenVisibleFrame();

  // The windows of the application, oldest first (also hidden ones that are still open).
  static std::vector<std::shared_ptr<Window>> Windows();
  // Writes a PNG of every visible window into the folder ("<n> <title>.png"); answers the
  // files written.
  static std::vector<std::string> SaveWindowSnapshots(const std::string& folder);

  // The main thread's run loop; null before Initialize.
  static RunLoop* MainRunLoop();
};

// True on the thread that created the application; before that, on every thread.
bool IsMainThread();
// Runs the function on the main thread: at once when called there; otherwise posted, and
// with `wait` the caller blocks until it ran. Only wait when the main thread is not waiting
// for the caller. Before the application exists the function runs at once.
void PerformOnMainThread(std::function<void()> function, bool wait);

// The result of a function run on the main thread (waiting for it when called elsewhere).
template <class F>
auto OnMainThread(F&& function) -> decltype(function()) {
  using Result = decltype(function());
  if (IsMainThread()) return function();
  if constexpr (std::is_void_v<Result>) {
    PerformOnMainThread(std::forward<F>(function), true);
  } else {
    std::optional<Result> result;
    PerformOnMainThread([&] { result.emplace(function()); }, true);
    if (result) return std::move(*result);
    // Only when the application had already ended and the call was dropped.
    if constexpr (std::is_default_constructible_v<Result>) {
      return Result{};
    } else {
      ::platform::AssertionFailed("Assertion Failed", __FILE__, __LINE__, "main thread gone");
    }
  }
}

}  // namespace platform::ui

// Inside a method of a UI object that is held by a shared_ptr: when called off the main
// thread, posts the same call (arguments copied) to the main thread and returns.
#define PLATFORM_UI_POST_TO_MAIN(call)            \
  do {                                            \
    if (!::platform::ui::IsMainThread()) {        \
      ::platform::ui::PerformOnMainThread(        \
          [=, this, keep_ = shared_from_this()] { \
            (void)keep_;                          \
            call;                                 \
          },                                      \
          false);                                 \
      return;                                     \
    }                                             \
  } while (0)

// The same for a method that answers a value: waits for the answer.
#define PLATFORM_UI_ANSWER_ON_MAIN(expression)                                                            \
  do {                                                                                                    \
    if (!::platform::ui::IsMainThread()) return ::platform::ui::OnMainThread([&] { return expression; }); \
  } while (0)
