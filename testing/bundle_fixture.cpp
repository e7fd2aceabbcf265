#include "testing/bundle_fixture.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/plist.h"

namespace testing_support {
namespace {

const char* const kLanguageVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

void SetOrUnset(const char* name, const char* value) {
  if (value) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

void SetInDictionary(Value& info, std::string_view dictionaryKey, std::string_view key, const Value& value) {
  Value dictionary = info.get(dictionaryKey);
  if (!dictionary.isDictionary()) dictionary = Value::EmptyDictionary();
  dictionary.set(key, value);
  info.set(dictionaryKey, dictionary);
}

}  // namespace

ScopedLanguageEnvironment::ScopedLanguageEnvironment(const char* language, const char* lcAll,
                                                     const char* lcMessages, const char* lang) {
  for (const char* name : kLanguageVariables) {
    const char* value = std::getenv(name);
    saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }
  Set(language, lcAll, lcMessages, lang);
}

ScopedLanguageEnvironment::~ScopedLanguageEnvironment() {
  for (const auto& [name, value] : saved_) SetOrUnset(name.c_str(), value ? value->c_str() : nullptr);
}

void ScopedLanguageEnvironment::Set(const char* language, const char* lcAll, const char* lcMessages,
                                    const char* lang) {
  SetOrUnset("LANGUAGE", language);
  SetOrUnset("LC_ALL", lcAll);
  SetOrUnset("LC_MESSAGES", lcMessages);
  SetOrUnset("LANG", lang);
}

Value BundleFixture::DefaultInfo() {
  return Value{
      {"CFBundleExecutable", Value("Dashboard")},
      {"CFBundleIdentifier", Value("net.tamsel.dashboard")},
      {"CFBundleName", Value("Dashboard")},
      {"CFBundleDisplayName", Value("Tamsel Dashboard")},
      {"CFBundleDevelopmentRegion", Value("en")},
      {"QPX Build ID", Value("1.0.0")},
      {"QPX VOQ product", Value(1201)},
      {"QPX VOQ release", Value(1)},
      {"QPX Build Time", Value::DateFromUnix(1704067200.0)},  // 2024-01-01 00:00:00 UTC
      {"QPX Preferences Defaults", Value::EmptyDictionary()},
      {"QPX Options", Value::EmptyDictionary()},
  };
}

BundleFixture::BundleFixture() : info_(DefaultInfo()) {
  std::filesystem::create_directories(resourcesPath());
  std::filesystem::create_directories(contentsPath() + "/MacOS");
  std::filesystem::create_directories(homePath());
}

BundleFixture::~BundleFixture() {
  if (!installed_) return;
  platform::UserDefaults::SetStandard(previousDefaults_);
  platform::Bundle::SetMain(previousBundle_);
  SetOrUnset("HOME", previousHome_ ? previousHome_->c_str() : nullptr);
}

void BundleFixture::SetInfo(std::string_view key, const Value& value) { info_.set(key, value); }

void BundleFixture::SetInfoDictionary(const Value& info) {
  info_ = info.isDictionary() ? info : Value::EmptyDictionary();
}

void BundleFixture::SetPreferencesDefault(std::string_view key, const Value& value) {
  SetInDictionary(info_, "QPX Preferences Defaults", key, value);
}

void BundleFixture::SetOption(std::string_view key, const Value& value) {
  SetInDictionary(info_, "QPX Options", key, value);
}

std::string BundleFixture::AddResource(const std::string& relativePath, const std::string& bytes) {
  std::string path = resourcesPath() + "/" + relativePath;
  WriteFile(path, bytes);
  return path;
}

std::string BundleFixture::AddPlistResource(const std::string& relativePath, const Value& value) {
  return AddResource(relativePath, platform::plist::ToXml(value));
}

std::string BundleFixture::AddLanguage(const std::string& code) {
  std::string path = resourcesPath() + "/" + code + ".lproj";
  std::filesystem::create_directories(path);
  return path;
}

std::string BundleFixture::AddFile(const std::string& relativePath, const std::string& bytes, unsigned mode) {
  std::string path = bundlePath() + "/" + relativePath;
  WriteFile(path, bytes);
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) throw std::runtime_error("cannot chmod " + path);
  return path;
}

std::shared_ptr<platform::Bundle> BundleFixture::Install() {
  WriteFile(contentsPath() + "/Info.plist", platform::plist::ToXml(info_));
  if (!installed_) {
    previousBundle_ = platform::Bundle::Main();
    previousDefaults_ = platform::UserDefaults::Standard();
    const char* home = std::getenv("HOME");
    previousHome_ = home ? std::optional<std::string>(home) : std::nullopt;
    if (!languages_) languages_ = std::make_unique<ScopedLanguageEnvironment>("en_US.UTF-8");
    ::setenv("HOME", homePath().c_str(), 1);
    installed_ = true;
  }
  bundle_ = std::make_shared<platform::Bundle>(bundlePath());
  defaults_ = platform::UserDefaults::ForBundle(*bundle_);
  platform::Bundle::SetMain(bundle_);
  platform::UserDefaults::SetStandard(defaults_);
  return bundle_;
}

void BundleFixture::SetLanguages(const char* language, const char* lcAll, const char* lcMessages,
                                 const char* lang) {
  if (!languages_) languages_ = std::make_unique<ScopedLanguageEnvironment>(nullptr);
  languages_->Set(language, lcAll, lcMessages, lang);
}

std::string BundleFixture::defaultsPath() const {
  return defaults_ ? defaults_->path() : homePath() + "/.config/net.tamsel.dashboard.plist";
}

}  // namespace testing_support
