#include "framework/util/user_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/storage.h"
#include "framework/core/thread.h"
#include "framework/util/process.h"
#include "platform/assert.h"
#include "testing/test_support.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no line end>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The event of a header line ("start", "stop", "cleared"), or "" for other lines.
std::string HeaderEvent(const std::string& line) {
  static const std::regex header(
      R"(^\d\d:\d\d:\d\d: \*{20} Log (\w+): \d{4}-\d\d-\d\d \(timezone .*\) \*{20}$)");
  std::smatch match;
  return std::regex_match(line, match, header) ? match[1].str() : std::string();
}

std::vector<std::string> Events(const std::vector<std::string>& lines) {
  std::vector<std::string> events;
  for (const std::string& line : lines)
    if (std::string event = HeaderEvent(line); !event.empty()) events.push_back(event);
  return events;
}

// The entries' texts after their time stamp.
std::vector<std::string> Entries(const std::vector<std::string>& lines) {
  static const std::regex entry(R"(^\d\d:\d\d:\d\d (.*)$)");
  std::vector<std::string> entries;
  std::smatch match;
  for (const std::string& line : lines)
    if (std::regex_match(line, match, entry)) entries.push_back(match[1].str());
  return entries;
}

// Waits (bounded) until the condition holds; a fault fails the test instead of hanging it.
template <class Condition>
bool Eventually(Condition condition) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Makes the log the receiver of the logging entry point while it lives.
class EntryPoint {
 public:
  explicit EntryPoint(std::shared_ptr<QPX_Framework_Project_Logging> logging)
      : previous_(QPX_Framework_Log_UserLog.exchange(&QPX_Framework_Project_Logging::SourceFile)) {
    QPX_Framework_Project_Logging::_SetInstance(std::move(logging));
  }
  ~EntryPoint() {
    QPX_Framework_Log_UserLog.store(previous_);
    QPX_Framework_Project_Logging::_SetInstance(nullptr);
  }

 private:
  QPX_Framework_Log_Receiver previous_;
};

class UserLogTest : public ::testing::Test {
 protected:
  UserLogTest() {
    EXPECT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    worker_ = std::make_shared<QPX_Framework_Thread>();
    EXPECT_TRUE(worker_->QPX_Framework_Thread_Launch());
  }
  ~UserLogTest() override {
    if (logging_) logging_->Shutdown();
    QPX_Framework_Preferences->removeObjectForKey(QPX_Framework_Project_Logging_Enabled_Key);
    worker_->QPX_Framework_Thread_Quit();
    worker_->WaitUntilFinished();
  }

  void SetEnabled(bool on) {
    QPX_Framework_Preferences->setBool(on, QPX_Framework_Project_Logging_Enabled_Key);
  }

  // Makes and starts the log on the worker thread, as start-up does on the main thread.
  void Start(const std::string& path) {
    logging_ = std::make_shared<QPX_Framework_Project_Logging>(path);
    worker_->PerformSelector([this] { logging_->init(); }, true);
  }

