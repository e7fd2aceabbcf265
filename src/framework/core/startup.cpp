#include "framework/core/startup.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "framework/core/class_registry.h"
#include "framework/core/class_table.h"
#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "platform/bundle.h"
#include "platform/thread_context.h"

int _QPX_Framework_Argc = 0;
char** _QPX_Framework_Argv = nullptr;
int QPX_Framework_Application_RunMode = 0;
bool QPX_Framework_IsPrivileged = false;
int _QPX_Framework_Fd = -1;
const char* const _QPX_Framework_Privileged_StartupString = "Running";

QPX_Framework_SystemVersion_Record QPX_Framework_SystemVersion;
QPX_Framework_ApplicationInfo_Record QPX_Framework_ApplicationInfo;

namespace {

const char* const kLaunchCommandVariable = "QPX_LAUNCH_COMMAND";
const char* const kUnknownAppName = "Unknown QPX App";

// Reads the leading decimal digits of a version component; stops at the first other character.
uint32_t LeadingComponent(const std::string& text, std::size_t& pos) {
  uint32_t value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (value < 1000) value = value * 10 + uint32_t(text[pos] - '0');
    ++pos;
  }
  // The combined version packs each component into 8 bits.
  return value > 255 ? 255 : value;
}

int IntegerOfEntry(const Value& entry) {
  if (entry.isNumber()) return entry.toInt();
  // A text entry counts by its leading integer, as the bundle tools write either form.
  const std::string& text = entry.string();
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

std::string LastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

bool IsHeavyLauncherName(const char* argv0, const std::string& executableName) {
  return argv0 != nullptr && !executableName.empty() &&
         LastPathComponent(argv0) == executableName + " Launcher";
}

bool CommandMatches(const char* value, const char* command) {
  if (value == nullptr || command == nullptr) return value == nullptr && command == nullptr;
  return std::strcmp(value, command) == 0;
}

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

QPX_Framework_LaunchPrivileged_Hook& LaunchPrivilegedHook() {
  static QPX_Framework_LaunchPrivileged_Hook hook;
  return hook;
}

std::map<std::string, std::function<void()>, std::less<>>& ClassOperations() {
  static std::map<std::string, std::function<void()>, std::less<>> operations;
  return operations;
}

std::string OperationKey(const std::string& className, const std::string& operation) {
  return className + " " + operation;
}

// The executable name the bundle declares; empty when there is none.
std::string BundleExecutableName() {
  auto bundle = platform::Bundle::Main();
  if (!bundle) return {};
  return bundle->objectForInfoKey("CFBundleExecutable").string();
}

std::string UserHomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
    return entry->pw_dir;
  return {};
}

}  // namespace

// --- System version ---

bool QPX_Framework_SystemVersion_FromRelease(const std::string& sysname, const std::string& release,
                                             QPX_Framework_SystemVersion_Record& record) {
  std::size_t pos = 0;
  if (release.empty() || release[0] < '0' || release[0] > '9') return false;
  uint32_t components[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    components[i] = LeadingComponent(release, pos);
    if (pos >= release.size() || release[pos] != '.' || pos + 1 >= release.size() || release[pos + 1] < '0' ||
        release[pos + 1] > '9')
      break;
    ++pos;
  }
  record.major = components[0];
  record.minor = components[1];
  record.bugfix = components[2];
  record.combined = (record.major << 8) + record.minor;
  char text[128];
  std::snprintf(text, sizeof text, "%s %u.%u.%u", sysname.empty() ? "Linux" : sysname.c_str(), record.major,
                record.minor, record.bugfix);
  record.string = text;
  return true;
}

std::optional<uint8_t> QPX_Framework_SystemVersion_Is64Bit(const std::string& machine) {
  if (machine == "x86_64" || machine == "aarch64") return 1;
  if (machine == "i386" || machine == "i686") return 0;
  return std::nullopt;
}

bool _QPX_Framework_SystemVersion_Init() {
  utsname names{};
  if (uname(&names) != 0) return false;
  QPX_Framework_SystemVersion_Record record;
  if (!QPX_Framework_SystemVersion_FromRelease(names.sysname, names.release, record)) return false;
  if (auto is64Bit = QPX_Framework_SystemVersion_Is64Bit(names.machine))
    record.is64Bit = *is64Bit;
  else
    std::fprintf(stderr, "Unable to detemine 32/64 bit: unknown machine \"%s\"\n", names.machine);
  QPX_Framework_SystemVersion = record;
  return true;
}

