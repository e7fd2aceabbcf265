// The debugger window's controls bound to debug settings, the password check, and the key
// sequence that opens the configuration window.

#include "app/debugger.h"

#include <gtest/gtest.h>

#include "platform/ui/ui_test_support.h"
#include "platform/user_defaults.h"
#include "testing/bundle_fixture.h"

namespace {

using platform::ui::Event;

class DebuggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ui::testing::EnsureApplication();
    fixture_.Install();
    debugger_ = QPX_Framework_Debugger::CreateForTesting();
  }
  void TearDown() override {
    QPX_Framework_Debugger::Reset();
    _QPX_Framework_Debugging_Config::Reset();
    _QPX_Framework_Debugging_ResetActivationState();
  }
  Value Settings() { return platform::UserDefaults::Standard()->persistentObjectForKey(DebuggingPrefsKey); }

  testing_support::BundleFixture fixture_;
  std::shared_ptr<QPX_Framework_Debugger> debugger_;
};

TEST_F(DebuggerTest, ACheckboxStoresItsSettingAndRunsItsAction) {
  int actions = 0;
  auto box =
      debugger_->AddCheckbox("Force RTL UI", "QPX Force RTL", [&](platform::ui::Control&) { ++actions; });
  ASSERT_TRUE(box);
  EXPECT_EQ(box->State(), 0);
  box->PerformClick();
  EXPECT_EQ(Settings().get("QPX Force RTL"), Value(true));
  EXPECT_TRUE(debugger_->QPX_Framework_Debugger_GetBool(std::string("QPX Force RTL")));
  box->PerformClick();
  // The last setting gone: the whole default goes.
  EXPECT_TRUE(Settings().isNull());
  EXPECT_EQ(actions, 2);
  // A new checkbox shows the stored truth.
  debugger_->QPX_Framework_Debugger_Set(Value(true), std::string("Fake CIMI On"));
  EXPECT_EQ(debugger_->AddCheckbox("Fake", "Fake CIMI On")->State(), 1);
}

TEST_F(DebuggerTest, ATextEntryFollowsEveryKeystrokeAndAnEmptyTextRemovesTheSetting) {
  debugger_->QPX_Framework_Debugger_Set(Value("http://old"), std::string("Updater URL"));
  std::vector<std::string> seen;
  auto entry =
      debugger_->AddTextentry("Updater URL", std::string("Updater URL"), 150,
                              [&](platform::ui::Control& sender) { seen.push_back(sender.StringValue()); });
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->StringValue(), "http://old");
  entry->TypeText("http://new");
  EXPECT_EQ(debugger_->QPX_Framework_Debugger_GetString(std::string("Updater URL")), "http://new");
  entry->TypeText("");
  EXPECT_TRUE(Settings().isNull());
  EXPECT_EQ(seen, (std::vector<std::string>{"http://new", ""}));
  EXPECT_EQ(debugger_->QPX_Framework_Debugger_Get(std::nullopt), Value());
  EXPECT_EQ(debugger_->QPX_Framework_Debugger_GetString(std::string("Missing")), std::nullopt);
}

TEST_F(DebuggerTest, RowsStackUpwardsAndTheWindowGrows) {
  const double start = debugger_->Window()->ContentRect().height();
  auto popup = debugger_->AddDropdown("Device", std::nullopt, 150, nullptr);
  auto entry = debugger_->AddTextentry("AT command", std::nullopt, 150);
  auto neighbour = debugger_->AddTextentry("Next", std::nullopt, 60, nullptr, entry);
  EXPECT_EQ(debugger_->Window()->ContentRect().height(), start + 50);  // the neighbour adds no row
  EXPECT_EQ(popup->Frame().minY(), start - 10);
  EXPECT_EQ(entry->Frame().minY(), start + 25 - 10);
  EXPECT_EQ(neighbour->Frame().minY(), entry->Frame().minY());
  EXPECT_GT(neighbour->Frame().minX(), entry->Frame().maxX() + 10);  // its label sits between
  EXPECT_GT(popup->Frame().minX(), 10);                              // after the label "Device: "
}

TEST_F(DebuggerTest, PrivilegedSettingsNeedTheAuthorizedDebugger) {
  EXPECT_FALSE(debugger_->IsAuthorized());
  EXPECT_EQ(QPX_Framework_Debugger_AuthorizedDebugger(), nullptr);
  EXPECT_EQ(debugger_->AddCheckbox("Test update", "Privileged: Test Update"), nullptr);
  EXPECT_EQ(debugger_->AddTextentry("Key", std::string("Privileged: Key"), 100), nullptr);
  EXPECT_EQ(debugger_->AddDropdown("Mode", std::string("Privileged: Mode"), 100, nullptr), nullptr);
  debugger_->QPX_Framework_Debugger_Set(Value(true), std::string("Privileged: Test Update"));
  EXPECT_EQ(Settings().get("Privileged: Test Update"), Value(true));  // stored all the same
  EXPECT_TRUE(debugger_->QPX_Framework_Debugger_Get(std::string("Privileged: Test Update")).isNull());
  EXPECT_EQ(debugger_->Window()->Title().find("(authorized)"), std::string::npos);
}

