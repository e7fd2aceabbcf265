#pragma once
// The application bundle: Dashboard.app/Contents/{Info.plist, MacOS/<executable>, Resources}.
// The running program finds its bundle from its own executable path, two levels up.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"

namespace platform {

class Bundle {
 public:
  // Reads <bundlePath>/Contents/Info.plist; a missing or unreadable file gives empty info.
  explicit Bundle(std::string bundlePath);

  // The bundle of the running executable (/proc/self/exe, two levels up from
  // Contents/MacOS). Tests replace it with SetMain.
  static std::shared_ptr<Bundle> Main();
  static void SetMain(std::shared_ptr<Bundle> bundle);
  static std::string ExecutablePathOfProcess();

  const std::string& bundlePath() const { return bundlePath_; }
  std::string contentsPath() const { return bundlePath_ + "/Contents"; }
  std::string resourcesPath() const { return bundlePath_ + "/Contents/Resources"; }
  // Contents/MacOS/<CFBundleExecutable>
  std::string executablePath() const;

  const Value& infoDictionary() const { return info_; }
  Value objectForInfoKey(std::string_view key) const { return info_.get(key); }

  // Languages with a "<code>.lproj" folder in Resources, ordered by the user's preference
  // (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), then the development region.
  std::vector<std::string> preferredLocalizations() const;

  // The first existing "Resources/<language>.lproj/<name>" for the given languages, else
  // "Resources/<name>" when it exists.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::vector<std::string>& languages) const;

 private:
  std::string bundlePath_;
  Value info_;
};

}  // namespace platform
