#pragma once
// The one logging entry point and the assertion routine of the framework.
// Every call site passes its source file, line and function, so each log line can be
// traced to the code that wrote it.

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

// Sets (or with nullopt removes) the calling thread's log name ("QPX-ThreadName").
void QPX_Framework_SetThreadName(const std::optional<std::string>& name);

// Bytes of a modem exchange rendered for a log line.
std::string QPX_Framework_Log_ModemData(std::string_view bytes);

extern const char* const _QPX_Framework_Text_AssertionFailed;       // "Assertion Failed"
extern const char* const _QPX_Framework_Text_MissingImplementation;  // "Missing Implementation"

// Logs the broken invariant and ends the process (tests: throws platform::AssertionFailure).
[[noreturn]] void QPX_Framework_Assert_Failed(const char* text, const char* sourceFile, unsigned line,
                                              const Value& detail = Value());

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