  // Everything queued so far has been handled by the writer.
  void Flush() {
    std::promise<void> done;
    logging_->SubmitInvocation([&] { done.set_value(); }, [&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  }

  std::vector<std::string> FileLines() {
    Flush();
    return Lines(ReadFile(path_));
  }

  struct SaveResult {
    bool success = false;
    std::string path;
    Value reason;
    bool onWorker = false;
  };
  // Saves from the worker thread and waits for the completion there.
  SaveResult Save(const std::string& path) {
    auto result = std::make_shared<std::promise<SaveResult>>();
    auto worker = worker_;
    worker_->PerformSelector(
        [this, path, result, worker] {
          logging_->SaveLog(path, QPX_Framework_Invocation::Make(
                                      [result, worker](QPX_Framework_Invocation::Arguments args) {
                                        SaveResult r;
                                        r.success = args[0].toBool();
                                        r.path = args[1].string();
                                        r.reason = args[2];
                                        r.onWorker = QPX_Framework_Thread::currentThread() == worker;
                                        result->set_value(r);
                                        return Value();
                                      }));
        },
        true);
    auto future = result->get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    return future.get();
  }

  TempDir dir_;
  std::string path_ = dir_ / "Logfile.txt";
  std::shared_ptr<QPX_Framework_Thread> worker_;
  std::shared_ptr<QPX_Framework_Project_Logging> logging_;
};

TEST_F(UserLogTest, TakesEntriesOfLevelsTwoToFiveAsOneLineEach) {
  SetEnabled(true);
  Start(path_);
  ASSERT_TRUE(logging_->IsEnabled());
  for (int level = 0; level <= 6; ++level)
    logging_->TakeEntry("/src/framework/modem.cpp", 0, level, "level " + std::to_string(level));
  logging_->TakeEntry("relative.cpp", 0, QPX_LOG_ERROR, "two\nlines and a \\ backslash");

  const std::vector<std::string> lines = FileLines();
  EXPECT_EQ(Events(lines), std::vector<std::string>{"start"});
  ASSERT_GE(lines.size(), 4u);
  EXPECT_NE(lines[1].find(": ********** Application identifier: "), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(": ********** Application build: "), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find(": ********** Application build date: "), std::string::npos) << lines[3];
  EXPECT_EQ(Entries(lines), (std::vector<std::string>{"modem.cpp: level 2", "modem.cpp: level 3",
                                                      "modem.cpp: level 4", "modem.cpp: level 5",
                                                      "relative.cpp: two\\nlines and a \\\\ backslash"}));
}

TEST_F(UserLogTest, TheLoggingEntryPointReachesTheLogWhileItIsEnabled) {
  SetEnabled(true);
  Start(path_);
  {
    EntryPoint entryPoint(logging_);
    QPX_Log(QPX_LOG_ATCOMMANDS, "AT%s -> %d", "+CSQ", 17);
    QPX_Log(QPX_LOG_TRACE, "not for the user");
  }

  EXPECT_EQ(Entries(FileLines()), std::vector<std::string>{"user_log_test.cpp: AT+CSQ -> 17"});
}

TEST_F(UserLogTest, SwitchingOffAndOnWritesStopThenALongStart) {
  SetEnabled(true);
  Start(path_);
  SetEnabled(false);
  ASSERT_TRUE(Eventually([&] { return !logging_->IsEnabled(); }));
  logging_->TakeEntry("a.cpp", 0, QPX_LOG_ERROR, "while off");
  SetEnabled(true);
  ASSERT_TRUE(Eventually([&] { return logging_->IsEnabled(); }));
  logging_->TakeEntry("a.cpp", 0, QPX_LOG_ERROR, "on again");

  const std::vector<std::string> lines = FileLines();
  EXPECT_EQ(Events(lines), (std::vector<std::string>{"start", "stop", "start"}));
  EXPECT_EQ(Entries(lines), std::vector<std::string>{"a.cpp: on again"});
  EXPECT_EQ(lines.size(), 4u + 1u + 4u + 1u);
}

TEST_F(UserLogTest, ALogStartedDisabledWritesNothingAndKeepsTheFile) {
  WriteFile(path_, "earlier\r\n");
  Start(path_);
  EXPECT_FALSE(logging_->IsEnabled());
  logging_->TakeEntry("a.cpp", 0, QPX_LOG_ERROR, "ignored");
  EXPECT_EQ(FileLines(), std::vector<std::string>{"earlier"});
}

TEST_F(UserLogTest, ClearingEmptiesTheFileBetweenTheLinesBeforeAndAfter) {
  SetEnabled(true);
  Start(path_);
  logging_->TakeEntry("a.cpp", 0, QPX_LOG_ERROR, "before");
  logging_->ClearLog();
  logging_->TakeEntry("a.cpp", 0, QPX_LOG_ERROR, "after");
  const std::vector<std::string> lines = FileLines();
  EXPECT_EQ(Events(lines), std::vector<std::string>{"cleared"});
  EXPECT_EQ(Entries(lines), std::vector<std::string>{"a.cpp: after"});
}

TEST_F(UserLogTest, SavingMakesAZipArchiveAndCompletesOnTheRequestingThread) {
  SetEnabled(true);
  Start(path_);
  logging_->TakeEntry("a.cpp", 0, QPX_LOG_ERROR, "saved line");
  WriteFile(dir_ / "Saved Log.zip", "an older file that is no archive");

  EntryPoint entryPoint(logging_);
  const SaveResult result = Save(dir_ / "Saved Log");
  EXPECT_TRUE(result.success) << result.reason.Description();
  EXPECT_EQ(result.path, dir_ / "Saved Log.zip");
  EXPECT_TRUE(result.reason.isNull());
  EXPECT_TRUE(result.onWorker);

  const std::optional<std::string> unpacked =
      QPX_Framework_RunCommand_Sync({"unzip", "-p", result.path, "Logfile.txt"});
  ASSERT_TRUE(unpacked.has_value());
  EXPECT_EQ(Entries(Lines(*unpacked)), std::vector<std::string>{"a.cpp: saved line"});
  // The save's own milestone follows in the log.
  EXPECT_EQ(Entries(FileLines()).back(), "user_log.cpp: Saved log to \"" + result.path + "\"");
}

TEST_F(UserLogTest, AFailedSaveCompletesWithNoAndTheReason) {
  Start(path_);
  const SaveResult result = Save(dir_ / "missing-folder/log.zip");
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.path, dir_ / "missing-folder/log.zip");
  EXPECT_TRUE(result.reason.isString());
  EXPECT_TRUE(result.onWorker);
}

TEST_F(UserLogTest, WithoutAFileRequestsStillComplete) {
  SetEnabled(true);
  Start(dir_ / "no-such-folder/Logfile.txt");
  logging_->TakeEntry("a.cpp", 0, QPX_LOG_ERROR, "dropped");
  logging_->ClearLog();
  const SaveResult result = Save(dir_ / "log");
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.reason, Value("The log file is not open"));
  EXPECT_FALSE(FileExists(dir_ / "log.zip"));
}

