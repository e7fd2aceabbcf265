#pragma once
// Starting with the session and when a modem is plugged in. A per-user launch agent keeps a
// background copy of the executable running (run mode 3, the heavy launcher, started as
// "<bundle>/Contents/MacOS/<executable> Launcher"); that instance starts the application
// at login or when a modem appears, and watches the bundle so that moving it re-registers
// the agent and trashing it starts the uninstaller.
//
// QPX_Framework_Launcher (used by the application, run mode 1) owns the launcher mode and
// the agent; QPX_Framework_LauncherStuff is the object the background instance runs.

#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

namespace platform {
class FdSource;
}

// Launcher mode bits.
enum : int {
  QPX_Framework_Launcher_Mode_Device = 1,      // start the application when a modem is plugged in
  QPX_Framework_Launcher_Mode_Login = 2,       // start the application once at login
  QPX_Framework_Launcher_Mode_Uninstall = 128  // the agent also watches the bundle
};

// "QPX Launcher Mode": the stored mode (bits 1 and 2 only).
extern const char* const QPX_Framework_Preferences_Launcher_Mode_Key;
// "QPX disable launcher": the debug switch that disables the agent.
extern const char* const QPX_Framework_Testing_DisableLauncherKey;
// "QPX Uninstaller Launcher": the information key that makes the agent watch the bundle.
extern const char* const QPX_Framework_Launcher_MonitorUninstallKey;
// "QPX Was Launched": set to "yes" for the application the background instance starts.
extern const char* const QPX_Framework_Launcher_WasLaunchedVariable;

class QPX_Framework_Launcher {
 public:
  // "<home>/Library/LaunchAgents/<bundle identifier>.plist" (none: the user's home).
  static std::string GetLaunchdPlist(const std::optional<std::string>& homeFolder = std::nullopt);
  // The agent's property list for the current bundle.
  static Value LaunchdPlistContents();
  // The program the agent runs: "<bundle>/Contents/MacOS/<CFBundleExecutable> Launcher",
  // the very name start-up recognises as run mode 3.
  static std::string LauncherProgramPath();
  static bool GetMonitorUninstall();
  // The stored mode (0 to 3); a stored value with other bits reads as 0.
  static int CurrentMode();
  static bool HasPList();
  static int RealCurrentMode();
  // "Device", "Login", "Uninstall" for the bits set, joined by "/"; "None" for none.
  static std::string StringForMode(int mode);
  static bool IsDisabled();

  static void ActivateMode(int mode);
  static void PerformSetMode(int mode);
  static void SetMode(int mode);
  static void Move();
  static bool Uninstall(bool choice);
  static void Reset();
  // The class initialiser: brings the agent in line with the preferred mode. Answers YES.
  static bool QPX_Framework_Init(const std::string& className);

  // The agent commands.
  static bool CreateAgent();
  static void LoadAgent();
  static void StopAgent();
  static void DeleteAgent();
};

class QPX_Framework_LauncherStuff : public std::enable_shared_from_this<QPX_Framework_LauncherStuff> {
 public:
  // The background instance's object: marks started applications as launched, moves into the
  // bundle, starts the application when the mode asks for it at login, and watches the
  // bundle. Null when the bundle folder cannot be entered.
  static std::shared_ptr<QPX_Framework_LauncherStuff> Create();
  ~QPX_Framework_LauncherStuff();

  // Starts the application in the background (command: "Trashed", "Moved" or none, passed
  // in QPX_LAUNCH_COMMAND). False when it could not be started.
  bool LaunchApp(const char* command);
  bool LaunchApp() { return LaunchApp(nullptr); }
  // The stored mode, re-read from disk (the application changes it in another process).
  int GetLauncherMode();
  void LaunchAppForDevice();
  bool SetCurrentDir();
  // A change of the bundle's place: launches the application with "Trashed" or "Moved".
  void EventStreamCallback();
  void SetupUninstallMonitor();

  const std::string& LastApplicationPath() const { return lastApplicationPath_; }

 private:
  QPX_Framework_LauncherStuff() = default;
  void ReadBundleEvents();

  std::string lastApplicationPath_;
  int inotify_ = -1;
  std::shared_ptr<platform::FdSource> watch_;
};

// Where a started application goes: the path of a trashed bundle lies in a trash folder.
bool QPX_Framework_Launcher_IsTrashPath(const std::string& path);

// Registers "QPX_Framework_Launcher" (class initialiser and the "Move" operation start-up
// sends). Called by main before start-up.
void QPX_Framework_Launcher_RegisterClasses();
