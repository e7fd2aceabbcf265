// The project object: the current modem chosen and followed under "/Modems", the main
// thread's identity, class initialisation, the application menu and the digest routine.

#include "app/project.h"

#include <gtest/gtest.h>

#include <atomic>
#include <exception>
#include <optional>

#include "app/debugger.h"
#include "devices/at_command.h"
#include "framework/core/class_registry.h"
#include "framework/core/command.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "framework/core/strings.h"
#include "platform/assert.h"
#include "platform/ui/application.h"
#include "platform/ui/menu.h"
#include "platform/ui/ui_test_support.h"
#include "testing/bundle_fixture.h"

namespace {

// The project's logic on a worker thread of its own, without Qt's loop or menus.
class TestProject : public QPX_Framework_Project {
 public:
  TestProject() { on("Sync", &TestProject::HandleSync); }
  void QPX_Framework_Thread_Run() override { QPX_Framework_Thread::QPX_Framework_Thread_Run(); }
  void QPX_Framework_Project_CreateApplicationMenu() override {}
  bool QPX_Framework_Project_DeviceWillChange() override { return allowChange.load(); }
  void QPX_Framework_Project_DeviceChanged() override {
    ++changes;
    QPX_Framework_Project::QPX_Framework_Project_DeviceChanged();
  }
  template <class F>
  auto On(F&& f) -> decltype(f()) {
    std::exception_ptr error;
    if constexpr (std::is_void_v<decltype(f())>) {
      PerformSelector(
          [&] {
            try {
              f();
            } catch (...) {
              error = std::current_exception();
            }
          },
          true);
      if (error) std::rethrow_exception(error);
    } else {
      std::optional<decltype(f())> result;
      PerformSelector(
          [&] {
            try {
              result.emplace(f());
            } catch (...) {
              error = std::current_exception();
            }
          },
          true);
      if (error) std::rethrow_exception(error);
      return std::move(*result);
    }
  }
  std::atomic<bool> allowChange{true};
  std::atomic<int> changes{0};

 private:
  Value HandleSync(const Value&) { return Value(true); }
};

class ProjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ui::testing::EnsureApplication();
    ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    modems_ = QPX_Framework_Root_Storage->CreateNode("/Modems");
    project_ = std::make_shared<TestProject>();
    ASSERT_TRUE(project_->QPX_Framework_Thread_Launch());
    Settle();
  }
  void TearDown() override {
    project_->QPX_Framework_Thread_Quit();
    project_->WaitUntilFinished();
    for (const std::string& name : modems_->GetChildrenKeys()) modems_->RemoveChild(name);
    modems_->removeObjectForKey("Current Modem");
    modems_->removeObjectForKey("Current Modem Changed");
  }
  // Notices lead to writes that lead to notices: a few rounds let them all through.
  void Settle() {
    for (int i = 0; i < 4; ++i) project_->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Sync"));
  }
  Value Current() { return modems_->objectForKey("Current Modem"); }
  QPX_Framework_StoragePtr ProjectsModem() {
    return project_->On([] { return QPX_Framework_GetModem(); });
  }

  QPX_Framework_StoragePtr modems_;
  std::shared_ptr<TestProject> project_;
};

TEST_F(ProjectTest, ModemsComeAndGoAndTheCurrentOneFollows) {
  EXPECT_TRUE(Current().isNull());
  auto first = modems_->CreateNode("0000002a");
  Settle();
  EXPECT_EQ(Current(), Value("/Modems/0000002a"));
  EXPECT_EQ(modems_->objectForKey("Current Modem Changed"), Value("/Modems/0000002a"));
  EXPECT_EQ(ProjectsModem(), first);
  EXPECT_EQ(project_->CurrentModemPath(), "/Modems/0000002a");

  auto second = modems_->CreateNode("0000002b");
  Settle();
  EXPECT_EQ(Current(), Value("/Modems/0000002a"));  // a second modem changes nothing

  modems_->RemoveChild("0000002a");
  Settle();
  EXPECT_EQ(Current(), Value("/Modems/0000002b"));
  EXPECT_EQ(ProjectsModem(), second);

  modems_->RemoveChild("0000002b");
  Settle();
  EXPECT_TRUE(Current().isNull());
  EXPECT_TRUE(modems_->objectForKey("Current Modem Changed").isNull());
  EXPECT_EQ(ProjectsModem(), nullptr);
}

