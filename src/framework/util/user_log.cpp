#include "framework/util/user_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "framework/core/subscription.h"
#include "framework/core/thread.h"
#include "framework/util/process.h"

const char* const QPX_Framework_Project_Logging_Enabled_Key = "QPX Project Logging Enabled";
const char* const QPX_Framework_Project_Logging_FileName = "Logfile.txt";

namespace {

const char* const kClassName = "QPX_Framework_Project_Logging";
const char* const kProjectClassName = "QPX_Project_Logging";
const char* const kZipProgram = "/usr/bin/zip";

std::mutex& InstanceMutex() {
  static std::mutex mutex;
  return mutex;
}
// Never destroyed: the writer thread of the process's instance lives as long as the process.
std::shared_ptr<QPX_Framework_Project_Logging>& InstanceSlot() {
  static auto* slot = new std::shared_ptr<QPX_Framework_Project_Logging>();
  return *slot;
}

double Now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The local time of the moment (seconds since 1970) in the strftime format.
std::string LocalTime(double timeStamp, const char* format) {
  const time_t seconds = static_cast<time_t>(std::floor(timeStamp));
  tm local{};
  ::localtime_r(&seconds, &local);
  char text[96];
  const std::size_t length = std::strftime(text, sizeof text, format, &local);
  return std::string(text, length);
}

// One entry, one line: backslashes doubled, line feeds written as "\n".
std::string EscapeMessage(const std::string& message) {
  std::string escaped;
  escaped.reserve(message.size());
  for (char c : message) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

std::string FormatMessage(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (length < 0) return std::string();
  if (static_cast<std::size_t>(length) < sizeof small)
    return std::string(small, static_cast<std::size_t>(length));
  std::vector<char> large(static_cast<std::size_t>(length) + 1);
  va_copy(copy, args);
  std::vsnprintf(large.data(), large.size(), format, copy);
  va_end(copy);
  return std::string(large.data(), static_cast<std::size_t>(length));
}

std::string LastPathComponent(const char* path) {
  if (path == nullptr) return std::string();
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? std::string(slash + 1) : std::string(path);
}

std::string Lowercase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

// --- Class operations --------------------------------------------------------------------------

bool QPX_Framework_Project_Logging::QPX_Framework_Init(const std::string& className) {
  if (className != kClassName) return true;
  QPX_Assert_Detail(Get() == nullptr, Value("the user log exists already"));
  std::shared_ptr<QPX_Framework_Project_Logging> instance;
  if (auto entry = QPX_Framework_ClassRegistry::Find(kProjectClassName); entry && entry->create)
    instance = std::dynamic_pointer_cast<QPX_Framework_Project_Logging>(entry->create());
  if (!instance) instance = std::make_shared<QPX_Framework_Project_Logging>();
  _SetInstance(instance);
  instance->init();
  QPX_Framework_Log_UserLog.store(&QPX_Framework_Project_Logging::SourceFile);
  return true;
}

std::shared_ptr<QPX_Framework_Project_Logging> QPX_Framework_Project_Logging::Get() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  return InstanceSlot();
}

void QPX_Framework_Project_Logging::_SetInstance(std::shared_ptr<QPX_Framework_Project_Logging> instance) {
  std::shared_ptr<QPX_Framework_Project_Logging> previous;
  {
    std::lock_guard<std::mutex> lock(InstanceMutex());
    previous = std::move(InstanceSlot());
    InstanceSlot() = std::move(instance);
  }
  // `previous` is released here, outside the lock.
}

void QPX_Framework_Project_Logging::SourceFile(const char* sourceFile, unsigned, const char*, const char*,
                                               double timeStamp, int entryClass, const char* format,
                                               va_list args) {
  if (entryClass < QPX_LOG_MILESTONE || entryClass > QPX_LOG_ERROR) return;
  const std::shared_ptr<QPX_Framework_Project_Logging> instance = Get();
  if (!instance || !instance->IsEnabled()) return;
  instance->TakeEntry(sourceFile, timeStamp, entryClass, FormatMessage(format, args));
}

void QPX_Framework_Project_Logging_RegisterClasses() {
  QPX_Framework_ClassEntry entry;
  entry.name = kClassName;
  entry.init = &QPX_Framework_Project_Logging::QPX_Framework_Init;
  entry.create = [] { return std::make_shared<QPX_Framework_Project_Logging>(); };
  QPX_Framework_ClassRegistry::Register(std::move(entry));
}

// --- Life --------------------------------------------------------------------------------------

QPX_Framework_Project_Logging::QPX_Framework_Project_Logging(std::optional<std::string> logfilePath)
    : configuredPath_(std::move(logfilePath)) {}

QPX_Framework_Project_Logging::~QPX_Framework_Project_Logging() { Shutdown(); }

std::string QPX_Framework_Project_Logging::Description() const {
  return std::string("<QPX_Framework_Project_Logging ") + (IsEnabled() ? "enabled" : "disabled") + ">";
}

void QPX_Framework_Project_Logging::init() {
  QPX_Assert_Detail(!weak_from_this().expired(), Value("the user log must be owned by a shared_ptr"));
  std::lock_guard<std::mutex> life(lifeMutex_);
  QPX_Assert_Detail(!writer_.joinable(), Value("the user log was started already"));
  if (const QPX_Framework_StoragePtr preferences = QPX_Framework_Preferences) {
    subscription_ = preferences->Subscribe(QPX_Framework_Project_Logging_Enabled_Key);
    const std::weak_ptr<QPX_Framework_Project_Logging> weak = weak_from_this();
    subscription_->SetInvocation(QPX_Framework_Invocation::Make(
        shared_from_this(), [weak](QPX_Framework_Invocation::Arguments arguments) {
          if (const auto self = weak.lock()) {
            const Value node = arguments.size() > 0 ? arguments[0] : Value();
            const Value element = arguments.size() > 1 ? arguments[1] : Value();
            const Value value = arguments.size() > 2 ? arguments[2] : Value();
            self->QPX_Framework_Storage_NotificationFor(node.objectAs<QPX_Framework_Storage>(),
                                                        element.string(), value);
          }
          return Value();
        }));
  } else {
    QPX_Log(QPX_LOG_ERROR, "The user log has no settings to follow");
  }
  writer_ = std::thread([this] { WriteThread(); });
  // The writer has opened the file once it has taken its first (empty) batch.
  condition_.lockWhenCondition(0);
  condition_.unlock();
  EnableChanged();
}

void QPX_Framework_Project_Logging::Shutdown() {
  std::lock_guard<std::mutex> life(lifeMutex_);
  subscription_.reset();
  enabled_.store(false, std::memory_order_release);
  if (!writer_.joinable()) return;
  condition_.lock();
  stopping_ = true;
  condition_.unlockWithCondition(1);
  writer_.join();
}

// --- Queue -------------------------------------------------------------------------------------

void QPX_Framework_Project_Logging::Submit(Entry entry) {
  condition_.lock();
  if (stopping_) {
    condition_.unlock();
    if (entry.dropped) entry.dropped();
    return;
  }
  lines_.push_back(std::move(entry));
  condition_.unlockWithCondition(1);
}

void QPX_Framework_Project_Logging::SubmitLine(std::string line) {
  Entry entry;
  entry.line = std::move(line);
  Submit(std::move(entry));
}

void QPX_Framework_Project_Logging::SubmitInvocation(std::function<void()> invocation,
                                                     std::function<void()> dropped) {
  Entry entry;
  entry.invocation = std::move(invocation);
  entry.dropped = std::move(dropped);
  Submit(std::move(entry));
}

void QPX_Framework_Project_Logging::TakeEntry(const char* sourceFile, double timeStamp, int entryClass,
                                              const std::string& message) {
  if (entryClass < QPX_LOG_MILESTONE || entryClass > QPX_LOG_ERROR || !IsEnabled()) return;
  if (timeStamp == 0) timeStamp = Now();
  SubmitLine(LocalTime(timeStamp, "%T") + " " + LastPathComponent(sourceFile) + ": " +
             EscapeMessage(message) + "\r\n");
}

std::string QPX_Framework_Project_Logging::MakeHeaderLine(const char* event, double timeStamp) const {
  if (timeStamp == 0) timeStamp = Now();
  return LocalTime(timeStamp, "%T") + ": ******************** Log " + (event ? event : "") + ": " +
         LocalTime(timeStamp, "%F (timezone %Z)") + " ********************\r\n";
}

void QPX_Framework_Project_Logging::MakeLongHeaderInfo(const char* event, bool submit) {
  const double now = Now();
  const std::string time = LocalTime(now, "%T");
  const QPX_Framework_ApplicationInfo_Record& info = QPX_Framework_ApplicationInfo;
  const std::string lines[] = {
      MakeHeaderLine(event, now),
      time + ": ********** Application identifier: " + info.bundleIdentifier + "\r\n",
      time + ": ********** Application build: " + info.buildID + "\r\n",
      time + ": ********** Application build date: " + info.buildTime.Description() + "\r\n",
  };
  for (const std::string& line : lines) {
    if (submit)
      SubmitLine(line);
    else
      WriteLogLine(line);
  }
}

// --- Setting -----------------------------------------------------------------------------------

void QPX_Framework_Project_Logging::EnableChanged() {
  const QPX_Framework_StoragePtr preferences = QPX_Framework_Preferences;
  const bool setting =
      preferences && preferences->objectForKey(QPX_Framework_Project_Logging_Enabled_Key).toBool();
  if (setting && !IsEnabled()) {
    MakeLongHeaderInfo("start", true);
    enabled_.store(true, std::memory_order_release);
  } else if (!setting && IsEnabled()) {
    enabled_.store(false, std::memory_order_release);
    SubmitLine(MakeHeaderLine("stop", 0));
  }
  GUIEnableChanged();
}

void QPX_Framework_Project_Logging::QPX_Framework_Storage_NotificationFor(
    const std::shared_ptr<QPX_Framework_Storage>&, const std::string&, const Value&) {
  EnableChanged();
}

// --- Writer thread -----------------------------------------------------------------------------

void QPX_Framework_Project_Logging::WriteThread() {
  QPX_Framework_SetThreadName(std::string("User Log"));
  OpenLogfile(false);
  for (;;) {
    condition_.lockWhenCondition(1);
    std::swap(lines_, lines2_);
    const bool stop = stopping_;
    condition_.unlockWithCondition(0);
    for (Entry& entry : lines2_) {
      if (fd_ < 0) {
        // The file is gone for good: nothing can be written, but nobody waits for ever.
        if (entry.dropped) entry.dropped();
      } else if (entry.invocation) {
        entry.invocation();
      } else {
        WriteLogLine(entry.line);
      }
    }
    lines2_.clear();
    if (stop) break;
  }
  CloseLogfile();
}

void QPX_Framework_Project_Logging::OpenLogfile(bool truncate) {
  QPX_Assert_Detail(!logfilePath_, Value("the log file is open already"));
  const std::optional<std::string> path =
      configuredPath_ ? configuredPath_ : QPX_Framework_UserFilePath(QPX_Framework_Project_Logging_FileName);
  if (!path) {
    QPX_Log(QPX_LOG_ERROR, "Unable to open %s: %s", QPX_Framework_Project_Logging_FileName,
            "no per-user folder");
    fd_ = -1;
    return;
  }
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  const int fd = ::open(path->c_str(), flags, 0644);
  if (fd < 0) {
    const int error = errno;
    QPX_Log(QPX_LOG_ERROR, "Unable to open %s: %s", path->c_str(), std::strerror(error));
    fd_ = -1;
    return;
  }
  // Descriptor 0 means standard input was closed: lines would go where input is expected.
  QPX_Assert_Detail(fd != 0, Value("log file opened as descriptor 0"));
  fd_ = fd;
  logfilePath_ = path;
}

void QPX_Framework_Project_Logging::CloseLogfile() {
  if (fd_ > 0 && ::close(fd_) != 0) {
    const int error = errno;
    QPX_Log(QPX_LOG_ERROR, "Unable to write to %s: %s", logfilePath_.value_or("").c_str(),
            std::strerror(error));
  }
  fd_ = -1;
  logfilePath_.reset();
}

void QPX_Framework_Project_Logging::WriteLogLine(const std::string& line) {
  if (fd_ < 0) return;
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t count = ::write(fd_, line.data() + written, line.size() - written);
    if (count < 0) {
      const int error = errno;
      if (error == EINTR || error == EAGAIN) continue;
      QPX_Log(QPX_LOG_ERROR, "Unable to write to %s: %s", logfilePath_.value_or("").c_str(),
              std::strerror(error));
      CloseLogfile();
      return;
    }
    if (count == 0) return;
    QPX_Assert_Detail(static_cast<std::size_t>(count) <= line.size() - written,
                      Value("write reported more than asked"));
    written += static_cast<std::size_t>(count);
  }
}

