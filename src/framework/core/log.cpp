#include "framework/core/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "framework/core/class_registry.h"
#include "platform/bundle.h"
#include "platform/thread_context.h"
#include "platform/user_defaults.h"

// Set by start-up before any thread but the main one runs.
extern int QPX_Framework_Application_RunMode;
extern bool QPX_Framework_IsPrivileged;

const char* const _QPX_Framework_Logging_State_Key = "Talvoro-Logging";

std::atomic<QPX_Framework_Log_Receiver> QPX_Framework_Log_Internal_Privileged{nullptr};
std::atomic<QPX_Framework_Log_Receiver> QPX_Framework_Log_UserLog{nullptr};

namespace {

constexpr const char* kDefaultLogPath = "/tmp/Talvoro.Log";
constexpr const char* kThreadNameKey = "QPX-ThreadName";
// Worker threads keep their ID (the decimal counter text, or "Main") here.
constexpr const char* kThreadIDKey = "QPX Thread ID";
constexpr const char* kHeavyLauncherClass = "QPX_Framework_Project_HeavyLauncher";
constexpr int kRunModeHeavyLauncher = 3;
constexpr int kLevelCount = 6;
// A run of "try again later" answers this long means the file is not going to take the bytes.
constexpr int kMaxWriteRetries = 1000;

const char* const kLoggingClasses[kLevelCount] = {"Calls",      "Trace", "Milestone",
                                                  "ATCommands", "GUI",   "Error"};

// --- state read once per process --------------------------------------------------------

std::mutex& StateMutex() {
  static std::mutex mutex;
  return mutex;
}

std::atomic<bool> g_maskKnown{false};
std::atomic<std::uint32_t> g_mask{0};
std::atomic<bool> g_prefixKnown{false};
std::string g_prefix;  // written once under StateMutex before g_prefixKnown is set

// True while this thread reads the once-per-process state or holds the log lock: an entry
// made from inside (an assertion of a layer below, say) must not wait for itself.
thread_local bool t_readingState = false;
thread_local bool t_holdingLogLock = false;

class FlagGuard {
 public:
  explicit FlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagGuard() { flag_ = false; }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  bool& flag_;
};

// A string holding a whole integer counts as that number: the defaults tool writes strings.
std::optional<std::int64_t> IntegerOf(const Value& value) {
  if (value.isNumber()) return value.toInt64();
  if (value.isString()) {
    const std::string& text = value.string();
    std::int64_t result = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (error == std::errc() && end == text.data() + text.size() && !text.empty()) return result;
  }
  return std::nullopt;
}

std::uint32_t ReadMask() {
  std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::Standard();
  if (!defaults) return 0;
  Value setting = defaults->objectForKey(_QPX_Framework_Logging_State_Key);
  if (setting.isNull()) return 0;  // logging is off
  std::optional<std::int64_t> number = IntegerOf(setting);
  if (!number) return 0;
  if (*number == 0) return 0xFFFFFFFFu;  // every level
  return static_cast<std::uint32_t>(*number);
}

std::uint32_t Mask() {
  if (g_maskKnown.load(std::memory_order_acquire)) return g_mask.load(std::memory_order_relaxed);
  if (t_readingState) return 0;
  std::lock_guard lock(StateMutex());
  if (!g_maskKnown.load(std::memory_order_relaxed)) {
    FlagGuard reading(t_readingState);
    g_mask.store(ReadMask(), std::memory_order_relaxed);
    g_maskKnown.store(true, std::memory_order_release);
  }
  return g_mask.load(std::memory_order_relaxed);
}

std::string ReadPrefix() {
  if (!QPX_Framework_ClassRegistry::Exists(kHeavyLauncherClass)) return "";
  return QPX_Framework_Application_RunMode == kRunModeHeavyLauncher ? "HL|" : "App|";
}

std::string Prefix() {
  if (g_prefixKnown.load(std::memory_order_acquire)) return g_prefix;
  if (t_readingState) return "";
  std::lock_guard lock(StateMutex());
  if (!g_prefixKnown.load(std::memory_order_relaxed)) {
    FlagGuard reading(t_readingState);
    g_prefix = ReadPrefix();
    g_prefixKnown.store(true, std::memory_order_release);
  }
  return g_prefix;
}

// --- the file, under the log lock --------------------------------------------------------

std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

struct FileState {
  std::string path = kDefaultLogPath;
  int fd = -1;  // -1: not open (never opened, or the last open failed)
  // The last open failure reported; the same failure is not printed again for every entry.
  std::string lastOpenError;
};

FileState& File() {
  static FileState state;
  return state;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VPrintf(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

std::string VPrintf(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char buffer[512];
  int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (length < 0) return {};
  if (static_cast<std::size_t>(length) < sizeof buffer) return std::string(buffer, length);
  std::string result(static_cast<std::size_t>(length) + 1, '\0');
  va_copy(copy, args);
  std::vsnprintf(result.data(), result.size(), format, copy);
  va_end(copy);
  result.resize(length);
  return result;
}

std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = VPrintf(format, args);
  va_end(args);
  return result;
}

void ReportOpenProblem(FileState& file, const std::string& problem) {
  if (problem == file.lastOpenError) return;
  file.lastOpenError = problem;
  std::fprintf(stderr, "%s: %s\n", file.path.c_str(), problem.c_str());
  std::fflush(stderr);
}

std::string Text(const Value& value) {
  if (value.isNull()) return "(null)";
  if (value.isString()) return value.string();
  return value.Description();
}

// The platform's default date text: "2024-05-17 14:03:59 +0200".
std::string DateText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char buffer[64];
  std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S %z", &local);
  return std::string(buffer, length);
}

enum class WriteResult { Done, Failed, Overflow };

WriteResult WriteLogfile(const FileState& file, const std::string& bytes) {
  bool locked = flock(file.fd, LOCK_EX) == 0;
  WriteResult result = WriteResult::Done;
  const char* next = bytes.data();
  std::size_t left = bytes.size();
  int retries = 0;
  while (left > 0) {
    ssize_t written = write(file.fd, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN && ++retries < kMaxWriteRetries) continue;
      std::perror(file.path.c_str());
      result = WriteResult::Failed;
      break;
    }
    if (written == 0) {
      result = WriteResult::Failed;
      break;
    }
    if (static_cast<std::size_t>(written) > left) {
      result = WriteResult::Overflow;
      break;
    }
    retries = 0;
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  if (locked) flock(file.fd, LOCK_UN);
  return result;
}

// All processes of one day append to one file; the first open of a new day empties it.
void TruncateLogfile(const FileState& file) {
  bool locked = flock(file.fd, LOCK_EX) == 0;
  struct stat info {};
  if (fstat(file.fd, &info) == 0) {
    std::time_t now = std::time(nullptr);
    std::tm today{}, modified{};
    localtime_r(&now, &today);
    localtime_r(&info.st_mtim.tv_sec, &modified);
    if (today.tm_yday != modified.tm_yday || today.tm_year != modified.tm_year) {
      if (ftruncate(file.fd, 0) != 0) std::perror(file.path.c_str());
    }
  }
  if (locked) flock(file.fd, LOCK_UN);
}

// Opens the file unless it is open. The file sits in a folder every user may write to, so
// it is only taken when it is a plain file of ours: a link placed there by someone else
// must not make us write (or truncate) the file it points to, and a named pipe must not
// block the first entry (hence the non-blocking open).
bool EnsureOpen(FileState& file, const std::string& prefix) {
  if (file.fd >= 0) return true;
  int fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) {
    int error = errno;
    ReportOpenProblem(file, error == ELOOP ? "is a symbolic link; not logging to it" : std::strerror(error));
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    ReportOpenProblem(file, std::strerror(errno));
    close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1) {
    ReportOpenProblem(file, "is not a regular file owned by this user; not logging to it");
    close(fd);
    return false;
  }
  // A file left by an older run may be readable by others; entries are for this user only.
  if ((info.st_mode & 077) != 0) fchmod(fd, 0600);
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  file.fd = fd;
  file.lastOpenError.clear();