TEST_F(UserLogTest, AWriteErrorClosesTheFileAndLaterRequestsStillComplete) {
  if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  SetEnabled(true);
  Start("/dev/full");
  logging_->TakeEntry("a.cpp", 0, QPX_LOG_ERROR, "no room");
  const SaveResult result = Save(dir_ / "log.zip");
  EXPECT_FALSE(result.success);
  EXPECT_TRUE(result.reason.isString());
}

TEST(UserLogArchivePath, AddsZipUnlessThePathEndsInIt) {
  struct Case {
    const char* path;
    const char* archive;
  } cases[] = {
      {"/tmp/log", "/tmp/log.zip"},
      {"/tmp/log.zip", "/tmp/log.zip"},
      {"/tmp/log.ZIP", "/tmp/log.ZIP"},
      {"/tmp/log.txt", "/tmp/log.txt.zip"},
      {"/tmp/a.zip/log", "/tmp/a.zip/log.zip"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QPX_Framework_Project_Logging::ArchivePath(c.path), c.archive) << c.path;
}

// The project's subclass, made by the class initialiser in place of the framework's class.
class ProjectLogging : public QPX_Framework_Project_Logging {
 public:
  explicit ProjectLogging(std::string path) : QPX_Framework_Project_Logging(std::move(path)) {}
};

TEST_F(UserLogTest, TheClassInitialiserMakesTheProjectsSubclassOnce) {
  const std::string path = path_;
  QPX_Framework_ClassEntry project;
  project.name = "QPX_Project_Logging";
  project.create = [path] { return std::make_shared<ProjectLogging>(path); };
  QPX_Framework_ClassRegistry::Register(project);
  const QPX_Framework_Log_Receiver previous = QPX_Framework_Log_UserLog.load();

  EXPECT_TRUE(QPX_Framework_Project_Logging::QPX_Framework_Init("QPX_Project_Logging"));  // not its own class
  EXPECT_EQ(QPX_Framework_Project_Logging::Get(), nullptr);

  SetEnabled(true);
  worker_->PerformSelector(
      [] { EXPECT_TRUE(QPX_Framework_Project_Logging::QPX_Framework_Init("QPX_Framework_Project_Logging")); },
      true);
  logging_ = QPX_Framework_Project_Logging::Get();
  EXPECT_NE(std::dynamic_pointer_cast<ProjectLogging>(logging_), nullptr);
  EXPECT_EQ(QPX_Framework_Log_UserLog.load(), &QPX_Framework_Project_Logging::SourceFile);
  QPX_Log(QPX_LOG_MILESTONE, "through the entry point");
  EXPECT_EQ(Entries(FileLines()), std::vector<std::string>{"user_log_test.cpp: through the entry point"});

  EXPECT_THROW(QPX_Framework_Project_Logging::QPX_Framework_Init("QPX_Framework_Project_Logging"),
               platform::AssertionFailure);

  QPX_Framework_Log_UserLog.store(previous);
  QPX_Framework_Project_Logging::_SetInstance(nullptr);
  QPX_Framework_ClassRegistry::Unregister("QPX_Project_Logging");
}

}  // namespace
