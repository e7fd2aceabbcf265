#include "framework/core/log.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <sstream>
#include <thread>
#include <vector>

#include "framework/core/class_registry.h"
#include "framework/core/startup.h"
#include "platform/assert.h"
#include "platform/thread_context.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ReadFile;

constexpr const char* kBanner = "***** Application build ";
constexpr double kStamp = 1700000000.0;  // a fixed time, so lines can be compared whole

std::string Clock(double stamp) {
  std::time_t seconds = static_cast<std::time_t>(stamp);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Entries the user log received.
struct UserLogEntry {
  int level;
  std::string threadName;
  double timeStamp;
  std::string message;
};
std::vector<UserLogEntry> g_userLog;

void RecordUserLog(const char*, unsigned, const char*, const char* threadName, double timeStamp, int level,
                   const char* format, va_list args) {
  char message[256] = "";
  if (format) std::vsnprintf(message, sizeof message, format, args);
  g_userLog.push_back({level, threadName ? threadName : "", timeStamp, message});
}

std::vector<UserLogEntry> g_privileged;
void RecordPrivileged(const char*, unsigned, const char*, const char*, double timeStamp, int level,
                      const char* format, va_list args) {
  char message[256] = "";
  if (format) std::vsnprintf(message, sizeof message, format, args);
  g_privileged.push_back({level, "", timeStamp, message});
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_.Install();
    logPath_ = dir_ / "Talvoro.Log";
    QPX_Framework_Log_SetFilePath(logPath_);
    // The prefix depends on the heavy launcher's class; tests that want it register it.
    heavyLauncher_ = QPX_Framework_ClassRegistry::Find("QPX_Framework_Project_HeavyLauncher");
    QPX_Framework_ClassRegistry::Unregister("QPX_Framework_Project_HeavyLauncher");
    QPX_Framework_Log_ResetState();
  }

  void TearDown() override {
    QPX_Framework_Log_UserLog = nullptr;
    QPX_Framework_Log_Internal_Privileged = nullptr;
    QPX_Framework_IsPrivileged = false;
    QPX_Framework_ClassRegistry::Unregister("QPX_Framework_Project_HeavyLauncher");
    if (heavyLauncher_) QPX_Framework_ClassRegistry::Register(*heavyLauncher_);
    QPX_Framework_Log_SetFilePath("");
    QPX_Framework_Log_ResetState();
    g_userLog.clear();
    g_privileged.clear();
  }

  // Sets "Talvoro-Logging" (null removes it) as a new start of the process would see it.
  void SetLogging(const Value& mask) {
    bundle_.defaults()->setObject(_QPX_Framework_Logging_State_Key, mask);
    QPX_Framework_Log_ResetState();
  }

  // The lines of the log file after the banner.
  std::vector<std::string> Entries() const {
    std::vector<std::string> entries;
    for (const std::string& line : SplitLines(ReadFile(logPath_))) {
      if (line.find(kBanner) == std::string::npos) entries.push_back(line);
    }
    return entries;
  }

  testing_support::BundleFixture bundle_;
  testing_support::TempDir dir_;
  std::string logPath_;
  std::shared_ptr<const QPX_Framework_ClassEntry> heavyLauncher_;
};

