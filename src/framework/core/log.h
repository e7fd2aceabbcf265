#pragma once
// The one logging entry point and the assertion routine of the framework.
// Every call site passes its source file, line and function, so each log line can be
// traced to the code that wrote it.

#include <atomic>
#include <cstdarg>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

enum QPX_Framework_LogLevel : int {
  QPX_LOG_CALLS = 0,
  QPX_LOG_TRACE = 1,
  QPX_LOG_MILESTONE = 2,
  QPX_LOG_ATCOMMANDS = 3,
  QPX_LOG_GUI = 4,
  QPX_LOG_ERROR = 5,
};

// "Calls", "Trace", "Milestone", "ATCommands", "GUI", "Error"; null outside 0..5.
const char* QPX_Framework_LogLevelName(int level);

// Writes one entry. threadName may be null (the calling thread's name is used); a time
// stamp of 0 means now (seconds since 1970). The format is printf's; Values are passed as
// their Description().c_str() with %s.
void QPX_Framework_Log_Internal(const char* sourceFile, unsigned line, const char* function,
                                const char* threadName, double timeStamp, int level, const char* format,
                                ...) __attribute__((format(printf, 7, 8)));
void QPX_Framework_Log_InternalV(const char* sourceFile, unsigned line, const char* function,
                                 const char* threadName, double timeStamp, int level, const char* format,
                                 va_list args) __attribute__((format(printf, 7, 0)));

#define QPX_Log(level, ...) \
  QPX_Framework_Log_Internal(__FILE__, __LINE__, __func__, nullptr, 0, (level), __VA_ARGS__)

// The shape of a receiver of whole entries: the arguments of QPX_Framework_Log_Internal with
// the format's arguments as a va_list, valid for the call only.
using QPX_Framework_Log_Receiver = void (*)(const char* sourceFile, unsigned line, const char* function,
                                            const char* threadName, double timeStamp, int level,
                                            const char* format, va_list args);

// In the privileged process every entry goes here instead (the application writes it).
// Null, or a process that is not privileged: entries are logged as usual.
extern std::atomic<QPX_Framework_Log_Receiver> QPX_Framework_Log_Internal_Privileged;

// The user log, when it exists: receives every entry of every level, before the level mask
// is applied and outside the log lock. A zero time stamp has been replaced by now.
extern std::atomic<QPX_Framework_Log_Receiver> QPX_Framework_Log_UserLog;

// The debug log file, "/tmp/Talvoro.Log". Tests point it elsewhere; changing it closes the
// open file, so the next entry opens (and truncates, on a new day) the new one.
void QPX_Framework_Log_SetFilePath(const std::string& path);
std::string QPX_Framework_Log_FilePath();
// Forgets what is read once per process (level mask, line prefix) and closes the file, so
// the next entry reads and opens everything again. For tests.
void QPX_Framework_Log_ResetState();

// Sets (or with nullopt removes) the calling thread's log name ("QPX-ThreadName").
void QPX_Framework_SetThreadName(const std::optional<std::string>& name);

// Bytes of a modem exchange rendered for a log line.
std::string QPX_Framework_Log_ModemData(std::string_view bytes);

// The user default holding the level mask of the debug log.
extern const char* const _QPX_Framework_Logging_State_Key;  // "Talvoro-Logging"

extern const char* const _QPX_Framework_Text_AssertionFailed;       // "Assertion Failed"
extern const char* const _QPX_Framework_Text_MissingImplementation;  // "Missing Implementation"

// Logs the broken invariant and ends the process (tests: throws platform::AssertionFailure).
[[noreturn]] void QPX_Framework_Assert_Failed(const char* text, const char* sourceFile, unsigned line,
                                              const Value& detail = Value());

// Makes the debug log the reporter of every assertion, the platform layer's included. Called
// first thing at start-up; QPX_Framework_Assert_Failed also installs it on first use.
void QPX_Framework_Assert_InstallReporter();

// Where a GUI runs, the assertion is shown in a modal alert (title: the bundle's display
// name) offering "Quit" (status 1) and "Crash Me" (abnormal end). Null without a GUI: the
// assertion is logged and the process ends with status 1.
enum class QPX_Framework_AssertChoice { Quit, CrashMe };
using QPX_Framework_AssertAlertFunction = QPX_Framework_AssertChoice (*)(const std::string& title,
                                                                         const std::string& message);
extern std::atomic<QPX_Framework_AssertAlertFunction> QPX_Framework_Assert_Alert;

#define QPX_Assert(condition)                                                                \
  do {                                                                                       \
    if (!(condition))                                                                        \
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__, #condition); \
  } while (0)

#define QPX_Assert_Detail(condition, detail)                                                 \
  do {                                                                                       \
    if (!(condition))                                                                        \
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__, (detail)); \
  } while (0)
