#include "starter/starter_core.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "starter/test_processes.h"
#include "testing/test_support.h"

namespace {

using starter_testing::IsRoot;

std::vector<std::string> Clean(std::vector<std::string> environment) {
  std::vector<char*> pointers;
  for (std::string& e : environment) pointers.push_back(e.data());
  pointers.push_back(nullptr);
  std::vector<std::string> result = starter::CleanEnvironment(pointers.data());
  std::sort(result.begin(), result.end());
  return result;
}

TEST(StarterEnvironment, KeepsOnlyHandleLocaleAndFixedPath) {
  const std::vector<std::string> result = Clean({
      "_QPX_FRAMEWORK_PRIVILEGED_HANDLE=5",
      "LANG=de_DE.UTF-8",
      "LC_MESSAGES=de_DE",
      "LANGUAGE=de:en",
      "LD_PRELOAD=/tmp/evil.so",
      "LD_LIBRARY_PATH=/tmp",
      "LD_AUDIT=x",
      "QT_PLUGIN_PATH=/tmp",
      "QT_QPA_PLATFORM=xcb",
      "GCONV_PATH=/tmp",
      "PATH=/tmp/bin",
      "HOME=/home/user",
      "IFS=x",
      "MALLOC_CHECK_=3",
      "NOEQUALS",
      "QPX_LAUNCH_COMMAND=Trashed",
      "_QPX_FRAMEWORK_PRIVILEGED_HANDLE_X=1",
      // A locale name with a slash makes the C library read locale files from that path.
      "LC_ALL=/tmp/evil-locale",
      "LC_CTYPE=../../tmp/x",
  });
  const std::vector<std::string> expected = {
      "LANG=de_DE.UTF-8",
      "LANGUAGE=de:en",
      "LC_MESSAGES=de_DE",
      std::string("PATH=") + starter::kCleanPath,
      "_QPX_FRAMEWORK_PRIVILEGED_HANDLE=5",
  };
  EXPECT_EQ(result, expected);
  EXPECT_EQ(Clean({}), std::vector<std::string>{std::string("PATH=") + starter::kCleanPath});
}

TEST(StarterTarget, MainExecutableBesideTheStarter) {
  const std::pair<std::string, std::string> cases[] = {
      {"/Applications/Dashboard.app/Contents/MacOS/Dashboard Starter",
       "/Applications/Dashboard.app/Contents/MacOS/Dashboard"},
      {"/opt/A B.app/Contents/MacOS/My App Starter", "/opt/A B.app/Contents/MacOS/My App"},
      {"/opt/Dashboard.app/Contents/MacOS/Dashboard", ""},  // not a Starter
      {"/opt/Dashboard.app/Contents/MacOS/ Starter", ""},   // no program name
      {"/usr/bin/Dashboard Starter", ""},                   // not in a bundle
      {"Dashboard Starter", ""},
      {"", ""},
  };
  for (const auto& [starterPath, target] : cases)
    EXPECT_EQ(starter::TargetExecutable(starterPath), target) << starterPath;
}

TEST(StarterStrings, LanguageChoosesTheAlertRow) {
  using V = std::vector<std::string>;
  EXPECT_STREQ(starter::GetStrings(V{"de_DE.UTF-8"}).button, "Beenden");
  EXPECT_STREQ(starter::GetStrings(V{"de"}).button, "Beenden");
  EXPECT_STREQ(starter::GetStrings(V{"fr_FR", "de_AT"}).button, "Beenden");
  EXPECT_STREQ(starter::GetStrings(V{"en_GB", "de"}).button, "Quit");
  EXPECT_STREQ(starter::GetStrings(V{"fr_FR.UTF-8"}).button, "Quit");
  EXPECT_STREQ(starter::GetStrings(V{"C"}).button, "Quit");
  EXPECT_STREQ(starter::GetStrings(V{}).message,
               "This application requires administrative privileges to complete installation");
  EXPECT_STREQ(starter::GetStrings(V{"de"}).message,
               "Diese Anwendung benötigt Administratorrechte um die Installation abzuschliessen");
}

TEST(StarterGroups, MembershipFromTheGroupDatabase) {
  const passwd* self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  const group* primary = getgrgid(self->pw_gid);
  ASSERT_NE(primary, nullptr);
  EXPECT_TRUE(starter::IsMemberOfGroup(getuid(), primary->gr_name));
  EXPECT_FALSE(starter::IsMemberOfGroup(getuid(), "no-such-group-for-dashboard"));
  EXPECT_FALSE(starter::IsMemberOfGroup(static_cast<uid_t>(987654), primary->gr_name));
}

// A chain of folders below a root-owned, world-readable temporary folder.
class StarterChain : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!IsRoot()) GTEST_SKIP() << "ownership checks need files owned by root";
    chmod(dir_.path().c_str(), 0755);
    bundle_ = dir_ / "Dashboard.app/Contents/MacOS";
    std::filesystem::create_directories(bundle_);
    for (std::string folder = bundle_; folder != dir_.path();
         folder = std::filesystem::path(folder).parent_path())
      chmod(folder.c_str(), 0755);
    program_ = bundle_ + "/Dashboard";
    testing_support::WriteFile(program_, "#!/bin/sh\n");
    chmod(program_.c_str(), 0755);
  }
  bool Check(std::string& problem) { return starter::CheckOwnershipChain(program_, problem); }

  testing_support::TempDir dir_;
  std::string bundle_;
  std::string program_;
};