TEST_F(LogTest, LevelMaskDecidesWhatReachesTheFileAndStandardError) {
  struct Case {
    const char* name;
    Value mask;
    std::vector<int> written;
  };
  const std::vector<Case> cases = {
      {"absent", Value(), {}},
      {"zero means every level", Value(0), {0, 1, 2, 3, 4, 5}},
      {"12 is levels 2 and 3", Value(12), {2, 3}},
      {"32 is level 5 alone", Value(32), {5}},
      {"a text of digits counts as its number", Value("12"), {2, 3}},
      {"a text that is no number turns logging off", Value("all"), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(logPath_.c_str());
    SetLogging(c.mask);
    ::testing::internal::CaptureStderr();
    for (int level = 0; level <= 5; ++level) {
      QPX_Framework_Log_Internal("f.cpp", 1, "f", "T", kStamp, level, "entry of level %d", level);
    }
    std::string standardError = ::testing::internal::GetCapturedStderr();

    std::vector<std::string> expected;
    for (int level : c.written) {
      expected.push_back(Clock(kStamp) + "|" + QPX_Framework_LogLevelName(level) + "|T|" +
                         (level == 3 ? std::string(":: ") : std::string("f.cpp:1(f): ")) + "entry of level " +
                         std::to_string(level));
    }
    if (expected.empty()) {
      EXPECT_FALSE(testing_support::FileExists(logPath_)) << "no file unless logging is on";
    } else {
      EXPECT_EQ(Entries(), expected);
    }
    bool errorsWritten = std::find(c.written.begin(), c.written.end(), 5) != c.written.end();
    EXPECT_EQ(standardError.find("entry of level 5") != std::string::npos, errorsWritten) << standardError;
    EXPECT_THAT(standardError, Not(HasSubstr("entry of level 4")));
  }
}

TEST_F(LogTest, ATCommandsUseTheShortFormEveryOtherLevelTheLongOne) {
  SetLogging(Value(0));
  QPX_Framework_Log_Internal("devices/at_engine.cpp", 212, "Send", "Modem 1", kStamp, QPX_LOG_ATCOMMANDS,
                             "-> %s", "AT+CSQ");
  QPX_Framework_Log_Internal("modules/connect.cpp", 42, "Connect", "Connect", kStamp, QPX_LOG_MILESTONE,
                             "connected after %d s", 3);
  QPX_Framework_Log_Internal(nullptr, 0, nullptr, "X", kStamp, QPX_LOG_GUI, nullptr);
  EXPECT_THAT(Entries(),
              ::testing::ElementsAre(Clock(kStamp) + "|ATCommands|Modem 1|:: -> AT+CSQ",
                                     Clock(kStamp) + "|Milestone|Connect|modules/connect.cpp:42(Connect): "
                                                     "connected after 3 s",
                                     Clock(kStamp) + "|GUI|X|:0(): "));
}

TEST_F(LogTest, BannerComesOnceAtTheFirstEntry) {
  bundle_.SetInfo("QPX Build ID", Value("4.2.1"));
  bundle_.Install();
  SetLogging(Value(0));
  QPX_Log(QPX_LOG_TRACE, "one");
  QPX_Log(QPX_LOG_TRACE, "two");
  std::vector<std::string> lines = SplitLines(ReadFile(logPath_));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("***** Application build 4.2.1 launched ", 0), 0u) << lines[0];
  EXPECT_THAT(lines[0], ::testing::EndsWith(" *****"));
  EXPECT_THAT(lines[1], HasSubstr("|Trace|"));
  EXPECT_THAT(lines[1], HasSubstr("log_test.cpp:"));
  EXPECT_THAT(lines[1], ::testing::EndsWith(": one"));
}

TEST_F(LogTest, PrefixFollowsTheHeavyLauncherClassAndRunMode) {
  int savedRunMode = QPX_Framework_Application_RunMode;
  struct Case {
    bool heavyLauncherExists;
    int runMode;
    std::string prefix;
  };
  for (const Case& c :
       {Case{false, 3, ""}, Case{true, 3, "HL|"}, Case{true, 1, "App|"}, Case{true, 2, "App|"}}) {
    SCOPED_TRACE(c.prefix + " run mode " + std::to_string(c.runMode));
    QPX_Framework_ClassRegistry::Unregister("QPX_Framework_Project_HeavyLauncher");
    if (c.heavyLauncherExists) {
      QPX_Framework_ClassEntry entry;
      entry.name = "QPX_Framework_Project_HeavyLauncher";
      QPX_Framework_ClassRegistry::Register(entry);
    }
    QPX_Framework_Application_RunMode = c.runMode;
    unlink(logPath_.c_str());
    SetLogging(Value(0));
    QPX_Framework_Log_Internal("a.cpp", 1, "f", "T", kStamp, QPX_LOG_ATCOMMANDS, "x");
    std::vector<std::string> lines = SplitLines(ReadFile(logPath_));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(c.prefix + kBanner, 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], c.prefix + Clock(kStamp) + "|ATCommands|T|:: x");
  }
  QPX_Framework_Application_RunMode = savedRunMode;
}