// --- Clear and save ----------------------------------------------------------------------------

void QPX_Framework_Project_Logging::ClearLog() {
  SubmitInvocation([this] { DoClearLog(); });
}

void QPX_Framework_Project_Logging::DoClearLog() {
  CloseLogfile();
  OpenLogfile(true);
  if (fd_ >= 0) MakeLongHeaderInfo("cleared", false);
}

std::string QPX_Framework_Project_Logging::ArchivePath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  if (hasExtension && Lowercase(path.substr(dot + 1)) == "zip") return path;
  return path + ".zip";
}

void QPX_Framework_Project_Logging::SaveLog(const std::string& path,
                                            const QPX_Framework_InvocationPtr& completion) {
  const std::string target = ArchivePath(path);
  Value context = Value::EmptyDictionary();
  context.set("Invocation", Value::Object(completion));
  context.set("Thread", Value::Object(QPX_Framework_Thread::currentThread()));
  SubmitInvocation(
      [this, target, context] { DoSaveLog(target, context); },
      [target, context] { CompleteSave(context, false, target, std::string("The log file is not open")); });
}

void QPX_Framework_Project_Logging::DoSaveLog(const std::string& path, const Value& context) {
  if (!logfilePath_) {
    CompleteSave(context, false, path, std::string("The log file is not open"));
    return;
  }
  // The archive is made beside the target and renamed over it only when complete: a failed
  // save leaves whatever was at the path untouched, and zip never merges into an old file.
  static std::atomic<unsigned> counter{0};
  const std::string partial =
      path + ".partial-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".zip";
  ::unlink(partial.c_str());
  const QPX_Framework_ProcessResult result =
      QPX_Framework_Process_Run({kZipProgram, "-9", "-q", "-j", partial, *logfilePath_});
  std::optional<std::string> reason;
  if (!result.started) {
    reason = std::string("Unable to start ") + kZipProgram + ": " + std::strerror(result.startError);
  } else if (!result.succeeded()) {
    reason = result.exited() ? "zip ended with status " + std::to_string(result.exitCode())
                             : "zip ended by signal " + std::to_string(result.terminatingSignal());
  } else if (::rename(partial.c_str(), path.c_str()) != 0) {
    reason = std::string("Unable to write ") + path + ": " + std::strerror(errno);
  }
  if (reason) {
    ::unlink(partial.c_str());
    QPX_Log(QPX_LOG_ERROR, "Unable to save the log to \"%s\": %s", path.c_str(), reason->c_str());
    CompleteSave(context, false, path, reason);
    return;
  }
  QPX_Log(QPX_LOG_MILESTONE, "Saved log to \"%s\"", path.c_str());
  CompleteSave(context, true, path, std::nullopt);
}

void QPX_Framework_Project_Logging::CompleteSave(const Value& context, bool success, const std::string& path,
                                                 const std::optional<std::string>& reason) {
  const auto completion = context.get("Invocation").objectAs<QPX_Framework_Invocation>();
  if (!completion) return;
  const auto thread = context.get("Thread").objectAs<QPX_Framework_Thread>();
  if (thread && thread != QPX_Framework_Thread::currentThread()) {
    thread->QPX_Framework_Thread_Invoke(
        QPX_Framework_Invocation::Make([context, success, path, reason](auto) {
          CompleteSave(context, success, path, reason);
          return Value();
        }));
    return;
  }
  const Value arguments[] = {Value(success), Value(path), reason ? Value(*reason) : Value()};
  completion->Invoke(arguments);
}