TEST_F(ProjectTest, TheUserChoosesAndLeftKeysAreCleared) {
  auto a = modems_->CreateNode("a");
  auto b = modems_->CreateNode("b");
  Settle();
  ASSERT_EQ(Current(), Value("/Modems/a"));
  project_->On([&] { project_->ClearKeysOnInactive().insert("QPX Temporary"); });
  a->setObject(Value(1), "QPX Temporary");
  a->setObject(Value(2), "QPX Kept");
  modems_->setObject(Value("/Modems/b"), "Current Modem");
  Settle();
  EXPECT_EQ(ProjectsModem(), b);
  EXPECT_TRUE(a->objectForKey("QPX Temporary").isNull());
  EXPECT_EQ(a->objectForKey("QPX Kept"), Value(2));
}

TEST_F(ProjectTest, AProjectThatRefusesKeepsTheCurrentModem) {
  modems_->CreateNode("a");
  modems_->CreateNode("b");
  Settle();
  project_->allowChange = false;
  modems_->RemoveChild("a");
  Settle();
  EXPECT_EQ(Current(), Value("/Modems/a"));
}

TEST_F(ProjectTest, AnOvertakenNoticeIsIgnoredAndAWrongValueIsABug) {
  modems_->CreateNode("a");
  Settle();
  const int before = project_->changes.load();
  // A notice for a value the element no longer holds.
  project_->On([&] {
    project_->QPX_Framework_Storage_NotificationFor(modems_, "Current Modem", Value("/Modems/old"));
  });
  EXPECT_EQ(project_->changes.load(), before);
  // Notices of other nodes are not the project's business.
  project_->On([&] {
    project_->QPX_Framework_Storage_NotificationFor(QPX_Framework_Root_Storage, "Current Modem", Value());
  });
  EXPECT_EQ(project_->changes.load(), before);
  EXPECT_THROW(project_->On([&] {
    project_->QPX_Framework_Storage_NotificationFor(modems_, "Current Modem", Value(5));
  }),
               platform::AssertionFailure);
}

TEST(ProjectClassTest, WasLaunchedOnlyForExactlyYes) {
  for (const auto& [value, expected] : std::vector<std::pair<const char*, bool>>{
           {"yes", true}, {"YES", false}, {"yes ", false}, {"", false}, {nullptr, false}}) {
    if (value != nullptr)
      setenv("QPX Was Launched", value, 1);
    else
      unsetenv("QPX Was Launched");
    EXPECT_EQ(QPX_Framework_Project::WasLaunched(), expected) << (value ? value : "(unset)");
  }
  unsetenv("QPX Was Launched");
}

TEST(ProjectClassTest, TheClassAdoptsTheMainThreadOnceAndMainMustBeAProject) {
  platform::ui::testing::EnsureApplication();
  QPX_Framework_Debugger::Reset();
  QPX_Framework_Project::_ResetForTesting();
  EXPECT_EQ(QPX_Framework_Project_Common::CurrentProject(), nullptr);
  QPX_Framework_ClassEntry entry;
  entry.name = "QPX_Project_Test";
  entry.create = [] { return std::shared_ptr<platform::ValueObject>(std::make_shared<TestProject>()); };
  QPX_Framework_ClassRegistry::Register(entry);

  ASSERT_TRUE(QPX_Framework_Project::QPX_Framework_Init("QPX_Project_Test"));
  std::shared_ptr<QPX_Framework_Project_Common> project = QPX_Framework_Project_Common::CurrentProject();
  ASSERT_TRUE(project);
  EXPECT_EQ(QPX_Framework_Thread::currentThread(), project);
  EXPECT_THROW(QPX_Framework_Project::QPX_Framework_Init("QPX_Project_Test"), platform::AssertionFailure);
  project->_QPX_Framework_Thread_Unwrap();

  auto plain = std::make_shared<QPX_Framework_Thread>();
  plain->_QPX_Framework_Thread_Wrap("Main");
  EXPECT_THROW(QPX_Framework_Project_Common::CurrentProject(), platform::AssertionFailure);
  plain->_QPX_Framework_Thread_Unwrap();
  QPX_Framework_ClassRegistry::Unregister("QPX_Project_Test");
  QPX_Framework_Project::_ResetForTesting();
}