// --- Application information ---

bool QPX_Framework_ApplicationInfo_FromInfo(const Value& info, QPX_Framework_ApplicationInfo_Record& record) {
  const Value buildID = info.get("QPX Build ID");
  const Value identifier = info.get("CFBundleIdentifier");
  const Value product = info.get("QPX VOQ product");
  const Value release = info.get("QPX VOQ release");
  const Value buildTime = info.get("QPX Build Time");
  const std::pair<const char*, bool> required[] = {
      {"QPX Build ID", buildID.isString()},
      {"CFBundleIdentifier", identifier.isString()},
      {"QPX VOQ product", product.isNumber() || product.isString()},
      {"QPX VOQ release", release.isNumber() || release.isString()},
      {"QPX Build Time", !buildTime.isNull()},
  };
  for (const auto& [key, present] : required) {
    if (!present) {
      std::fprintf(stderr, "The bundle's information lacks \"%s\"\n", key);
      return false;
    }
  }
  QPX_Framework_ApplicationInfo_Record result;
  result.buildID = buildID.string();
  result.bundleIdentifier = identifier.string();
  result.productNumber = IntegerOfEntry(product);
  result.releaseNumber = IntegerOfEntry(release);
  result.buildTime = buildTime;
  const auto displayName = info.get("CFBundleDisplayName").optString();
  const auto name = info.get("CFBundleName").optString();
  result.displayName = displayName.value_or(name.value_or(kUnknownAppName));
  result.name = name.value_or(displayName.value_or(kUnknownAppName));
  record = std::move(result);
  return true;
}

bool _QPX_Framework_ApplicationInfo_Init() {
  auto bundle = platform::Bundle::Main();
  if (!bundle) return false;
  return QPX_Framework_ApplicationInfo_FromInfo(bundle->infoDictionary(), QPX_Framework_ApplicationInfo);
}

// --- Run mode ---

bool CheckCommand(const char* command) {
  return CommandMatches(std::getenv(kLaunchCommandVariable), command);
}

void CheckHeavyLauncher() {
  if (_QPX_Framework_Argc < 1 || _QPX_Framework_Argv == nullptr) return;
  if (IsHeavyLauncherName(_QPX_Framework_Argv[0], BundleExecutableName()))
    QPX_Framework_Application_RunMode = 3;
}

int QPX_Framework_SelectRunMode(const char* launchCommand, const char* argv0,
                                const std::string& executableName) {
  if (CommandMatches(launchCommand, "Trashed") &&
      QPX_Framework_ClassRegistry::Exists("QPX_Framework_Uninstaller"))
    return 2;
  if (IsHeavyLauncherName(argv0, executableName)) return 3;
  return 1;
}

// --- Hand-over points ---

void QPX_Framework_SetLaunchPrivileged(QPX_Framework_LaunchPrivileged_Hook hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  LaunchPrivilegedHook() = std::move(hook);
}

void LaunchPrivileged() {
  QPX_Framework_LaunchPrivileged_Hook hook;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    hook = LaunchPrivilegedHook();
  }
  if (hook) hook();
}

void QPX_Framework_SetClassOperation(const std::string& className, const std::string& operation,
                                     std::function<void()> body) {
  std::lock_guard<std::mutex> lock(HookMutex());
  if (body)
    ClassOperations()[OperationKey(className, operation)] = std::move(body);
  else
    ClassOperations().erase(OperationKey(className, operation));
}

bool QPX_Framework_CallClassOperation(const std::string& className, const std::string& operation) {
  if (!QPX_Framework_ClassRegistry::Exists(className)) return false;
  std::function<void()> body;
  {
    std::lock_guard<std::mutex> lock(HookMutex());
    auto it = ClassOperations().find(OperationKey(className, operation));
    if (it == ClassOperations().end()) return false;
    body = it->second;
  }
  body();
  return true;
}

// --- Entry points ---