  TruncateLogfile(file);
  Value buildID;
  if (std::shared_ptr<platform::Bundle> bundle = platform::Bundle::Main()) {
    buildID = bundle->objectForInfoKey("QPX Build ID");
  }
  std::string banner = Printf("%s***** Application build %s launched %s *****\n", prefix.c_str(),
                              Text(buildID).c_str(), DateText(std::time(nullptr)).c_str());
  WriteLogfile(file, banner);
  return true;
}

void CloseFile(FileState& file) {
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
  file.lastOpenError.clear();
}

// --- the entry ---------------------------------------------------------------------------

double Now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// One entry is one line: control characters are written as escapes.
std::string Escape(const std::string& message) {
  std::string result;
  result.reserve(message.size());
  for (unsigned char c : message) {
    switch (c) {
      case '\\':
        result += "\\\\";
        break;
      case '\n':
        result += "\\n";
        break;
      case '\r':
        result += "\\r";
        break;
      case '\t':
        result += "\\t";
        break;
      default:
        if (c < 32) {
          char octal[8];
          std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned>(c));
          result += octal;
        } else {
          result += static_cast<char>(c);
        }
    }
  }
  return result;
}

std::string ThreadName(const char* given) {
  if (given) return given;
  const Value& dictionary = platform::CurrentThreadContext().dictionary;
  Value name = dictionary.get(kThreadNameKey);
  if (!name.isNull()) return Text(name);
  Value id = dictionary.get(kThreadIDKey);
  if (!id.isNull()) return Text(id);
  return "";
}

