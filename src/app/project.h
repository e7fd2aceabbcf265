#pragma once
// The project object: the one object that stands for the running application. It wraps the
// process's main thread as the worker thread "Main", runs Qt's event loop (on the main
// thread's run loop) as the application run loop, builds the application menu and keeps
// track of the current modem, the modem the user interface shows, under "/Modems":
// "Current Modem" holds its path, and "Current Modem Changed" is written with the same path
// after every change, once the project has switched, so that followers are told.
//
// Start-up creates the project class by name ("QPX_Project") through its class
// initialiser, which adopts the main thread, and then sends it `run`. The operator
// application specialises QPX_Framework_Project and overrides the hooks below.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "framework/core/storage.h"
#include "framework/core/subscription.h"
#include "framework/core/thread.h"
#include "framework/util/launch_agent.h"
#include "platform/value.h"

namespace platform::ui {
class Control;
class PopUpButton;
class TextField;
class Window;
}  // namespace platform::ui

// The MD5 digest (16 bytes, as data) of all bytes of a data value (a string's bytes count
// too), computed with libcrypto's incremental MD5 calls.
Value QPX_Framework_Crypto_MD5(const Value& data);

// Creates the application object (the UI layer on the main thread) once, with the
// framework's log as the layer's log, the debug key-sequence watcher seeing every event
// first and assertions shown in an alert. Answers whether the application exists.
bool QPX_Framework_Application_Create();

// "QPX Was Launched": set to exactly "yes" by the launcher that started the application.
extern const char* const QPX_Framework_WasLaunched_Variable;
// Set by tests and by scripts/run without a display: once start-up has settled, a picture
// of every window is written into this folder and the application quits.
extern const char* const QPX_Framework_SnapshotFolder_Variable;  // "DASHBOARD_SNAPSHOT_DIR"

class QPX_Framework_Project_Common : public QPX_Framework_Thread {
 public:
  QPX_Framework_Project_Common() = default;

  // The thread with ID "Main" (which must be a project: assertion), or null before it exists.
  static std::shared_ptr<QPX_Framework_Project_Common> CurrentProject();
  // Runs the body of "Main" on the calling thread: set-up, preparation, queued commands,
  // run, clean-up.
  static void run();
  // Creates one instance of the class being initialised (through the class registry) and
  // adopts the calling (main) thread as "Main". YES when that worked.
  static bool QPX_Framework_Init(const std::string& className);

  // The main thread needs no wake-up signal; a termination signal (SIGTERM, SIGINT,
  // SIGHUP) becomes the application's termination request.
  bool QPX_Framework_Thread_Setup() override;
  void QPX_Framework_Thread_Cleanup() override;

  // Optional hooks of the project, asked for by modules; the base implements none.
  virtual std::shared_ptr<platform::ui::Window> QPX_Framework_Project_Get_MainWindow() { return nullptr; }

 protected:
  // Called when a termination signal arrived; the base stops the run loop.
  virtual void TerminationRequested();

 private:
  std::shared_ptr<platform::FdSource> signalSource_;
  int signalFd_ = -1;
};

class QPX_Framework_Project : public QPX_Framework_Project_Common {
 public:
  QPX_Framework_Project() = default;

  // Once per process (a second run is an assertion): adds the "Device" drop-down and the
  // "AT command" entry to the debugger window when it exists, then the base initialiser.
  static bool QPX_Framework_Init(const std::string& className);
  // YES when "QPX Was Launched" is exactly "yes".
  static bool WasLaunched();

