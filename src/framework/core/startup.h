#pragma once
// Process start-up: one executable in three roles (application, uninstaller, heavy
// launcher), chosen at start. This also owns the process-wide facts everything else reads:
// the system version, the application information, the bundle and resource paths, the
// per-user folder and the main-thread test.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"

namespace platform {
class Bundle;
}

// --- Process globals (written once during start-up) ---

extern int _QPX_Framework_Argc;
extern char** _QPX_Framework_Argv;
// 1 application, 2 uninstaller, 3 heavy launcher; 0 until start-up has chosen.
extern int QPX_Framework_Application_RunMode;
// True in the privileged (root) instance.
extern bool QPX_Framework_IsPrivileged;
// This process's end of the privileged socket pair; -1 when there is none.
extern int _QPX_Framework_Fd;
extern const char* const _QPX_Framework_Privileged_StartupString;  // "Running"

// Build constants.
constexpr bool QPX_Framework_Launcher_HiddenLaunch = false;
constexpr int QPX_Framework_HeavyLauncher_Privileged_Mode = 2;

// --- System version ---

struct QPX_Framework_SystemVersion_Record {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t bugfix = 0;
  uint32_t combined = 0;  // (major << 8) + minor
  std::string string;     // "Linux 6.1.0"
  uint8_t is64Bit = 0;
};
extern QPX_Framework_SystemVersion_Record QPX_Framework_SystemVersion;

// Fills QPX_Framework_SystemVersion from uname(2). False when the system cannot be asked.
bool _QPX_Framework_SystemVersion_Init();

// The steps, for callers that have their own uname answer (and for tests).
// Reads "major.minor.bugfix" from the leading digits of a kernel release such as
// "6.1.0-18-amd64"; missing components are 0. Components of 256 or more are clamped to
// 255, so the combined version stays meaningful.
bool QPX_Framework_SystemVersion_FromRelease(const std::string& sysname, const std::string& release,
                                             QPX_Framework_SystemVersion_Record& record);
// 1 for 64-bit machine names, 0 for 32-bit ones, nullopt when the name is unknown.
std::optional<uint8_t> QPX_Framework_SystemVersion_Is64Bit(const std::string& machine);

// --- Application information ---

struct QPX_Framework_ApplicationInfo_Record {
  std::string displayName;
  std::string name;
  std::string bundleIdentifier;
  std::string buildID;
  int productNumber = 0;
  int releaseNumber = 0;
  Value buildTime;
};
extern QPX_Framework_ApplicationInfo_Record QPX_Framework_ApplicationInfo;

// Fills QPX_Framework_ApplicationInfo from the main bundle. False when a required key is missing.
bool _QPX_Framework_ApplicationInfo_Init();
// The same from a given information dictionary (the bundle's Info.plist). False, and the
// record untouched, when a required key is missing.
bool QPX_Framework_ApplicationInfo_FromInfo(const Value& info, QPX_Framework_ApplicationInfo_Record& record);

// --- Run mode ---

// Compares the environment variable QPX_LAUNCH_COMMAND with `command` (null: absent).
bool CheckCommand(const char* command);
// Sets run mode 3 when the last path component of argv[0] is "<CFBundleExecutable> Launcher".
void CheckHeavyLauncher();

// The run mode for the given launch command (null: unset), argument 0 (null: none) and
// bundle executable name (empty: none). Pure: reads no process state.
int QPX_Framework_SelectRunMode(const char* launchCommand, const char* argv0,
                                const std::string& executableName);

// --- Entry points ---

// The whole start-up; returns the process exit status.
int QPX_Framework_Main(int argc, char** argv);

// Starts the privileged process and waits for it, or becomes it. The default does nothing;
// the privileged channel installs the real one. Replaceable so start-up can be run without it.
using QPX_Framework_LaunchPrivileged_Hook = std::function<void()>;
void QPX_Framework_SetLaunchPrivileged(QPX_Framework_LaunchPrivileged_Hook hook);
void LaunchPrivileged();

// Class operations that start-up sends by class name ("run" of "QPX_Project" and
// "QPX_Project_HeavyLauncher", "Move" of "QPX_Framework_Launcher"). The library that owns
// the class installs them; an empty body removes one.
void QPX_Framework_SetClassOperation(const std::string& className, const std::string& operation,
                                     std::function<void()> body);
// Runs the operation when the class is registered and has it; false when nothing ran.
bool QPX_Framework_CallClassOperation(const std::string& className, const std::string& operation);

// Modes 1 and 2 / mode 3. Return the exit status: 1 when framework initialisation fails.
int NormalApplicationMain();
int HeavyLauncherMain();

// --- Paths ---

// The main bundle's path, computed once.
const std::string& QPX_Framework_Application_Root();
// "<root>/Contents/Resources", computed once.
const std::string& QPX_Framework_Application_Resources();

// True when the calling thread is the main thread (its thread dictionary holds
// "Is Main Thread" = true).
bool QPX_Framework_IsMainThread();

// "<home>/.<bundle identifier>" of the given home folder (the user's own when none).
std::string QPX_Framework_MakeUserFilePath(const std::optional<std::string>& homeFolder = std::nullopt);
// Creates the per-user folder (0755) and returns it, or "<folder>/<name>" when a name is
// given; nullopt when the folder cannot be created.
std::optional<std::string> QPX_Framework_UserFilePath(const char* name = nullptr);
