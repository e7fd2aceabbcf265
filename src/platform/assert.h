#pragma once
// The lowest level of broken-invariant handling. Every layer ends up here: the message is
// handed to the reporter (the debug log, once the framework has installed it) and then to
// the handler, which ends the process. Tests install a handler that throws instead, so an
// assertion is an ordinary exception there.

#include <stdexcept>
#include <string>

namespace platform {

// Thrown by the test handler.
class AssertionFailure : public std::runtime_error {
 public:
  explicit AssertionFailure(const std::string& message) : std::runtime_error(message) {}
};

// Called with the full message before the handler; may be null.
using AssertionReporter = void (*)(const std::string& message);
// Must not return normally: it ends the process or throws.
using AssertionHandler = void (*)(const std::string& message);

AssertionReporter SetAssertionReporter(AssertionReporter reporter);
AssertionHandler SetAssertionHandler(AssertionHandler handler);

// The default handler: writes the message to standard error and exits with status 1.
void ExitingAssertionHandler(const std::string& message);
// The handler tests use: throws AssertionFailure.
void ThrowingAssertionHandler(const std::string& message);

// Message "text:\nfile:line" and, when detail is not empty, "\ndetail".
[[noreturn]] void AssertionFailed(const char* text, const char* file, unsigned line,
                                  const std::string& detail = {});

}  // namespace platform

#define PLATFORM_ASSERT(condition)                                                  \
  do {                                                                              \
    if (!(condition)) ::platform::AssertionFailed("Assertion Failed", __FILE__, __LINE__, #condition); \
  } while (0)
