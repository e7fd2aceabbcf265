#include "platform/bundle.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

extern char** environ;

namespace platform {
namespace {

using testing_support::BundleFixture;
using testing_support::ScopedLanguageEnvironment;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(BundleTest, PathsAndInfoKeysComeFromTheInstalledBundle) {
  BundleFixture fx;
  fx.SetInfo("QPX Build ID", Value("2.3.4"));
  std::shared_ptr<Bundle> installed = fx.Install();

  std::shared_ptr<Bundle> main = Bundle::Main();
  ASSERT_EQ(main, installed);
  EXPECT_EQ(main->bundlePath(), fx.bundlePath());
  EXPECT_EQ(main->contentsPath(), fx.bundlePath() + "/Contents");
  EXPECT_EQ(main->resourcesPath(), fx.bundlePath() + "/Contents/Resources");
  EXPECT_EQ(main->executablePath(), fx.bundlePath() + "/Contents/MacOS/Dashboard");
  EXPECT_EQ(main->bundleIdentifier(), "net.tamsel.dashboard");
  EXPECT_EQ(main->objectForInfoKey("QPX Build ID"), Value("2.3.4"));
  EXPECT_EQ(main->objectForInfoKey("QPX VOQ product").toInt(), 1201);
  EXPECT_TRUE(main->objectForInfoKey("QPX Build Time").isDate());
  EXPECT_TRUE(main->objectForInfoKey("QPX Preferences Defaults").isDictionary());
  EXPECT_TRUE(main->objectForInfoKey("No Such Key").isNull());
  EXPECT_EQ(main->infoDictionary(), fx.info());
}

TEST(BundleTest, MissingOrBrokenInfoGivesEmptyInfo) {
  TempDir dir;
  Bundle missing(dir / "Other.app/");
  EXPECT_EQ(missing.bundlePath(), dir / "Other.app");
  EXPECT_TRUE(missing.infoDictionary().isDictionary());
  EXPECT_TRUE(missing.infoDictionary().empty());
  EXPECT_EQ(missing.bundleIdentifier(), "");
  // Without CFBundleExecutable the executable is named after the bundle.
  EXPECT_EQ(missing.executablePath(), dir / "Other.app/Contents/MacOS/Other");

  for (const char* bytes : {"not a property list", "<?xml version=\"1.0\"?><plist><array/></plist>"}) {
    SCOPED_TRACE(bytes);
    WriteFile(dir / "Broken.app/Contents/Info.plist", bytes);
    Bundle broken(dir / "Broken.app");
    EXPECT_TRUE(broken.infoDictionary().isDictionary());
    EXPECT_TRUE(broken.infoDictionary().empty());
  }
}

TEST(BundleTest, MainOutsideABundleIsTheExecutablesFolder) {
  std::shared_ptr<Bundle> saved = Bundle::Main();
  Bundle::SetMain(nullptr);
  std::shared_ptr<Bundle> main = Bundle::Main();
  Bundle::SetMain(saved);

  std::string executable = Bundle::ExecutablePathOfProcess();
  ASSERT_FALSE(executable.empty());
  EXPECT_EQ(main->bundlePath(), std::filesystem::path(executable).parent_path().string());
  EXPECT_EQ(main->executablePath(), executable);
  EXPECT_TRUE(main->infoDictionary().empty());
}

// Runs inside a copy of this test binary placed in Dashboard.app/Contents/MacOS by the test
// below; skipped when run on its own.
TEST(BundleTest, ChildProcessFindsItsBundle) {
  const char* expected = std::getenv("DASHBOARD_TEST_EXPECTED_BUNDLE");
  if (!expected) GTEST_SKIP() << "runs only as the child of MainInsideABundleIsTwoLevelsUp";
  std::shared_ptr<Bundle> main = Bundle::Main();
  EXPECT_EQ(main->bundlePath(), expected);
  EXPECT_EQ(main->bundleIdentifier(), "net.tamsel.dashboard");
  EXPECT_EQ(main->executablePath(), Bundle::ExecutablePathOfProcess());
}

TEST(BundleTest, MainInsideABundleIsTwoLevelsUpFromMacOS) {
  BundleFixture fx;
  fx.Install();
  std::string self = Bundle::ExecutablePathOfProcess();
  std::string copy = fx.contentsPath() + "/MacOS/Dashboard";
  std::error_code error;
  std::filesystem::create_hard_link(self, copy, error);
  if (error) std::filesystem::copy_file(self, copy, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);

  std::string expectVariable =
      "DASHBOARD_TEST_EXPECTED_BUNDLE=" + std::filesystem::canonical(fx.bundlePath()).string();
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  environment.push_back(expectVariable);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string filter = "--gtest_filter=BundleTest.ChildProcessFindsItsBundle";
  std::vector<char*> argv{copy.data(), filter.data(), nullptr};

  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, copy.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class BundleResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fx_.AddResource("en.lproj/Strings", "english");
    fx_.AddResource("de.lproj/Strings", "deutsch");
    fx_.AddResource("de.lproj/GUI/Only German.xml", "<x/>");
    fx_.AddResource("Root.txt", "root");
    fx_.AddResource("en.lproj/Root.txt", "english root");
    fx_.AddResource("GUI/Main.xml", "<gui/>");
    fx_.AddLanguage("fr");
    fx_.AddLanguage("pt_BR");
    fx_.AddResource("bogus.lproj", "a file, not a language folder");
    fx_.Install();
  }
  BundleFixture fx_;
};

TEST_F(BundleResourceTest, PathForResourceTriesLanguagesThenTheResourcesFolder) {
  struct Case {
    const char* name;
    std::vector<std::string> languages;
    std::optional<std::string> expected;  // relative to Resources
  };
  const Case cases[] = {
      {"Strings", {"de", "en"}, "de.lproj/Strings"},
      {"Strings", {"fr", "en"}, "en.lproj/Strings"},  // fr.lproj exists but lacks the file
      {"Strings", {"ja"}, std::nullopt},
      {"Strings", {}, std::nullopt},
      {"Root.txt", {"de"}, "Root.txt"},
      {"Root.txt", {"en"}, "en.lproj/Root.txt"},
      {"GUI/Main.xml", {"en"}, "GUI/Main.xml"},
      {"GUI/Only German.xml", {"en", "de"}, "de.lproj/GUI/Only German.xml"},
      {"GUI", {}, "GUI"},
      {"Missing", {"en", "de"}, std::nullopt},
      // Nothing outside Resources is reachable, even where a file exists there.
      {"../Info.plist", {}, std::nullopt},
      {"GUI/../../Info.plist", {"en"}, std::nullopt},
      {"/etc/passwd", {}, std::nullopt},
      {"", {"en"}, std::nullopt},
      {"Strings", {"../Resources/en", ""}, std::nullopt},
  };
  std::shared_ptr<Bundle> bundle = Bundle::Main();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string> found = bundle->pathForResource(c.name, c.languages);
    if (!c.expected) {
      EXPECT_FALSE(found) << *found;
    } else {
      EXPECT_EQ(found, fx_.resourcesPath() + "/" + *c.expected);
    }
  }
}