TEST_F(StarterChain, RootOwnedChainIsAccepted) {
  // The temporary folder lies below /tmp, root-owned and writable by all, with the sticky bit.
  std::string problem;
  EXPECT_TRUE(Check(problem)) << problem;
}

TEST_F(StarterChain, StickyRootFolderIsAcceptedWritableOneIsNot) {
  const std::string contents = dir_ / "Dashboard.app/Contents";
  std::string problem;
  chmod(contents.c_str(), 01777);
  EXPECT_TRUE(Check(problem)) << problem;
  chmod(contents.c_str(), 0777);
  EXPECT_FALSE(Check(problem));
  EXPECT_NE(problem.find("writable"), std::string::npos) << problem;
}

TEST_F(StarterChain, EveryWeakLinkIsRefused) {
  struct Case {
    const char* name;
    std::function<void()> weaken;
    std::function<void()> restore;
  };
  const std::string app = dir_ / "Dashboard.app";
  const Case cases[] = {
      {"group-writable folder", [&] { chmod(app.c_str(), 0775); }, [&] { chmod(app.c_str(), 0755); }},
      {"other-writable program", [&] { chmod(program_.c_str(), 0757); },
       [&] { chmod(program_.c_str(), 0755); }},
      {"group-writable program", [&] { chmod(program_.c_str(), 0775); },
       [&] { chmod(program_.c_str(), 0755); }},
      {"folder of another user", [&] { EXPECT_EQ(chown(bundle_.c_str(), 65534, 0), 0); },
       [&] { EXPECT_EQ(chown(bundle_.c_str(), 0, 0), 0); }},
      {"program of another user", [&] { EXPECT_EQ(chown(program_.c_str(), 65534, 0), 0); },
       [&] { EXPECT_EQ(chown(program_.c_str(), 0, 0), 0); }},
      {"top folder of another user", [&] { EXPECT_EQ(chown(dir_.path().c_str(), 65534, 0), 0); },
       [&] { EXPECT_EQ(chown(dir_.path().c_str(), 0, 0), 0); }},
  };
  for (const Case& c : cases) {
    c.weaken();
    std::string problem;
    EXPECT_FALSE(Check(problem)) << c.name;
    EXPECT_FALSE(problem.empty()) << c.name;
    c.restore();
    EXPECT_TRUE(Check(problem)) << c.name << ": " << problem;
  }
}

TEST_F(StarterChain, LinksAreRefused) {
  const std::string linked = dir_ / "Linked.app";
  std::filesystem::create_directory_symlink(dir_ / "Dashboard.app", linked);
  std::string problem;
  EXPECT_FALSE(starter::CheckOwnershipChain(linked + "/Contents/MacOS/Dashboard", problem));
  EXPECT_NE(problem.find("symbolic link"), std::string::npos) << problem;
  const std::string program = bundle_ + "/Other";
  std::filesystem::create_symlink("/bin/sh", program);
  EXPECT_FALSE(starter::CheckOwnershipChain(program, problem));
}

TEST_F(StarterChain, RepairMakesTheStarterSetUserIDRoot) {
  const std::string starterPath = bundle_ + "/Dashboard Starter";
  testing_support::WriteFile(starterPath, "binary");
  ASSERT_EQ(chown(starterPath.c_str(), 65534, 65534), 0);
  chmod(starterPath.c_str(), 0775);
  std::string problem;
  ASSERT_TRUE(starter::RepairRights(starterPath, problem)) << problem;
  struct stat info {};
  ASSERT_EQ(stat(starterPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(info.st_gid, 0u);
  EXPECT_EQ(info.st_mode & 07777, 04755u);
}

TEST_F(StarterChain, RepairRefusesLinksAndWeakFolders) {
  // A link where the Starter should be: its target keeps its rights.
  const std::string victim = dir_ / "victim";
  testing_support::WriteFile(victim, "x");
  chmod(victim.c_str(), 0600);
  const std::string starterPath = bundle_ + "/Dashboard Starter";
  std::filesystem::create_symlink(victim, starterPath);
  std::string problem;
  EXPECT_FALSE(starter::RepairRights(starterPath, problem));
  struct stat info {};
  ASSERT_EQ(stat(victim.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  // A folder others may write to: someone could swap the file between check and change.
  std::filesystem::remove(starterPath);
  testing_support::WriteFile(starterPath, "binary");
  chmod(starterPath.c_str(), 0755);
  chmod(bundle_.c_str(), 0777);
  EXPECT_FALSE(starter::RepairRights(starterPath, problem));
  ASSERT_EQ(stat(starterPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  chmod(bundle_.c_str(), 0755);
}

TEST_F(StarterChain, RepairChangesOnlyTheProgramThatAskedForIt) {
  // The name was given to another file after the consent: that file keeps its rights.
  const std::string starterPath = bundle_ + "/Dashboard Starter";
  testing_support::WriteFile(starterPath, "another program");
  chmod(starterPath.c_str(), 0755);
  struct stat asked {};
  ASSERT_EQ(stat(program_.c_str(), &asked), 0);
  std::string problem;
  EXPECT_FALSE(starter::RepairRights(starterPath, problem, &asked));
  EXPECT_NE(problem.find("no longer"), std::string::npos) << problem;
  struct stat info {};
  ASSERT_EQ(stat(starterPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);

  ASSERT_EQ(stat(starterPath.c_str(), &asked), 0);
  EXPECT_TRUE(starter::RepairRights(starterPath, problem, &asked)) << problem;
  ASSERT_EQ(stat(starterPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 04755u);
}

}  // namespace