int NormalApplicationMain() {
  LaunchPrivileged();
  // Moving the bundle only re-registers the launch agent for its new place; nothing else runs.
  if (CheckCommand("Moved") && QPX_Framework_ClassRegistry::Exists("QPX_Framework_Launcher")) {
    QPX_Framework_CallClassOperation("QPX_Framework_Launcher", "Move");
    return 0;
  }
  // A start-up that did not come up is a failure, not a normal end.
  if (!_QPX_Framework_Init()) return 1;
  QPX_Framework_CallClassOperation("QPX_Project", "run");
  return 0;
}

int HeavyLauncherMain() {
  switch (QPX_Framework_HeavyLauncher_Privileged_Mode) {
    case 0:
      if (setuid(getuid()) != 0) {
        std::perror("Unable to drop privileges");
        return 1;
      }
      break;
    case 2:
      LaunchPrivileged();
      break;
    default:
      break;
  }
  if (!_QPX_Framework_Init()) return 1;
  QPX_Framework_CallClassOperation("QPX_Project_HeavyLauncher", "run");
  return 0;
}

int QPX_Framework_Main(int argc, char** argv) {
  // Broken invariants of the lower layers are logged from the first line on.
  QPX_Framework_Assert_InstallReporter();
  QPX_Assert_Detail(argc >= 0 && argv != nullptr && argv[argc] == nullptr,
                    Value("argument vector not null-ended"));
  _QPX_Framework_Argc = argc;
  _QPX_Framework_Argv = argv;

  if (!_QPX_Framework_SystemVersion_Init()) {
    std::fprintf(stderr, "Unable to determine the system version\n");
    return 1;
  }
  if (!_QPX_Framework_ApplicationInfo_Init()) return 1;

  QPX_Framework_Application_RunMode = QPX_Framework_SelectRunMode(
      std::getenv(kLaunchCommandVariable), argc > 0 ? argv[0] : nullptr, BundleExecutableName());
  QPX_Log(QPX_LOG_MILESTONE, "Starting %s %s in run mode %d on %s",
          QPX_Framework_ApplicationInfo.name.c_str(), QPX_Framework_ApplicationInfo.buildID.c_str(),
          QPX_Framework_Application_RunMode, QPX_Framework_SystemVersion.string.c_str());

  return QPX_Framework_Application_RunMode == 3 ? HeavyLauncherMain() : NormalApplicationMain();
}

// --- Paths ---

const std::string& QPX_Framework_Application_Root() {
  static std::string* root = nullptr;
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  if (root == nullptr) {
    auto bundle = platform::Bundle::Main();
    root = new std::string(bundle ? bundle->bundlePath() : std::string());
  }
  return *root;
}

const std::string& QPX_Framework_Application_Resources() {
  static std::string* resources = nullptr;
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  if (resources == nullptr)
    resources = new std::string(QPX_Framework_Application_Root() + "/Contents/Resources");
  return *resources;
}

bool QPX_Framework_IsMainThread() {
  return platform::CurrentThreadContext().dictionary.get(_QPX_Framework_MainThread_Key).toBool();
}

std::string QPX_Framework_MakeUserFilePath(const std::optional<std::string>& homeFolder) {
  std::string home = homeFolder ? *homeFolder : UserHomeFolder();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  // Any absolute folder but the root itself: "/root" is a real home folder, "/" would put
  // the per-user folder at the top of the file system.
  QPX_Assert_Detail(home.size() > 1 && home[0] == '/', Value("home folder \"" + home + "\""));
  const std::string& identifier = QPX_Framework_ApplicationInfo.bundleIdentifier;
  QPX_Assert_Detail(identifier.size() > 5, Value("bundle identifier \"" + identifier + "\""));
  return home + "/." + identifier;
}

std::optional<std::string> QPX_Framework_UserFilePath(const char* name) {
  const std::string folder = QPX_Framework_MakeUserFilePath();
  if (mkdir(folder.c_str(), 0755) != 0) {
    const int error = errno;
    struct stat info {};
    if (error != EEXIST || stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      QPX_Log(QPX_LOG_ERROR, "Unable to create \"%s\": %s", folder.c_str(),
              std::strerror(error == EEXIST ? ENOTDIR : error));
      return std::nullopt;
    }
  }
  if (name == nullptr) return folder;
  return folder + "/" + name;
}
