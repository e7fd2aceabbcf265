#include "platform/assert.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {
std::atomic<AssertionReporter> g_reporter{nullptr};
std::atomic<AssertionHandler> g_handler{&ExitingAssertionHandler};
}  // namespace

AssertionReporter SetAssertionReporter(AssertionReporter reporter) { return g_reporter.exchange(reporter); }

AssertionHandler SetAssertionHandler(AssertionHandler handler) {
  return g_handler.exchange(handler ? handler : &ExitingAssertionHandler);
}

void ExitingAssertionHandler(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);
  _exit(1);
}

void ThrowingAssertionHandler(const std::string& message) { throw AssertionFailure(message); }

void AssertionFailed(const char* text, const char* file, unsigned line, const std::string& detail) {
  std::string message = std::string(text ? text : "") + ":\n" + (file ? file : "") + ":" + std::to_string(line);
  if (!detail.empty()) message += "\n" + detail;
  if (AssertionReporter reporter = g_reporter.load()) reporter(message);
  g_handler.load()(message);
  // A handler that returns has broken its contract; the invariant is still broken.
  std::abort();
}

}  // namespace platform