TEST_F(BundleResourceTest, PathForResourceUsesThePreferredLanguages) {
  fx_.SetLanguages(nullptr, nullptr, nullptr, "de_AT.UTF-8");
  EXPECT_EQ(Bundle::Main()->pathForResource("Strings"), fx_.resourcesPath() + "/de.lproj/Strings");
  fx_.SetLanguages(nullptr, nullptr, nullptr, "ja_JP.UTF-8");
  EXPECT_EQ(Bundle::Main()->pathForResource("Strings"), fx_.resourcesPath() + "/en.lproj/Strings");
}

TEST_F(BundleResourceTest, LocalizationsAreTheLanguageFolders) {
  EXPECT_EQ(Bundle::Main()->localizations(), (std::vector<std::string>{"de", "en", "fr", "pt_BR"}));
}

TEST_F(BundleResourceTest, PreferredLocalizationsFollowTheEnvironment) {
  struct Case {
    const char* language;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, nullptr, {"en"}},
      {nullptr, nullptr, nullptr, "C.UTF-8", {"en"}},
      {nullptr, nullptr, nullptr, "POSIX", {"en"}},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", {"de", "en"}},
      {nullptr, nullptr, nullptr, "fr_FR.ISO-8859-15@euro", {"fr", "en"}},
      {nullptr, nullptr, nullptr, "ja_JP.UTF-8", {"en"}},
      {"fr:de", nullptr, nullptr, "de_DE.UTF-8", {"fr", "de", "en"}},
      {"en:de", nullptr, nullptr, nullptr, {"en", "de"}},
      {"::ja:", nullptr, nullptr, "fr", {"fr", "en"}},
      {nullptr, "fr_CA@euro", "de", "pt_BR", {"fr", "de", "pt_BR", "en"}},
      {nullptr, nullptr, nullptr, "pt_BR.UTF-8", {"pt_BR", "en"}},
      {"pt-BR", nullptr, nullptr, nullptr, {"pt_BR", "en"}},  // pt alone has no folder
      {"", "", "", "", {"en"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.language ? c.language : "-") + " " + (c.lcAll ? c.lcAll : "-") + " " +
                 (c.lcMessages ? c.lcMessages : "-") + " " + (c.lang ? c.lang : "-"));
    fx_.SetLanguages(c.language, c.lcAll, c.lcMessages, c.lang);
    EXPECT_EQ(Bundle::Main()->preferredLocalizations(), c.expected);
  }
}

TEST(BundleTest, DevelopmentRegionIsTheLastFallBack) {
  BundleFixture fx;
  fx.AddLanguage("de");
  fx.SetInfo("CFBundleDevelopmentRegion", Value("it"));
  fx.Install();
  fx.SetLanguages(nullptr, nullptr, nullptr, "de_DE.UTF-8");
  EXPECT_EQ(Bundle::Main()->preferredLocalizations(), (std::vector<std::string>{"de", "it"}));

  fx.SetInfo("CFBundleDevelopmentRegion", Value());
  fx.Install();
  fx.SetLanguages(nullptr, nullptr, nullptr, "en_US.UTF-8");
  EXPECT_TRUE(Bundle::Main()->preferredLocalizations().empty());
}

TEST(BundleTest, FixtureRestoresThePreviousMainBundleAndEnvironment) {
  std::shared_ptr<Bundle> before = Bundle::Main();
  std::string home = std::getenv("HOME");
  {
    ScopedLanguageEnvironment pinned("de:fr", nullptr, nullptr, "de_DE.UTF-8");
    {
      BundleFixture fx;
      fx.Install();
      EXPECT_NE(Bundle::Main(), before);
      EXPECT_EQ(std::string(std::getenv("HOME")), fx.homePath());
      EXPECT_EQ(std::getenv("LANGUAGE"), nullptr);
    }
    EXPECT_EQ(std::string(std::getenv("LANGUAGE")), "de:fr");
    EXPECT_EQ(std::string(std::getenv("LANG")), "de_DE.UTF-8");
  }
  EXPECT_EQ(Bundle::Main(), before);
  EXPECT_EQ(std::string(std::getenv("HOME")), home);
}

}  // namespace
}  // namespace platform
