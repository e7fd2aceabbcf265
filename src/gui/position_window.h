#pragma once
// The base of the application's skinned windows: it remembers where the user left it.
// Every move or resize is written to the user defaults once the window has been at rest
// for a second ("QPX Window Position: <save name>" = "<x> <top>", the frame's left edge and
// top edge in screen coordinates), and the first opening puts the window back there, or
// centres it. It can always become the key and main window, also when borderless, and lets
// other objects see the events it dispatches.
//
// The window is a platform window held by this object; the object is what GUI descriptions
// make and what code keeps. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gui/builder_objects.h"
#include "platform/notifications.h"
#include "platform/run_loop.h"
#include "platform/ui/event.h"
#include "platform/ui/geometry.h"
#include "platform/ui/window.h"

// Objects told before and after each event the window dispatches.
class QPX_Framework_WindowEventHandler {
 public:
  virtual ~QPX_Framework_WindowEventHandler() = default;
  virtual void BeforeSendEvent(const platform::ui::Event& event) = 0;
  virtual void AfterSendEvent(const platform::ui::Event& event) = 0;
};

// "QPX Window Position: %@".
std::string QPX_Framework_WindowPositionKey(const std::string& saveName);

class QPX_Framework_PositionSavingWindow : public QPX_Framework_GUI_Item {
 public:
  // A window of the content rectangle (screen coordinates) and style.
  static std::shared_ptr<QPX_Framework_PositionSavingWindow> Make(const platform::ui::Rect& contentRect,
                                                                  unsigned styleMask);
  ~QPX_Framework_PositionSavingWindow() override;

  std::shared_ptr<platform::ui::Window> PlatformWindow() const override { return Window_; }
  const std::shared_ptr<platform::ui::Window>& GetWindow() const { return Window_; }

  // Only once the window was opened and with a save name: writes the stored position.
  void PerformWindowPositionSave();
  // With a save name and a stored value of exactly two numbers: moves the window so that
  // its left and top edges are where they were; true then.
  bool PerformWindowPositionLoad();
  // Stops observing moves and resizes, writes a pending save at once, forgets the name.
  void ReleaseSavePositionNotifications();
  void SaveTimerFire(platform::Timer& timer);
  void ReceivePositionSaveNotification(const platform::Notification& notification);
  bool AcceptsPositionSaveName() const override { return true; }
  // Releases what an earlier name set up; with a name, observes the window's moves and
  // resizes from now on.
  void SetPositionSaveName(const std::optional<std::string>& name) override;
  const std::optional<std::string>& SaveName() const { return SaveName_; }
  const std::shared_ptr<platform::Timer>& SaveTimer() const { return SaveTimer_; }
  bool WasOpened() const { return WasOpened_; }

  // Shows the window: on the first opening at its saved place (else centred); a window
  // without title bar is kept on the screen.
  virtual void Open();
  // The custom window's own opening; answers whether the window has one.
  virtual bool QPX_Framework_CustomWindow_Open() { return false; }

  bool canBecomeKeyWindow() const { return true; }
  bool canBecomeMainWindow() const { return true; }

  void AddEventHandler(const std::shared_ptr<QPX_Framework_WindowEventHandler>& handler);
  void RemoveEventHandler(const std::shared_ptr<QPX_Framework_WindowEventHandler>& handler);
  // Every handler sees the event before and after `dispatch` handles it.
  void sendEvent(const platform::ui::Event& event,
                 const std::function<void(const platform::ui::Event&)>& dispatch);

  // The keyboard loop of the window's views ("Tabchain"): the view the loop starts with,
  // and whether the loop is worked out automatically (when no chain was given).
  void SetInitialFirstResponder(const std::shared_ptr<platform::ui::View>& view) {
    InitialFirstResponder_ = view;
  }
  std::shared_ptr<platform::ui::View> InitialFirstResponder() const { return InitialFirstResponder_.lock(); }
  void SetAutorecalculatesKeyViewLoop(bool automatic) { AutorecalculatesKeyViewLoop_ = automatic; }
  bool AutorecalculatesKeyViewLoop() const { return AutorecalculatesKeyViewLoop_; }

  // The run loop the save timers go to (null: the calling thread's); tests drive their own
  // loop on a manual clock.
  static void _SetTimerRunLoop(platform::RunLoop* loop);

 protected:
  explicit QPX_Framework_PositionSavingWindow(std::shared_ptr<platform::ui::Window> window);

 private:
  std::shared_ptr<platform::ui::Window> Window_;
  std::optional<std::string> SaveName_;
  std::shared_ptr<platform::Timer> SaveTimer_;
  bool WasOpened_ = false;
  std::vector<std::shared_ptr<QPX_Framework_WindowEventHandler>> EventHandlers_;
  std::vector<std::shared_ptr<platform::NotificationCenter::Observation>> observations_;
  std::weak_ptr<platform::ui::View> InitialFirstResponder_;
  bool AutorecalculatesKeyViewLoop_ = false;
};

// The size of the screen the window is on (the main screen when it is on none, or for no
// window); false when there is no screen.
bool QPX_Framework_Screensize_Get(const platform::ui::Window* window, platform::ui::Size& size);