TEST(ProjectClassTest, TheApplicationMenuIsBuiltFromTheTableAndTheEditMenuRetitled) {
  platform::ui::testing::EnsureApplication();
  testing_support::BundleFixture fixture;
  fixture.AddPlistResource("en.lproj/Strings", Value{{"-200", Value("About %@")},
                                                     {"-201", Value("Hide %@")},
                                                     {"-202", Value("Hide Others")},
                                                     {"-203", Value("Show All")},
                                                     {"-204", Value("Quit %@")},
                                                     {"-232", Value("Snip")},
                                                     {"-233", Value("Duplicate")}});
  fixture.Install();
  _QPX_Framework_Strings_Reset();
  const std::string savedName = QPX_Framework_ApplicationInfo.name;
  QPX_Framework_ApplicationInfo.name = "Dashboard";

  QPX_Framework_Project_LoadMenuFile();
  QPX_Framework_Project_CreateMenu(QPX_Framework_ApplicationMenuTable, 0);
  QPX_Framework_Project_TranslateMenu(QPX_Framework_EditMenuTable, 1);
  auto application = platform::ui::Application::MainMenu()->ItemAt(0)->Submenu();
  ASSERT_EQ(application->NumberOfItems(), 7u);
  std::vector<std::string> titles;
  for (const auto& item : application->Items()) titles.push_back(item->IsSeparator() ? "-" : item->Title());
  EXPECT_EQ(titles, (std::vector<std::string>{"About Dashboard", "-", "Hide Dashboard", "Hide Others",
                                              "Show All", "-", "Quit Dashboard"}));
  auto quit = application->ItemAt(6);
  EXPECT_EQ(quit->KeyEquivalent(), "q");
  EXPECT_EQ(quit->KeyEquivalentModifierMask(), platform::ui::kCommandKeyMask);
  EXPECT_EQ(quit->ActionName(), "terminate:");
  EXPECT_EQ(application->ItemAt(3)->KeyEquivalentModifierMask(),
            platform::ui::kCommandKeyMask | platform::ui::kAlternateKeyMask);

  auto edit = platform::ui::Application::MainMenu()->ItemAt(1)->Submenu();
  EXPECT_TRUE(edit->ItemWithTitle("Snip"));
  EXPECT_TRUE(edit->ItemWithTitle("Duplicate"));
  EXPECT_TRUE(edit->ItemWithTitle("Select All"));  // not in the table: unchanged
  EXPECT_FALSE(edit->ItemWithTitle("Cut"));

  QPX_Framework_ApplicationInfo.name = savedName;
  _QPX_Framework_Strings_Reset();
}

TEST(ProjectClassTest, MD5DigestsFollowTheStandard) {
  auto hex = [](const Value& digest) {
    std::string text;
    char byte[3];
    for (uint8_t b : digest.data()) {
      std::snprintf(byte, sizeof byte, "%02x", b);
      text += byte;
    }
    return text;
  };
  EXPECT_EQ(hex(QPX_Framework_Crypto_MD5(Value::Data(std::string_view("")))),
            "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex(QPX_Framework_Crypto_MD5(Value::Data(std::string_view("abc")))),
            "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hex(QPX_Framework_Crypto_MD5(Value::Data(std::string_view("message digest")))),
            "f96b697d7cb7938d525a2f31aaf161d0");
}

}  // namespace
