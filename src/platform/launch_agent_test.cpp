#include "platform/launch_agent.h"

#include <gtest/gtest.h>

#include "platform/plist.h"
#include "testing/test_support.h"

namespace {

Value Agent(const std::string& label, const std::string& program) {
  return Value{
      {"Label", Value(label)},    {"Program", Value(program)}, {"WorkingDirectory", Value("/opt/A B.app")},
      {"RunAtLoad", Value(true)}, {"KeepAlive", Value(true)},  {"Disabled", Value(false)}};
}

TEST(SimulatedLaunchAgents, LoadUnloadRemoveLikeTheManager) {
  testing_support::TempDir dir;
  const std::string path = dir / "agent.plist";
  ASSERT_TRUE(platform::plist::WriteFileAtomically(
      path, Agent("net.tamsel.dashboard", "/opt/D.app/Contents/MacOS/D Launcher")));
  platform::SimulatedLaunchAgentService service;
  EXPECT_TRUE(service.Load(path));
  EXPECT_TRUE(service.IsLoaded("net.tamsel.dashboard"));
  EXPECT_EQ(service.StartCount("net.tamsel.dashboard"), 1);
  EXPECT_FALSE(service.Load(path));  // already loaded
  EXPECT_TRUE(service.Unload(path));
  EXPECT_FALSE(service.Unload(path));
  EXPECT_TRUE(service.Known("net.tamsel.dashboard"));
  EXPECT_TRUE(service.Remove("net.tamsel.dashboard"));
  EXPECT_FALSE(service.Remove("net.tamsel.dashboard"));
  EXPECT_FALSE(service.Known("net.tamsel.dashboard"));
}

TEST(SimulatedLaunchAgents, UnusableListsAreRefused) {
  testing_support::TempDir dir;
  platform::SimulatedLaunchAgentService service;
  const std::pair<const char*, Value> cases[] = {
      {"no label", Value{{"Program", Value("/bin/true")}}},
      {"relative program", Agent("x", "bin/true")},
      {"not a dictionary", Value("agent")},
  };
  for (const auto& [name, list] : cases) {
    const std::string path = dir / name;
    ASSERT_TRUE(platform::plist::WriteFileAtomically(path, list));
    EXPECT_FALSE(service.Load(path)) << name;
  }
  Value disabled = Agent("y", "/bin/true");
  disabled.set("Disabled", Value(true));
  ASSERT_TRUE(platform::plist::WriteFileAtomically(dir / "disabled", disabled));
  EXPECT_FALSE(service.Load(dir / "disabled"));
  EXPECT_FALSE(service.Load(dir / "missing"));
  testing_support::WriteFile(dir / "garbage", "<plist");
  EXPECT_FALSE(service.Load(dir / "garbage"));
}

TEST(SystemdLaunchAgents, UnitRunsTheProgramAndKeepsItAlive) {
  platform::LaunchAgentDescription agent;
  agent.label = "net.tamsel.dashboard";
  agent.program = "/opt/A \"B\" 100%$.app/Contents/MacOS/Dashboard Launcher";
  agent.workingDirectory = "/opt/A 100%.app";
  agent.runAtLoad = true;
  agent.keepAlive = true;
  const std::string unit = platform::SystemdUserLaunchAgentService::UnitText(agent);
  EXPECT_NE(unit.find("ExecStart=\"/opt/A \\\"B\\\" 100%%$$.app/Contents/MacOS/Dashboard Launcher\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("WorkingDirectory=/opt/A 100%%.app\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Restart=always\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("WantedBy=default.target\n"), std::string::npos) << unit;
  EXPECT_EQ(platform::SystemdUserLaunchAgentService::UnitName("net.tamsel.dashboard"),
            "net.tamsel.dashboard.service");
  EXPECT_EQ(platform::SystemdUserLaunchAgentService::UnitName("a b/c"), "a\\x20b\\x2fc.service");
}

}  // namespace