TEST_F(DebuggerTest, ThePasswordIsCheckedByItsDigest) {
  const uint8_t abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                           0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  EXPECT_TRUE(QPX_Framework_Debugger_PasswordMatches("abc", abc));
  EXPECT_FALSE(QPX_Framework_Debugger_PasswordMatches("abd", abc));
  EXPECT_FALSE(QPX_Framework_Debugger_PasswordMatches("", _QPX_Framework_PPP_Key));
  platform::UserDefaults::Standard()->setObject(_QPX_Framework_Debugging_Password_Key, Value("guess"));
  EXPECT_FALSE(QPX_Framework_Debugger::CreateForTesting()->IsAuthorized());
}

TEST_F(DebuggerTest, TheDebuggerExistsOnlyWithItsDefault) {
  QPX_Framework_Debugger::Reset();
  EXPECT_TRUE(QPX_Framework_Debugger::QPX_Framework_Init("QPX_Framework_Debugger"));
  EXPECT_EQ(QPX_Framework_Debugger::Debugger(), nullptr);
  platform::UserDefaults::Standard()->setObject(_QPX_Framework_Debugging_Enabled_Key, Value(true));
  EXPECT_TRUE(QPX_Framework_Debugger::QPX_Framework_Init("QPX_Framework_Debugger"));
  EXPECT_NE(QPX_Framework_Debugger::Debugger(), nullptr);
}

Event Key(Event::Type type, const std::string& characters, bool repeat = false) {
  Event event;
  event.type = type;
  event.characters = characters;
  event.charactersIgnoringModifiers = characters;
  event.isARepeat = repeat;
  return event;
}
Event Down(const std::string& c, bool repeat = false) { return Key(Event::Type::KeyDown, c, repeat); }
Event Up(const std::string& c) { return Key(Event::Type::KeyUp, c); }

TEST_F(DebuggerTest, TheKeySequenceOpensTheConfigurationWindowOnTheLastRelease) {
  struct Case {
    const char* name;
    std::vector<Event> events;
    bool opens;
  };
  const std::vector<Case> cases = {
      {"held together, released in any order",
       {Down("j"), Down("q"), Down("v"), Up("q"), Up("j"), Up("v")},
       true},
      {"upper case counts the same", {Down("J"), Down("Q"), Down("V"), Up("V"), Up("Q"), Up("J")}, true},
      {"key repeats change nothing",
       {Down("j"), Down("j", true), Down("q"), Down("v"), Up("j"), Up("q"), Up("v")},
       true},
      {"released before the next press", {Down("j"), Up("j"), Down("q"), Down("v"), Up("q"), Up("v")}, false},
      {"a fourth key resets", {Down("j"), Down("q"), Down("v"), Down("x"), Up("j"), Up("q"), Up("v")}, false},
      {"wrong order", {Down("q"), Down("j"), Down("v"), Up("q"), Up("j"), Up("v")}, false},
      {"not all released", {Down("j"), Down("q"), Down("v"), Up("q"), Up("j")}, false},
  };
  for (const Case& c : cases) {
    _QPX_Framework_Debugging_Config::Reset();
    _QPX_Framework_Debugging_ResetActivationState();
    for (const Event& event : c.events) _QPX_Framework_Debugging_HandleAppEvent(event);
    const bool opened = _QPX_Framework_Debugging_Config::Exists() &&
                        _QPX_Framework_Debugging_Config::Config().Window()->IsVisible();
    EXPECT_EQ(opened, c.opens) << c.name;
  }
  // Mouse events leave the state alone.
  _QPX_Framework_Debugging_ResetActivationState();
  _QPX_Framework_Debugging_HandleAppEvent(Down("j"));
  Event click;
  click.type = Event::Type::LeftMouseDown;
  _QPX_Framework_Debugging_HandleAppEvent(click);
  EXPECT_EQ(_QPX_Framework_Debugging_ActivationState(), 1u);
}

TEST_F(DebuggerTest, TheConfigurationWindowSetsTheDefaultsForTheNextStart) {
  auto defaults = platform::UserDefaults::Standard();
  defaults->setObject("Talvoro-Logging", Value(12));
  _QPX_Framework_Debugging_Config& config = _QPX_Framework_Debugging_Config::Config();
  EXPECT_EQ(config.LogDropdown()->IndexOfSelectedItem(), 1);
  EXPECT_EQ(config.DebugCheckbox()->State(), 0);
  EXPECT_FALSE(config.Password()->IsEnabled());

  config.DebugCheckbox()->PerformClick();
  EXPECT_EQ(defaults->persistentObjectForKey("Talvoro-Debug"), Value(true));
  EXPECT_TRUE(config.Password()->IsEnabled());
  config.Password()->TypeText("secret");
  EXPECT_EQ(defaults->persistentObjectForKey("Talvoro-Debug-Password"), Value("secret"));
  config.Password()->TypeText("");
  EXPECT_TRUE(defaults->persistentObjectForKey("Talvoro-Debug-Password").isNull());

  config.LogDropdown()->ChooseItemAt(2);
  EXPECT_EQ(defaults->persistentObjectForKey("Talvoro-Logging"), Value(0));
  config.LogDropdown()->ChooseItemAt(0);
  EXPECT_TRUE(defaults->persistentObjectForKey("Talvoro-Logging").isNull());

  config.DebugCheckbox()->PerformClick();
  EXPECT_TRUE(defaults->persistentObjectForKey("Talvoro-Debug").isNull());
  EXPECT_FALSE(config.Password()->IsEnabled());
}

}  // namespace