void WriteToStandardError(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

const char* QPX_Framework_LogLevelName(int level) {
  return level >= 0 && level < kLevelCount ? kLoggingClasses[level] : nullptr;
}

void QPX_Framework_Log_Internal(const char* sourceFile, unsigned line, const char* function,
                                const char* threadName, double timeStamp, int level, const char* format,
                                ...) {
  va_list args;
  va_start(args, format);
  QPX_Framework_Log_InternalV(sourceFile, line, function, threadName, timeStamp, level, format, args);
  va_end(args);
}

void QPX_Framework_Log_InternalV(const char* sourceFile, unsigned line, const char* function,
                                 const char* threadName, double timeStamp, int level, const char* format,
                                 va_list args) {
  if (QPX_Framework_IsPrivileged) {
    if (QPX_Framework_Log_Receiver privileged = QPX_Framework_Log_Internal_Privileged.load()) {
      va_list copy;
      va_copy(copy, args);
      privileged(sourceFile, line, function, threadName, timeStamp, level, format, copy);
      va_end(copy);
      return;
    }
  }

  if (timeStamp == 0) timeStamp = Now();
  if (QPX_Framework_Log_Receiver userLog = QPX_Framework_Log_UserLog.load()) {
    va_list copy;
    va_copy(copy, args);
    userLog(sourceFile, line, function, threadName, timeStamp, level, format, copy);
    va_end(copy);
  }

  std::uint32_t mask = Mask();
  if (level < 0 || level >= 32 || (mask & (1u << level)) == 0) return;
  if (level >= kLevelCount) {
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("log level " + std::to_string(level) + " does not exist"));
  }

  std::time_t seconds = static_cast<std::time_t>(timeStamp);
  std::tm local{};
  localtime_r(&seconds, &local);

  std::string message = format ? Escape(VPrintf(format, args)) : std::string();
  std::string name = ThreadName(threadName);
  std::string prefix = Prefix();
  std::string text;
  if (level == QPX_LOG_ATCOMMANDS) {
    text = Printf("%s%02d:%02d:%02d|%s|%s|:: %s\n", prefix.c_str(), local.tm_hour, local.tm_min, local.tm_sec,
                  kLoggingClasses[level], name.c_str(), message.c_str());
  } else {
    text = Printf("%s%02d:%02d:%02d|%s|%s|%s:%u(%s): %s\n", prefix.c_str(), local.tm_hour, local.tm_min,
                  local.tm_sec, kLoggingClasses[level], name.c_str(), sourceFile ? sourceFile : "", line,
                  function ? function : "", message.c_str());
  }

  if (t_holdingLogLock) {
    // Logged from inside the log itself: the file is busy, standard error still takes it.
    WriteToStandardError(text);
    return;
  }
  WriteResult result = WriteResult::Done;
  {
    std::lock_guard lock(LogMutex());
    FlagGuard holding(t_holdingLogLock);
    FileState& file = File();
    if (EnsureOpen(file, prefix)) result = WriteLogfile(file, text);
    if (level == QPX_LOG_ERROR) WriteToStandardError(text);
  }
  if (result == WriteResult::Overflow) {
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("write reported more bytes than it was given"));
  }
}

void QPX_Framework_SetThreadName(const std::optional<std::string>& name) {
  Value& dictionary = platform::CurrentThreadContext().dictionary;
  if (name) {
    dictionary.set(kThreadNameKey, Value(*name));
  } else {
    dictionary.remove(kThreadNameKey);
  }
}

std::string QPX_Framework_Log_ModemData(std::string_view bytes) {
  if ((Mask() & (1u << QPX_LOG_ATCOMMANDS)) == 0 && !QPX_Framework_Log_UserLog.load()) {
    return "Logging Disabled";
  }
  if (!bytes.empty() && (bytes.back() == '\0' || bytes.back() == '\r')) bytes.remove_suffix(1);
  std::string result;
  result.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c >= 32 && c <= 127) {
      result += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\%02x", static_cast<unsigned>(c));
      result += hex;
    }
  }
  return result;
}

void QPX_Framework_Log_SetFilePath(const std::string& path) {
  std::lock_guard lock(LogMutex());
  FileState& file = File();
  CloseFile(file);
  file.path = path.empty() ? kDefaultLogPath : path;
}

std::string QPX_Framework_Log_FilePath() {
  std::lock_guard lock(LogMutex());
  return File().path;
}

void QPX_Framework_Log_ResetState() {
  {
    std::lock_guard lock(StateMutex());
    g_maskKnown.store(false);
    g_mask.store(0);
    g_prefixKnown.store(false);
    g_prefix.clear();
  }
  std::lock_guard lock(LogMutex());
  CloseFile(File());
}
