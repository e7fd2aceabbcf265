#include "platform/assert.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "framework/core/log.h"
#include "platform/bundle.h"

const char* const _QPX_Framework_Text_AssertionFailed = "Assertion Failed";
const char* const _QPX_Framework_Text_MissingImplementation = "Missing Implementation";

std::atomic<QPX_Framework_AssertAlertFunction> QPX_Framework_Assert_Alert{nullptr};

namespace {

// Runs before the assertion handler ends the process (or, in tests, throws): the message
// reaches the debug log, and where a GUI runs the user chooses how the process ends.
void ReportAssertion(const std::string& message) {
  // The handler must run whatever happens here.
  try {
    QPX_Framework_Log_Internal(__FILE__, __LINE__, "QPX_Framework_Assert_Failed", nullptr, 0, QPX_LOG_ERROR,
                               "%s", message.c_str());
  } catch (...) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
  }
  if (QPX_Framework_AssertAlertFunction alert = QPX_Framework_Assert_Alert.load()) {
    std::string title;
    if (std::shared_ptr<platform::Bundle> bundle = platform::Bundle::Main()) {
      title = bundle->objectForInfoKey("CFBundleDisplayName").string();
    }
    // "Quit" leaves the ending to the handler: status 1, without clean-up.
    if (alert(title, message) == QPX_Framework_AssertChoice::CrashMe) std::abort();
  }
}

std::string DetailText(const Value& detail) {
  if (detail.isNull()) return {};
  if (detail.isString()) return detail.string();
  return detail.Description();
}

}  // namespace

void QPX_Framework_Assert_InstallReporter() { platform::SetAssertionReporter(&ReportAssertion); }

void QPX_Framework_Assert_Failed(const char* text, const char* sourceFile, unsigned line,
                                 const Value& detail) {
  static std::once_flag installed;
  std::call_once(installed, &QPX_Framework_Assert_InstallReporter);
  platform::AssertionFailed(text, sourceFile, line, DetailText(detail));
}