TEST_F(LogTest, ControlCharactersAreEscapedSoAnEntryStaysOneLine) {
  SetLogging(Value(8));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"two\nlines", "two\\nlines"},
      {"CR\r TAB\t", "CR\\r TAB\\t"},
      {"back\\slash", "back\\\\slash"},
      {"esc\x1b bell\x07 unit\x1f", "esc\\033 bell\\007 unit\\037"},
      {"caf\xC3\xA9 \x7F~", "caf\xC3\xA9 \x7F~"},
      {"100% sure", "100% sure"},
  };
  for (const auto& [message, written] : cases) {
    QPX_Framework_Log_Internal("e.cpp", 1, "f", "T", kStamp, QPX_LOG_ATCOMMANDS, "%s", message.c_str());
    EXPECT_EQ(Entries().back(), Clock(kStamp) + "|ATCommands|T|:: " + written);
  }
  // A NUL produced by the format is part of the message, not its end.
  QPX_Framework_Log_Internal("e.cpp", 1, "f", "T", kStamp, QPX_LOG_ATCOMMANDS, "a%cb", 0);
  EXPECT_EQ(Entries().back(), Clock(kStamp) + "|ATCommands|T|:: a\\000b");
  EXPECT_EQ(Entries().size(), cases.size() + 1);
}

TEST_F(LogTest, ThreadNameIsTheGivenOneElseTheThreadsNameElseItsWorkerID) {
  SetLogging(Value(8));
  std::thread([] {
    platform::CurrentThreadContext().dictionary.set("QPX Thread ID", Value("17"));
    QPX_Framework_Log_Internal("t.cpp", 1, "f", nullptr, kStamp, QPX_LOG_ATCOMMANDS, "by ID");
    QPX_Framework_SetThreadName(std::string("Serial Ports"));
    QPX_Framework_Log_Internal("t.cpp", 1, "f", nullptr, kStamp, QPX_LOG_ATCOMMANDS, "by name");
    QPX_Framework_Log_Internal("t.cpp", 1, "f", "Given", kStamp, QPX_LOG_ATCOMMANDS, "given");
    QPX_Framework_SetThreadName(std::nullopt);
    platform::CurrentThreadContext().dictionary.remove("QPX Thread ID");
    QPX_Framework_Log_Internal("t.cpp", 1, "f", nullptr, kStamp, QPX_LOG_ATCOMMANDS, "nameless");
  }).join();
  std::string clock = Clock(kStamp);
  EXPECT_THAT(Entries(), ::testing::ElementsAre(
                             clock + "|ATCommands|17|:: by ID", clock + "|ATCommands|Serial Ports|:: by name",
                             clock + "|ATCommands|Given|:: given", clock + "|ATCommands||:: nameless"));
}

TEST_F(LogTest, FileOfAnEarlierDayIsEmptiedAndTodaysIsAppendedTo) {
  SetLogging(Value(0));
  struct Case {
    const char* name;
    double ageInSeconds;
    bool kept;
  };
  for (const Case& c :
       {Case{"yesterday", 86400, false}, Case{"a year ago", 366 * 86400.0, false}, Case{"today", 0, true}}) {
    SCOPED_TRACE(c.name);
    testing_support::WriteFile(logPath_, "earlier entry\n");
    if (c.ageInSeconds > 0) {
      struct timespec times[2];
      clock_gettime(CLOCK_REALTIME, &times[0]);
      times[0].tv_sec -= static_cast<time_t>(c.ageInSeconds);
      times[1] = times[0];
      ASSERT_EQ(utimensat(AT_FDCWD, logPath_.c_str(), times, 0), 0);
    }
    QPX_Framework_Log_ResetState();  // a new process
    QPX_Log(QPX_LOG_MILESTONE, "new entry");
    std::vector<std::string> lines = SplitLines(ReadFile(logPath_));
    ASSERT_EQ(lines.size(), c.kept ? 3u : 2u);
    if (c.kept) {
      EXPECT_EQ(lines[0], "earlier entry");
    }
    EXPECT_THAT(lines[c.kept ? 1 : 0], HasSubstr(kBanner));
    EXPECT_THAT(lines.back(), ::testing::EndsWith(": new entry"));
  }
}