  std::shared_ptr<platform::ui::Window> QPX_Framework_Project_Get_MainWindow() override;
  // The application run loop: Qt's event loop until the application ends.
  void QPX_Framework_Thread_Run() override;
  // Answers NO when a required step fails: "/Modems", the project's class list.
  virtual bool InitClasses();
  bool QPX_Framework_Thread_Setup() override;
  void QPX_Framework_Thread_Cleanup() override;
  // After the current modem changed; an override calls the base, which writes "Current
  // Modem Changed".
  virtual void QPX_Framework_Project_DeviceChanged();
  // Removes the elements named in ClearKeysOnInactive from the previous current modem.
  virtual void QPX_Framework_Project_DeviceChange_ObjectsRemoved();
  void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr& node,
                                             const std::string& elementName, const Value& value) override;
  // NO refuses an automatic change of the current modem.
  virtual bool QPX_Framework_Project_DeviceWillChange() { return true; }
  void QPX_Framework_Project_PerformDeviceSelection(const QPX_Framework_StoragePtr& node);
  bool QPX_Framework_Project_InitDeviceSelection();
  // The application menu (index 0) and the Edit menu (index 1) of the main menu.
  virtual void QPX_Framework_Project_CreateApplicationMenu();

  // Debug-window actions.
  static void _DeviceSelectionPopup(platform::ui::Control& sender);
  static void _DeviceATCommandEntry(platform::ui::Control& sender);
  static void _PopulateDeviceSelectionButtonWithModems(const std::vector<std::string>& modems,
                                                       const std::optional<std::string>& current);

  const QPX_Framework_StoragePtr& ModemStorage() const { return ModemStorage_; }
  const std::optional<std::string>& CurrentModemPath() const { return CurrentModem_.Path; }
  const QPX_Framework_StoragePtr& CurrentModemStorage() const { return CurrentModem_.Storage; }
  // Element names removed from a modem's node when it stops being the current one.
  std::set<std::string>& ClearKeysOnInactive() { return CurrentModem_.ClearKeysOnInactive; }
  Value& ObjectDictionary() { return CurrentModem_.ObjectDictionary; }

  // Forgets that the class was initialised (tests).
  static void _ResetForTesting();

 protected:
  // A termination signal is the application's termination request.
  void TerminationRequested() override;

  QPX_Framework_StoragePtr ModemStorage_;
  std::vector<QPX_Framework_SubscriptionPtr> Subscriptions_;
  struct {
    std::vector<QPX_Framework_SubscriptionPtr> Subscriptions;
    int ProjectReply = 0;
  } ConnectedQuit_;
  struct {
    std::optional<std::string> Path;
    QPX_Framework_StoragePtr Storage;
    Value ObjectSet = Value::EmptySet();
    Value ObjectDictionary = Value::EmptyDictionary();
    std::set<std::string> ClearKeysOnInactive;
  } CurrentModem_;
};

// The maker of the application's main window. The GUI toolkit builds it from the
// description files; it lies below the project, so start-up installs it here. It answers
// the window, opened, or null.
using QPX_Framework_Project_MainWindowMaker = std::shared_ptr<platform::ui::Window> (*)();
void QPX_Framework_Project_SetMainWindowMaker(QPX_Framework_Project_MainWindowMaker maker);

// The project of this application until the operator layer brings its own: the main window
// of the installed maker, else an empty main window with the main menu.
class QPX_Framework_Project_Dashboard : public QPX_Framework_Project {
 public:
  void QPX_Framework_Thread_PrepareRun() override;
  std::shared_ptr<platform::ui::Window> QPX_Framework_Project_Get_MainWindow() override {
    return MainWindow_;
  }

 private:
  std::shared_ptr<platform::ui::Window> MainWindow_;
};

// The background instance (run mode 3): no windows, the main thread's plain run loop.
class QPX_Framework_Project_HeavyLauncher : public QPX_Framework_Project_Common {
 public:
  bool QPX_Framework_Thread_Setup() override;
  void QPX_Framework_Thread_Run() override;
  void LaunchApp();
  void LaunchAppForDevice();
  const std::shared_ptr<QPX_Framework_LauncherStuff>& LauncherStuff() const { return LauncherStuff_; }

 private:
  std::shared_ptr<QPX_Framework_LauncherStuff> LauncherStuff_;
};

// ---- Application menu tables ----

struct MenuDefinition {
  int stringID;  // 0 separator, 99 end of table
  const char* keyEquivalent;
  uint32_t modifierMask;
  const char* action;
};
struct MenuTranslation {
  const char* title;  // null ends the table
  int stringID;
};
extern const MenuDefinition QPX_Framework_ApplicationMenuTable[];
extern const MenuTranslation QPX_Framework_EditMenuTable[];

// Rebuilds the submenu at the index of the main menu from the table.
void QPX_Framework_Project_CreateMenu(const MenuDefinition* table, std::size_t index);
// Retitles the items of that submenu whose titles the table names.
void QPX_Framework_Project_TranslateMenu(const MenuTranslation* table, std::size_t index);
// The main menu of the menu file: the application menu and the Edit menu with its items.
void QPX_Framework_Project_LoadMenuFile();
// Runs a named action of the application ("terminate:", "hide:" ...); false when unknown.
bool QPX_Framework_Application_PerformAction(const std::string& action);

// Registers "QPX_Project", "QPX_Project_HeavyLauncher" and "QPX_Framework_Debugger" with
// their initialisers and the "run" operations start-up sends. Called by main before
// start-up.
void QPX_Framework_Project_RegisterClasses();
