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
  // Reads <bundlePath>/Contents/Info.plist; a missing or unreadable file gives empty info
  // (an empty dictionary).
  explicit Bundle(std::string bundlePath);

  // The bundle of the running executable (/proc/self/exe, two levels up from
  // Contents/MacOS). An executable that is not inside a bundle (a test binary) gets a
  // bundle at its own folder with empty info. Made once and cached; tests replace it with
  // SetMain, and SetMain(nullptr) makes the next Main() look again.
  static std::shared_ptr<Bundle> Main();
  static void SetMain(std::shared_ptr<Bundle> bundle);
  // The resolved path of the running executable; empty when /proc/self/exe cannot be read.
  static std::string ExecutablePathOfProcess();

  const std::string& bundlePath() const { return bundlePath_; }
  std::string contentsPath() const { return bundlePath_ + "/Contents"; }
  std::string resourcesPath() const { return bundlePath_ + "/Contents/Resources"; }
  // Contents/MacOS/<CFBundleExecutable> (the bundle's name without ".app" when the key is
  // missing); for the main bundle of an executable outside a bundle, that executable.
  std::string executablePath() const;
  // CFBundleIdentifier; empty when missing or not a string.
  std::string bundleIdentifier() const;

  const Value& infoDictionary() const { return info_; }
  Value objectForInfoKey(std::string_view key) const { return info_.get(key); }

  // Languages with a "<code>.lproj" folder in Resources, ordered by the user's preference
  // (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), then the development region
  // (CFBundleDevelopmentRegion, the last fall-back, listed even without a folder). Codes
  // are taken without codeset and modifier ("de_DE.UTF-8@euro" is "de_DE"); a regional code
  // also matches its language ("de_DE" matches "de.lproj"). No duplicates.
  std::vector<std::string> preferredLocalizations() const;
  // Every "<code>.lproj" folder of Resources, sorted.
  std::vector<std::string> localizations() const;

  // The first existing "Resources/<language>.lproj/<name>" for the given languages, else
  // "Resources/<name>" when it exists. A name may contain folders ("GUI/Main.xml"); an
  // absolute name or one that climbs out with ".." finds nothing.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::vector<std::string>& languages) const;
  // The same for the preferred localizations.
  std::optional<std::string> pathForResource(const std::string& name) const {
    return pathForResource(name, preferredLocalizations());
  }

 private:
  struct OutsideBundle {};
  Bundle(std::string folder, std::string executable, OutsideBundle);

  std::string bundlePath_;
  Value info_;
  std::string executable_;  // set only for an executable outside a bundle
};

}  // namespace platform
