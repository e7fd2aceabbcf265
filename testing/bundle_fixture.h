#pragma once
// A fake Dashboard.app for tests that read the main bundle or the user defaults.
//
//   testing_support::BundleFixture fx;                 // default Info.plist, nothing on disk yet
//   fx.SetInfo("QPX Build ID", Value("2.0.0"));       // change or (null) remove an info key
//   fx.SetPreferencesDefault("QPX Launcher Mode", Value(2));
//   fx.AddResource("en.lproj/Strings", bytes);         // any file below Contents/Resources
//   fx.AddPlistResource("Devices.plist", value);       // a property list, written as XML
//   fx.Install();                                      // becomes Bundle::Main() and UserDefaults::Standard()
//   ... code under test ...
//   // the destructor restores the previous main bundle, standard defaults, HOME and
//   // language variables, then removes the folder
//
// Layout, in a fresh temporary folder:
//   <root>/Dashboard.app/Contents/Info.plist     the info dictionary (written by Install)
//   <root>/Dashboard.app/Contents/MacOS/         (empty unless AddFile puts something there)
//   <root>/Dashboard.app/Contents/Resources/     AddResource / AddLanguage
//   <root>/home/                                 HOME while installed; the user defaults live
//                                                in home/.config/net.tamsel.dashboard.plist
//
// Files are written at once by AddResource/AddFile; the info dictionary is written by
// Install(). Install() may be called again after further changes: it rewrites Info.plist
// and installs a new Bundle and a new UserDefaults (on the same file, so stored values
// stay). While installed, the language variables are pinned (LANGUAGE, LC_ALL and
// LC_MESSAGES unset, LANG "en_US.UTF-8") so results don't depend on the machine's locale;
// SetLanguages changes them. Environment changes are not thread-safe: create and destroy
// the fixture while no other thread of the test runs.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"
#include "platform/user_defaults.h"
#include "platform/value.h"
#include "testing/test_support.h"

namespace testing_support {

// Sets the variables the bundle reads the user's languages from, and restores their
// previous values (or absence) on destruction. A null pointer unsets the variable.
class ScopedLanguageEnvironment {
 public:
  ScopedLanguageEnvironment(const char* language, const char* lcAll, const char* lcMessages,
                            const char* lang);
  // Only LANG set (to the given value), the others unset.
  explicit ScopedLanguageEnvironment(const char* lang)
      : ScopedLanguageEnvironment(nullptr, nullptr, nullptr, lang) {}
  ~ScopedLanguageEnvironment();
  ScopedLanguageEnvironment(const ScopedLanguageEnvironment&) = delete;
  ScopedLanguageEnvironment& operator=(const ScopedLanguageEnvironment&) = delete;

  void Set(const char* language, const char* lcAll, const char* lcMessages, const char* lang);

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class BundleFixture {
 public:
  BundleFixture();
  ~BundleFixture();
  BundleFixture(const BundleFixture&) = delete;
  BundleFixture& operator=(const BundleFixture&) = delete;

  // The info dictionary a fixture starts with: CFBundleExecutable "Dashboard",
  // CFBundleIdentifier "net.tamsel.dashboard", CFBundleName "Dashboard",
  // CFBundleDisplayName "Tamsel Dashboard", CFBundleDevelopmentRegion "en",
  // "QPX Build ID" "1.0.0", "QPX VOQ product" 1201, "QPX VOQ release" 1, "QPX Build Time"
  // (2024-01-01 00:00 UTC), "QPX Preferences Defaults" and "QPX Options" (empty dictionaries).
  static Value DefaultInfo();

  // Changes the info written by the next Install(). A null value removes the key.
  void SetInfo(std::string_view key, const Value& value);
  void SetInfoDictionary(const Value& info);
  const Value& info() const { return info_; }
  // Sets (null removes) one key of "QPX Preferences Defaults" / "QPX Options".
  void SetPreferencesDefault(std::string_view key, const Value& value);
  void SetOption(std::string_view key, const Value& value);

  // Writes Contents/Resources/<relativePath>, creating folders ("en.lproj/Strings").
  std::string AddResource(const std::string& relativePath, const std::string& bytes);
  std::string AddPlistResource(const std::string& relativePath, const Value& value);
  // Creates the (empty) folder Contents/Resources/<code>.lproj.
  std::string AddLanguage(const std::string& code);
  // Writes <bundle>/<relativePath> ("Contents/MacOS/Dashboard Starter"); mode as given.
  std::string AddFile(const std::string& relativePath, const std::string& bytes, unsigned mode = 0644);

  // Writes Info.plist, points HOME at home(), pins the language variables (first call) and
  // installs a new Bundle as Bundle::Main() and a new UserDefaults as Standard().
  std::shared_ptr<platform::Bundle> Install();
  // Sets the language variables while installed (see ScopedLanguageEnvironment).
  void SetLanguages(const char* language, const char* lcAll, const char* lcMessages, const char* lang);

  const std::string& rootPath() const { return root_.path(); }
  std::string bundlePath() const { return root_.path() + "/Dashboard.app"; }
  std::string contentsPath() const { return bundlePath() + "/Contents"; }
  std::string resourcesPath() const { return contentsPath() + "/Resources"; }
  std::string homePath() const { return root_.path() + "/home"; }
  // The user defaults file of the installed domain.
  std::string defaultsPath() const;

  // The installed objects (null before Install()).
  const std::shared_ptr<platform::Bundle>& bundle() const { return bundle_; }
  const std::shared_ptr<platform::UserDefaults>& defaults() const { return defaults_; }

 private:
  TempDir root_;
  Value info_;
  bool installed_ = false;
  std::shared_ptr<platform::Bundle> bundle_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  std::shared_ptr<platform::Bundle> previousBundle_;
  std::shared_ptr<platform::UserDefaults> previousDefaults_;
  std::optional<std::string> previousHome_;
  std::unique_ptr<ScopedLanguageEnvironment> languages_;
};

}  // namespace testing_support
