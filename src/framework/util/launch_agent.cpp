#include "framework/util/launch_agent.h"

#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "framework/util/process.h"
#include "platform/bundle.h"
#include "platform/launch_agent.h"
#include "platform/plist.h"
#include "platform/run_loop.h"
#include "platform/user_defaults.h"

extern char** environ;

const char* const QPX_Framework_Preferences_Launcher_Mode_Key = "QPX Launcher Mode";
const char* const QPX_Framework_Testing_DisableLauncherKey = "QPX disable launcher";
const char* const QPX_Framework_Launcher_MonitorUninstallKey = "QPX Uninstaller Launcher";
const char* const QPX_Framework_Launcher_WasLaunchedVariable = "QPX Was Launched";

namespace {

constexpr int kStoredModeBits = QPX_Framework_Launcher_Mode_Device | QPX_Framework_Launcher_Mode_Login;
constexpr const char* kLaunchCommandVariable = "QPX_LAUNCH_COMMAND";

std::shared_ptr<platform::Bundle> MainBundle() { return platform::Bundle::Main(); }

std::string BundleInfoString(const char* key) {
  auto bundle = MainBundle();
  return bundle ? bundle->objectForInfoKey(key).string() : std::string();
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

// Settings go through the preferences node when the storage tree exists (so subscribers of
// the setting hear of changes), else straight to the defaults domain.
Value ReadSetting(const char* key, bool storedOnly) {
  if (QPX_Framework_Preferences) return QPX_Framework_Preferences->objectForKey(key, storedOnly);
  auto defaults = platform::UserDefaults::Standard();
  if (!defaults) return Value();
  return storedOnly ? defaults->persistentObjectForKey(key) : defaults->objectForKey(key);
}

void WriteSetting(const char* key, const Value& value) {
  if (QPX_Framework_Preferences) {
    QPX_Framework_Preferences->setObject(value, key);
    return;
  }
  if (auto defaults = platform::UserDefaults::Standard()) defaults->setObject(key, value);
}

// Only bits 1 and 2 are ever stored; anything else is not a mode this build wrote.
int ModeOf(const Value& value) {
  if (!value.isNumber()) return 0;
  const std::int64_t mode = value.toInt64();
  return (mode & ~std::int64_t(kStoredModeBits)) != 0 ? 0 : static_cast<int>(mode);
}

}  // namespace

// --- QPX_Framework_Launcher ----------------------------------------------------------------

std::string QPX_Framework_Launcher::GetLaunchdPlist(const std::optional<std::string>& homeFolder) {
  const std::string home = homeFolder ? *homeFolder : HomeFolder();
  return home + "/Library/LaunchAgents/" + BundleInfoString("CFBundleIdentifier") + ".plist";
}

std::string QPX_Framework_Launcher::LauncherProgramPath() {
  auto bundle = MainBundle();
  if (!bundle) return {};
  return bundle->bundlePath() + "/Contents/MacOS/" + bundle->objectForInfoKey("CFBundleExecutable").string() +
         " Launcher";
}

Value QPX_Framework_Launcher::LaunchdPlistContents() {
  auto bundle = MainBundle();
  return Value{
      {"Label", Value(BundleInfoString("CFBundleIdentifier"))},
      {"WorkingDirectory", Value(bundle ? bundle->bundlePath() : std::string())},
      {"Program", Value(LauncherProgramPath())},
      {"LimitLoadToSessionType", Value("Aqua")},
      {"RunAtLoad", Value(true)},
      {"KeepAlive", Value(true)},
      {"Disabled", Value(false)},
  };
}

bool QPX_Framework_Launcher::GetMonitorUninstall() {
  auto bundle = MainBundle();
  return bundle && bundle->objectForInfoKey(QPX_Framework_Launcher_MonitorUninstallKey).toBool();
}

int QPX_Framework_Launcher::CurrentMode() {
  return ModeOf(ReadSetting(QPX_Framework_Preferences_Launcher_Mode_Key, false));
}

bool QPX_Framework_Launcher::HasPList() {
  std::optional<Value> list = platform::plist::ReadFile(GetLaunchdPlist());
  return list && list->isDictionary();
}

int QPX_Framework_Launcher::RealCurrentMode() {
  int mode = CurrentMode();
  if (GetMonitorUninstall() && HasPList()) mode |= QPX_Framework_Launcher_Mode_Uninstall;
  return mode;
}

std::string QPX_Framework_Launcher::StringForMode(int mode) {
  std::string text;
  const std::pair<int, const char*> names[] = {{QPX_Framework_Launcher_Mode_Device, "Device"},
                                               {QPX_Framework_Launcher_Mode_Login, "Login"},
                                               {QPX_Framework_Launcher_Mode_Uninstall, "Uninstall"}};
  for (const auto& [bit, name] : names) {
    if ((mode & bit) == 0) continue;
    if (!text.empty()) text += "/";
    text += name;
  }
  return text.empty() ? "None" : text;
}

bool QPX_Framework_Launcher::IsDisabled() {
  // A setting of the debugger's; read as a plain setting.
  return ReadSetting(QPX_Framework_Testing_DisableLauncherKey, false).toBool();
}

bool QPX_Framework_Launcher::CreateAgent() {
  const std::string path = GetLaunchdPlist();
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::filesystem::create_directories(folder, error);
  if (!std::filesystem::is_directory(folder)) {
    QPX_Log(QPX_LOG_ERROR, "Unable to create \"%s\"", folder.c_str());
    return false;
  }
  if (!platform::plist::WriteFileAtomically(path, LaunchdPlistContents(), platform::plist::Format::Xml,
                                            0644)) {
    QPX_Log(QPX_LOG_ERROR, "Unable to write \"%s\": %s", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void QPX_Framework_Launcher::LoadAgent() {
  const std::string path = GetLaunchdPlist();
  if (!platform::LaunchAgentService::Default()->Load(path))
    QPX_Log(QPX_LOG_TRACE, "Loading \"%s\" failed", path.c_str());
}

void QPX_Framework_Launcher::StopAgent() {
  auto service = platform::LaunchAgentService::Default();
  service->Unload(GetLaunchdPlist());
  service->Remove(BundleInfoString("CFBundleIdentifier"));
}

void QPX_Framework_Launcher::DeleteAgent() {
  const std::string path = GetLaunchdPlist();
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    QPX_Log(QPX_LOG_ERROR, "Unable to delete \"%s\": %s", path.c_str(), std::strerror(errno));
}

void QPX_Framework_Launcher::ActivateMode(int mode) {
  const bool disabled = IsDisabled();
  QPX_Log(QPX_LOG_TRACE, "Activating launcher mode \"%s\" while %sdisabled", StringForMode(mode).c_str(),
          disabled ? "" : "not ");
  if (!disabled && mode != 0) {
    CreateAgent();
    // A login-only agent stays on disk and starts with the next session.
    if ((mode & (QPX_Framework_Launcher_Mode_Device | QPX_Framework_Launcher_Mode_Uninstall)) != 0)
      LoadAgent();
    else
      StopAgent();
  } else {
    StopAgent();
    DeleteAgent();
  }
}

void QPX_Framework_Launcher::PerformSetMode(int mode) {
  QPX_Log(QPX_LOG_MILESTONE, "Changing launcher mode to \"%s\"", StringForMode(mode).c_str());
  WriteSetting(QPX_Framework_Preferences_Launcher_Mode_Key, Value(mode & kStoredModeBits));
  ActivateMode(mode);
}

void QPX_Framework_Launcher::SetMode(int mode) {
  if (GetMonitorUninstall()) mode |= QPX_Framework_Launcher_Mode_Uninstall;
  if (mode == RealCurrentMode()) return;
  PerformSetMode(mode);
}

void QPX_Framework_Launcher::Move() {
  const int mode = RealCurrentMode();
  if (mode == 0) return;
  PerformSetMode(0);
  PerformSetMode(mode);
}

bool QPX_Framework_Launcher::Uninstall(bool /*choice*/) {
  StopAgent();
  DeleteAgent();
  return true;
}

void QPX_Framework_Launcher::Reset() {
  WriteSetting(QPX_Framework_Preferences_Launcher_Mode_Key, Value());
  QPX_Framework_Init("QPX_Framework_Launcher");
}

bool QPX_Framework_Launcher::QPX_Framework_Init(const std::string& className) {
  if (className != "QPX_Framework_Launcher") return true;
  int apparent = ModeOf(ReadSetting(QPX_Framework_Preferences_Launcher_Mode_Key, true));
  int preferred = ModeOf(ReadSetting(QPX_Framework_Preferences_Launcher_Mode_Key, false));
  if (GetMonitorUninstall()) {
    preferred |= QPX_Framework_Launcher_Mode_Uninstall;
    if (HasPList()) apparent |= QPX_Framework_Launcher_Mode_Uninstall;
  }
  QPX_Log(QPX_LOG_TRACE, "Apparent launcher mode: \"%s\"; Preferred launcher mode: \"%s\"",
          StringForMode(apparent).c_str(), StringForMode(preferred).c_str());
  if (apparent != preferred) {
    PerformSetMode(preferred);
  } else if (IsDisabled()) {
    ActivateMode(apparent);
  } else if ((apparent & (QPX_Framework_Launcher_Mode_Device | QPX_Framework_Launcher_Mode_Uninstall)) != 0) {
    // Rewritten as well as loaded: an agent file that went missing, or that still names
    // an older place of the bundle, is repaired here.
    ActivateMode(apparent);
  }
  return true;
}

// --- QPX_Framework_LauncherStuff ------------------------------------------------------------

bool QPX_Framework_Launcher_IsTrashPath(const std::string& path) {
  return path.find("/.Trash/") != std::string::npos || path.find("/.Trash-") != std::string::npos ||
         path.find("/Trash/files/") != std::string::npos;
}

std::shared_ptr<QPX_Framework_LauncherStuff> QPX_Framework_LauncherStuff::Create() {
  setenv(QPX_Framework_Launcher_WasLaunchedVariable, "yes", 1);
  std::shared_ptr<QPX_Framework_LauncherStuff> stuff(new QPX_Framework_LauncherStuff());
  if (!stuff->SetCurrentDir()) return nullptr;
  if ((stuff->GetLauncherMode() & QPX_Framework_Launcher_Mode_Login) != 0) {
    stuff->SetCurrentDir();
    stuff->LaunchApp();
  }
  stuff->SetupUninstallMonitor();
  return stuff;
}

QPX_Framework_LauncherStuff::~QPX_Framework_LauncherStuff() {
  if (watch_) watch_->Invalidate();
  if (inotify_ >= 0) close(inotify_);
}

bool QPX_Framework_LauncherStuff::SetCurrentDir() {
  auto bundle = MainBundle();
  if (!bundle || chdir(bundle->bundlePath().c_str()) != 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to enter the bundle folder: %s", std::strerror(errno));
    return false;
  }
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return false;
  lastApplicationPath_ = folder;
  return true;
}

int QPX_Framework_LauncherStuff::GetLauncherMode() {
  if (auto defaults = platform::UserDefaults::Standard()) defaults->reload();
  return ModeOf(ReadSetting(QPX_Framework_Preferences_Launcher_Mode_Key, false));
}

bool QPX_Framework_LauncherStuff::LaunchApp(const char* command) {
  const std::string executable =
      lastApplicationPath_ + "/Contents/MacOS/" + BundleInfoString("CFBundleExecutable");
  // The started application reads the command at its start: "Trashed" selects the
  // uninstaller, "Moved" re-registers the agent.
  const std::string prefix = std::string(kLaunchCommandVariable) + "=";
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) environment.emplace_back(*entry);
  if (command != nullptr) environment.push_back(prefix + command);
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string program = executable;
  char* argv[] = {program.data(), nullptr};

  const std::string shown = command ? prefix + command + " " : std::string();
  QPX_Log(QPX_LOG_TRACE, "%s%s", shown.c_str(), QPX_Framework_CommandLineForDisplay({executable}).c_str());

  // Detached from this process: its own session, no terminal, nothing inherited to read.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to start %s: %s", executable.c_str(), std::strerror(error));
    return false;
  }
  // The application outlives this call; its exit status is collected so it leaves no zombie.
  std::thread([pid] {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

void QPX_Framework_LauncherStuff::LaunchAppForDevice() {
  if ((GetLauncherMode() & QPX_Framework_Launcher_Mode_Device) != 0) LaunchApp();
}

void QPX_Framework_LauncherStuff::SetupUninstallMonitor() {
  if (!QPX_Framework_Launcher::GetMonitorUninstall()) return;
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to watch the bundle: %s", std::strerror(errno));
    return;
  }
  // The watch follows the folder itself, wherever it is moved or renamed to.
  if (inotify_add_watch(inotify_, lastApplicationPath_.c_str(), IN_MOVE_SELF | IN_DELETE_SELF) < 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to watch \"%s\": %s", lastApplicationPath_.c_str(), std::strerror(errno));
    close(inotify_);
    inotify_ = -1;
    return;
  }
  std::weak_ptr<QPX_Framework_LauncherStuff> weak = weak_from_this();
  watch_ = platform::RunLoop::Current().AddFd(inotify_, platform::RunLoop::Readable, [weak](unsigned) {
    if (auto self = weak.lock()) self->ReadBundleEvents();
  });
}

void QPX_Framework_LauncherStuff::ReadBundleEvents() {
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  while (read(inotify_, buffer, sizeof buffer) > 0) any = true;
  if (any) EventStreamCallback();
}

void QPX_Framework_LauncherStuff::EventStreamCallback() {
  // The working directory lies inside the bundle, so it follows the bundle wherever it went.
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return;
  std::fprintf(stderr, "FSEvent callback -> %s\n", folder);
  if (lastApplicationPath_ == folder) return;
  lastApplicationPath_ = folder;
  LaunchApp(QPX_Framework_Launcher_IsTrashPath(lastApplicationPath_) ? "Trashed" : "Moved");
}

void QPX_Framework_Launcher_RegisterClasses() {
  QPX_Framework_ClassEntry entry;
  entry.name = "QPX_Framework_Launcher";
  entry.init = &QPX_Framework_Launcher::QPX_Framework_Init;
  QPX_Framework_ClassRegistry::Register(std::move(entry));
  QPX_Framework_SetClassOperation("QPX_Framework_Launcher", "Move", [] { QPX_Framework_Launcher::Move(); });
}
