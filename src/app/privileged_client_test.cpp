#include "app/privileged_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "app/privileged_files.h"
#include "app/privileged_pipe.h"
#include "app/privileged_process.h"
#include "framework/core/log.h"
#include "platform/assert.h"
#include "platform/plist.h"
#include "testing/test_support.h"

namespace {

using privileged_pipe::ReadMessage;
using privileged_pipe::Status;
using privileged_pipe::WriteMessage;

struct LoggedEntry {
  std::string file, function, thread, message;
  unsigned line;
  int level;
  double time;
};
std::mutex g_logMutex;
std::vector<LoggedEntry> g_logged;

void RecordEntry(const char* file, unsigned line, const char* function, const char* thread, double time,
                 int level, const char* format, va_list args) {
  char buffer[1024];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logged.push_back(
      {file ? file : "", function ? function : "", thread ? thread : "", buffer, line, level, time});
}

// The application's side of a pipe whose other end is served by a thread of the test.
class PrivilegedClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
    setenv(_QPX_Framework_Privileged_HandleVariable, std::to_string(fds_[0]).c_str(), 1);
    QPX_Framework_Log_UserLog = &RecordEntry;
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logged.clear();
  }
  void TearDown() override {
    QPX_Framework_Thread_Privileged::_QPX_Framework_Thread_Privileged_Reset();
    QPX_Framework_Log_UserLog = nullptr;
    unsetenv(_QPX_Framework_Privileged_HandleVariable);
    shutdown(fds_[0], SHUT_RDWR);
    if (server_.joinable()) server_.join();
    close(fds_[0]);
    close(fds_[1]);
    QPX_Framework_Privileged_UnregisterCommandClass("QPX_Framework_Privileged_SaveData");
  }

  // A privileged process that logs twice per request and echoes "Token".
  void StartEchoServer() {
    server_ = std::thread([this] {
      for (;;) {
        privileged_pipe::ReadResult request = ReadMessage(fds_[1]);
        if (request.status != Status::Ok) return;
        const Value token = request.value.get("Token");
        for (int i = 0; i < 2; ++i) {
          const std::string message = "working on " + token.string() + " " + std::to_string(i);
          WriteMessage(fds_[1], QPX_Framework_Privileged_LoggingRecord("Privileged/Echo.cpp", 10 + i, "Echo",
                                                                       1700000000, 2, message));
        }
        WriteMessage(fds_[1], Value{{"Echo", token}});
      }
    });
  }
  // The real serving loop, with "Save Data" into a bundle of the test.
  void StartProcessServer(const std::string& bundle) {
    QPX_Framework_Privileged_RegisterCommandClass("QPX_Framework_Privileged_SaveData", [bundle] {
      return std::make_shared<QPX_Framework_Privileged_SaveData>(bundle);
    });
    server_ = std::thread([this] {
      QPX_Framework_PrivilegedProcess process;
      if (process.InitClasses()) process.Serve(fds_[1]);
    });
  }

  std::vector<LoggedEntry> Relayed() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::vector<LoggedEntry> relayed;
    for (const LoggedEntry& entry : g_logged)
      if (entry.thread == QPX_Framework_Privileged_ProcessLabel) relayed.push_back(entry);
    return relayed;
  }

  int fds_[2] = {-1, -1};
  std::thread server_;
};