TEST_F(LogTest, LogPathThatIsNotOurPlainFileIsRefusedAndLeftAlone) {
  SetLogging(Value(0));
  struct stat info {};
  std::string victim = dir_ / "victim";

  // A symbolic link: the file behind it is neither written nor truncated.
  testing_support::WriteFile(victim, "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), logPath_.c_str()), 0);
  ::testing::internal::CaptureStderr();
  QPX_Log(QPX_LOG_MILESTONE, "first");
  QPX_Log(QPX_LOG_MILESTONE, "second");
  std::string standardError = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReadFile(victim), "precious\n");
  // One complaint, not one per entry.
  EXPECT_EQ(standardError, logPath_ + ": is a symbolic link; not logging to it\n");

  // A second name of another file.
  unlink(logPath_.c_str());
  ASSERT_EQ(link(victim.c_str(), logPath_.c_str()), 0);
  ::testing::internal::CaptureStderr();
  QPX_Log(QPX_LOG_MILESTONE, "third");
  standardError = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReadFile(victim), "precious\n");
  EXPECT_THAT(standardError, HasSubstr("not a regular file owned by this user"));

  // A named pipe nobody reads must not block the entry.
  unlink(logPath_.c_str());
  ASSERT_EQ(mkfifo(logPath_.c_str(), 0600), 0);
  ::testing::internal::CaptureStderr();
  QPX_Log(QPX_LOG_MILESTONE, "fourth");
  standardError = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(standardError, HasSubstr(logPath_ + ": "));

  // A folder.
  unlink(logPath_.c_str());
  ASSERT_EQ(mkdir(logPath_.c_str(), 0700), 0);
  ::testing::internal::CaptureStderr();
  QPX_Log(QPX_LOG_MILESTONE, "fifth");
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(logPath_ + ": "));

  // Once the way is clear, the next entry opens a fresh file, readable by this user only.
  rmdir(logPath_.c_str());
  QPX_Log(QPX_LOG_MILESTONE, "sixth");
  ASSERT_EQ(lstat(logPath_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(Entries().size(), 1u);
  EXPECT_THAT(Entries()[0], ::testing::EndsWith(": sixth"));
}

TEST_F(LogTest, AnExistingFileReadableByOthersIsMadePrivate) {
  testing_support::WriteFile(logPath_, "");
  chmod(logPath_.c_str(), 0644);
  SetLogging(Value(0));
  QPX_Log(QPX_LOG_MILESTONE, "entry");
  struct stat info {};
  ASSERT_EQ(stat(logPath_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(LogTest, ModemDataShowsBytesOnlyWhenSomeoneLogsThem) {
  struct Case {
    std::string bytes;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"OK\r\n", "OK\\0d\\0a"},  // only a final CR or NUL is dropped
      {"AT\r", "AT"},
      {std::string("AT\0", 3), "AT"},
      {"AT\r\r", "AT\\0d"},              // just one
      {"\x80\xff\x1a", "\\80\\ff\\1a"},  // outside 32..127 as hex
      {" ~\x7f", " ~\x7f"},
      {"", ""},
      {"\r", ""},
  };
  SetLogging(Value(8));
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_Log_ModemData(c.bytes), c.shown) << c.shown;

  SetLogging(Value(4));  // level 3 off
  EXPECT_EQ(QPX_Framework_Log_ModemData("OK\r\n"), "Logging Disabled");
  QPX_Framework_Log_UserLog = &RecordUserLog;  // but the user log takes everything
  EXPECT_EQ(QPX_Framework_Log_ModemData("OK\r\n"), "OK\\0d\\0a");
  QPX_Framework_Log_UserLog = nullptr;
  SetLogging(Value());
  EXPECT_EQ(QPX_Framework_Log_ModemData("OK\r\n"), "Logging Disabled");
}

TEST_F(LogTest, UserLogReceivesEveryLevelWhateverTheMask) {
  SetLogging(Value());
  QPX_Framework_Log_UserLog = &RecordUserLog;
  ::testing::internal::CaptureStderr();
  QPX_Framework_Log_Internal("u.cpp", 1, "f", "Given", 0, QPX_LOG_CALLS, "calls %d", 0);
  QPX_Framework_Log_Internal("u.cpp", 1, "f", nullptr, kStamp, QPX_LOG_ERROR, "failed: %s", "no SIM");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(testing_support::FileExists(logPath_));
  ASSERT_EQ(g_userLog.size(), 2u);
  EXPECT_EQ(g_userLog[0].level, QPX_LOG_CALLS);
  EXPECT_EQ(g_userLog[0].threadName, "Given");
  EXPECT_EQ(g_userLog[0].message, "calls 0");
  EXPECT_GT(g_userLog[0].timeStamp, kStamp) << "a zero time stamp is filled in";
  EXPECT_EQ(g_userLog[1].level, QPX_LOG_ERROR);
  EXPECT_EQ(g_userLog[1].timeStamp, kStamp);
  EXPECT_EQ(g_userLog[1].message, "failed: no SIM");
}

TEST_F(LogTest, PrivilegedProcessHandsEveryEntryOver) {
  SetLogging(Value(0));
  QPX_Framework_Log_UserLog = &RecordUserLog;
  QPX_Framework_IsPrivileged = true;
  QPX_Framework_Log_Internal("p.cpp", 1, "f", nullptr, 0, QPX_LOG_CALLS, "hook missing");  // logged here
  QPX_Framework_Log_Internal_Privileged = &RecordPrivileged;
  QPX_Framework_Log_Internal("p.cpp", 1, "f", nullptr, 0, QPX_LOG_ERROR, "sent %s", "over");
  ASSERT_EQ(g_privileged.size(), 1u);
  EXPECT_EQ(g_privileged[0].message, "sent over");
  EXPECT_EQ(g_privileged[0].level, QPX_LOG_ERROR);
  ASSERT_EQ(g_userLog.size(), 1u);
  EXPECT_EQ(g_userLog[0].message, "hook missing");
  std::vector<std::string> entries = Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_THAT(entries[0], ::testing::EndsWith(": hook missing"));
}

TEST_F(LogTest, LevelOutsideTheTableIsAnAssertionOnlyWhenItPassesTheMask) {
  SetLogging(Value(12));
  EXPECT_NO_THROW(QPX_Framework_Log_Internal("l.cpp", 1, "f", nullptr, 0, 6, "six"));
  EXPECT_NO_THROW(QPX_Framework_Log_Internal("l.cpp", 1, "f", nullptr, 0, -1, "minus one"));
  EXPECT_NO_THROW(QPX_Framework_Log_Internal("l.cpp", 1, "f", nullptr, 0, 40, "forty"));
  EXPECT_FALSE(testing_support::FileExists(logPath_));
  EXPECT_EQ(QPX_Framework_LogLevelName(6), nullptr);
  EXPECT_EQ(QPX_Framework_LogLevelName(-1), nullptr);

  SetLogging(Value(0));
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(QPX_Framework_Log_Internal("l.cpp", 1, "f", nullptr, 0, 6, "six"), platform::AssertionFailure);
  ::testing::internal::GetCapturedStderr();
  std::vector<std::string> entries = Entries();
  ASSERT_EQ(entries.size(), 1u) << "only the assertion itself";
  EXPECT_THAT(entries[0], HasSubstr("|Error|"));
  EXPECT_THAT(entries[0], HasSubstr("log level 6 does not exist"));
}

TEST_F(LogTest, AssertionIsLoggedAsAnErrorAndEndsInTheHandler) {
  SetLogging(Value(0));
  struct Case {
    Value detail;
    std::string message;
  };
  const std::vector<Case> cases = {
      {Value("x > 0"), "Assertion Failed:\ncore/thing.cpp:12\nx > 0"},
      {Value(), "Assertion Failed:\ncore/thing.cpp:12"},
      {Value(7), "Assertion Failed:\ncore/thing.cpp:12\n" + Value(7).Description()},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStderr();
    std::string thrown;
    try {
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, "core/thing.cpp", 12, c.detail);
    } catch (const platform::AssertionFailure& failure) {
      thrown = failure.what();
    }
    std::string standardError = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(thrown, c.message);
    std::string escaped = c.message;
    for (std::size_t at = 0; (at = escaped.find('\n', at)) != std::string::npos; at += 2)
      escaped.replace(at, 1, "\\n");
    EXPECT_THAT(Entries().back(), ::testing::EndsWith("(QPX_Framework_Assert_Failed): " + escaped));
    EXPECT_THAT(Entries().back(), HasSubstr("|Error|"));
    EXPECT_THAT(standardError, HasSubstr(escaped)) << "errors also go to standard error";
  }
  // Assertions of the platform layer reach the debug log as well.
  EXPECT_THROW(PLATFORM_ASSERT(1 + 1 == 3), platform::AssertionFailure);
  EXPECT_THAT(Entries().back(), HasSubstr("1 + 1 == 3"));
  EXPECT_THROW(QPX_Assert(2 < 1), platform::AssertionFailure);
  EXPECT_THAT(Entries().back(), HasSubstr("log_test.cpp:"));
  EXPECT_THAT(Entries().back(), ::testing::EndsWith("\\n2 < 1"));
}

QPX_Framework_AssertChoice g_alertChoice = QPX_Framework_AssertChoice::Quit;
std::string g_alertTitle, g_alertMessage;
QPX_Framework_AssertChoice RecordAlert(const std::string& title, const std::string& message) {
  g_alertTitle = title;
  g_alertMessage = message;
  return g_alertChoice;
}

TEST_F(LogTest, AlertWhereAGuiRunsQuitsOrCrashes) {
  QPX_Framework_Assert_Alert = &RecordAlert;
  g_alertChoice = QPX_Framework_AssertChoice::Quit;
  EXPECT_THROW(QPX_Framework_Assert_Failed(_QPX_Framework_Text_MissingImplementation, "m.cpp", 3),
               platform::AssertionFailure);
  EXPECT_EQ(g_alertTitle, "Tamsel Dashboard");
  EXPECT_EQ(g_alertMessage, "Missing Implementation:\nm.cpp:3");

  g_alertChoice = QPX_Framework_AssertChoice::CrashMe;
  EXPECT_DEATH(QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, "m.cpp", 4), "");
  QPX_Framework_Assert_Alert = nullptr;
}