TEST_F(PrivilegedClientTest, RequestsGetTheirOwnRepliesAndRecordsAreLogged) {
  StartEchoServer();
  ASSERT_TRUE(QPX_Framework_Thread_Privileged::QPX_Framework_Init("QPX_Framework_Thread_Privileged"));
  EXPECT_TRUE(QPX_Framework_Thread_Privileged::QPX_Framework_Init("QPX_Framework_Thread_Privileged"));

  constexpr int kCallers = 4;
  constexpr int kRequests = 10;
  std::vector<std::thread> callers;
  std::vector<int> mismatches(kCallers, 0);
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([c, &mismatches] {
      for (int r = 0; r < kRequests; ++r) {
        const std::string token = std::to_string(c) + "-" + std::to_string(r);
        const Value reply =
            QPX_Framework_Privileged_Execute(Value{{"Command", Value("Echo")}, {"Token", Value(token)}});
        if (reply != Value{{"Echo", Value(token)}}) ++mismatches[c];
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (int c = 0; c < kCallers; ++c) EXPECT_EQ(mismatches[c], 0) << c;

  const std::vector<LoggedEntry> relayed = Relayed();
  ASSERT_EQ(relayed.size(), size_t(2 * kCallers * kRequests));
  EXPECT_EQ(relayed[0].file, "Privileged/Echo.cpp");
  EXPECT_EQ(relayed[0].function, "Echo");
  EXPECT_EQ(relayed[0].level, 2);
  EXPECT_EQ(relayed[0].time, 1700000000);
  // The two records of one request arrive together and in order.
  for (std::size_t i = 0; i < relayed.size(); i += 2) {
    EXPECT_EQ(relayed[i].line, 10u);
    EXPECT_EQ(relayed[i + 1].line, 11u);
    EXPECT_EQ(relayed[i].message.substr(0, relayed[i].message.size() - 1),
              relayed[i + 1].message.substr(0, relayed[i + 1].message.size() - 1));
  }
}

TEST_F(PrivilegedClientTest, OversizedRequestIsRefusedAndThePipeStaysUsable) {
  StartEchoServer();
  ASSERT_TRUE(QPX_Framework_Thread_Privileged::QPX_Framework_Init("QPX_Framework_Thread_Privileged"));
  const Value huge{{"Command", Value("Save Data")},
                   {"Data", Value::Data(std::string(QPX_Framework_Privileged_MaxMessageLength, 'x'))}};
  EXPECT_EQ(QPX_Framework_Privileged_Execute(huge), QPX_Framework_Privileged_FailedReply());
  EXPECT_EQ(QPX_Framework_Privileged_Execute(Value{{"Command", Value("Echo")}, {"Token", Value("after")}}),
            (Value{{"Echo", Value("after")}}));
}

TEST_F(PrivilegedClientTest, MissingHandleFailsTheStart) {
  for (const char* value : {"", "abc", "12x"}) {
    setenv(_QPX_Framework_Privileged_HandleVariable, value, 1);
    EXPECT_FALSE(QPX_Framework_Thread_Privileged::QPX_Framework_Init("QPX_Framework_Thread_Privileged"))
        << value;
    EXPECT_EQ(QPX_Framework_Thread_Privileged::Instance(), nullptr);
  }
  unsetenv(_QPX_Framework_Privileged_HandleVariable);
  EXPECT_FALSE(QPX_Framework_Thread_Privileged::QPX_Framework_Init("QPX_Framework_Thread_Privileged"));
  // Without the thread a request is a programming error.
  EXPECT_THROW(QPX_Framework_Privileged_Execute(Value{{"Command", Value("Echo")}}),
               platform::AssertionFailure);
}

TEST_F(PrivilegedClientTest, SavePrivilegedGoesThroughSaveData) {
  testing_support::TempDir dir;
  const std::string bundle = dir / "Dashboard.app";
  std::filesystem::create_directories(bundle + "/Contents/Resources");
  StartProcessServer(bundle);
  ASSERT_TRUE(QPX_Framework_Thread_Privileged::QPX_Framework_Init("QPX_Framework_Thread_Privileged"));

  const Value settings{{"Operator", Value("Tamsel")}, {"Limits", Value(Value::Array{Value(1), Value(2)})}};
  EXPECT_TRUE(QPX_Framework_SavePrivileged(settings, "Settings.plist"));
  const std::string path = *QPX_Framework_PrivilegedFile_GetPath(bundle, std::string("Settings.plist"));
  EXPECT_EQ(platform::plist::ReadFile(path), settings);
  const std::string written = testing_support::ReadFile(path);
  EXPECT_NE(written.find("<?xml"), std::string::npos) << written;

  // Bytes are stored as they are.
  EXPECT_TRUE(QPX_Framework_SavePrivileged(Value::Data("raw\0bytes"), "Raw"));
  EXPECT_EQ(testing_support::ReadFile(*QPX_Framework_PrivilegedFile_GetPath(bundle, std::string("Raw"))),
            "raw");

  for (const char* name : {"../Escape", ".", "..", "a/b"})
    EXPECT_FALSE(QPX_Framework_SavePrivileged(settings, name)) << name;
  EXPECT_FALSE(testing_support::FileExists(bundle + "/Contents/Resources/Escape"));
}

}  // namespace