TEST_F(LogTest, WithoutAGuiAnAssertionEndsTheProcessWithStatusOne) {
  EXPECT_EXIT(
      {
        platform::SetAssertionHandler(&platform::ExitingAssertionHandler);
        QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, "n.cpp", 5, Value("broken"));
      },
      ::testing::ExitedWithCode(1), "Assertion Failed:\nn.cpp:5\nbroken");
}

TEST_F(LogTest, EntriesOfManyThreadsStayWholeLines) {
  SetLogging(Value(0));
  constexpr int kThreads = 8;
  constexpr int kEntries = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string name = "worker " + std::to_string(t);
      for (int i = 0; i < kEntries; ++i) {
        QPX_Framework_Log_Internal("m.cpp", 1, "f", name.c_str(), kStamp, QPX_LOG_ATCOMMANDS,
                                   "entry %d of %d", i, t);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> entries = Entries();
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(kThreads * kEntries));
  std::vector<int> next(kThreads, 0);
  for (const std::string& entry : entries) {
    int i = -1, t = -1;
    ASSERT_EQ(
        std::sscanf(entry.c_str() + Clock(kStamp).size(), "|ATCommands|worker %*d|:: entry %d of %d", &i, &t),
        2)
        << entry;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, next[t]++) << "one thread's entries keep their order";
  }
}

}  // namespace
