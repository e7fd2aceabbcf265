#include "app/privileged_process.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "framework/core/log.h"
#include "framework/core/startup.h"

namespace {

using privileged_pipe::ReadMessage;
using privileged_pipe::Status;
using privileged_pipe::WriteMessage;

// A command class that answers the commands it is given with {"By": <its name>}.
class FakeCommand : public QPX_Framework_PrivilegedCommand {
 public:
  FakeCommand(std::string name, std::vector<std::string> commands, bool init = true,
              Value fixedReply = Value())
      : name_(std::move(name)),
        commands_(std::move(commands)),
        init_(init),
        fixedReply_(std::move(fixedReply)) {}
  bool QPX_Framework_Init() override { return init_; }
  Value QPX_Framework_Privileged_Process(const Value& request) override {
    for (const std::string& command : commands_) {
      if (request.get("Command") == Value(command))
        return fixedReply_.isNull() ? Value{{"By", Value(name_)}} : fixedReply_;
    }
    return Value();
  }

 private:
  std::string name_;
  std::vector<std::string> commands_;
  bool init_;
  Value fixedReply_;
};

class PrivilegedProcessTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& row : QPX_Framework_Privileged_CommandTable())
      QPX_Framework_Privileged_UnregisterCommandClass(row.className);
  }
  static void Register(const std::string& className, std::vector<std::string> commands, bool init = true,
                       Value fixedReply = Value()) {
    QPX_Framework_Privileged_RegisterCommandClass(
        className, [=] { return std::make_shared<FakeCommand>(className, commands, init, fixedReply); });
  }
};

TEST_F(PrivilegedProcessTest, TableOrderDecidesAndGapsAnswerFailed) {
  Register("QPX_Framework_Privileged_Connect", {"Connect", "Uninstall"});
  // A later class that would also take "Uninstall" is never asked for it.
  Register("QPX_Framework_Privileged_Uninstall", {"Uninstall Application", "Uninstall"});
  Register("QPX_Framework_Privileged_ConfigEthernet", {"Config Ethernet"}, true, Value("not a dictionary"));
  QPX_Framework_PrivilegedProcess process;
  ASSERT_TRUE(process.InitClasses());

  const Value failed = QPX_Framework_Privileged_FailedReply();
  const std::pair<Value, Value> cases[] = {
      {Value{{"Command", Value("Uninstall")}}, Value{{"By", Value("QPX_Framework_Privileged_Connect")}}},
      {Value{{"Command", Value("Connect")}, {"Password", Value("x")}},
       Value{{"By", Value("QPX_Framework_Privileged_Connect")}}},
      {Value{{"Command", Value("Uninstall Application")}},
       Value{{"By", Value("QPX_Framework_Privileged_Uninstall")}}},
      // Commands are compared exactly.
      {Value{{"Command", Value("connect")}}, failed},
      // A row whose class is not part of the build.
      {Value{{"Command", Value("Save Update Data")}}, failed},
      // A class that answers with something other than a dictionary.
      {Value{{"Command", Value("Config Ethernet")}}, failed},
      // Malformed requests.
      {Value{{"Command", Value("No Such Command")}}, failed},
      {Value{{"Command", Value(5)}}, failed},
      {Value::EmptyDictionary(), failed},
      {Value("Connect"), failed},
      {Value(), failed},
  };
  for (const auto& [request, reply] : cases)
    EXPECT_EQ(process.Dispatch(request), reply) << request.Description();
}

TEST_F(PrivilegedProcessTest, FailedInitialisationStopsTheStart) {
  Register("QPX_Framework_Privileged_Connect", {"Connect"});
  Register("QPX_Framework_Privileged_Driver", {"Load Driver"}, false);
  QPX_Framework_PrivilegedProcess process;
  EXPECT_FALSE(process.InitClasses());
}

class ServeFixture : public PrivilegedProcessTest {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0); }
  void Start() {
    ASSERT_TRUE(process_.InitClasses());
    server_ = std::thread([this] { ended_ = process_.Serve(fds_[1]); });
  }
  void TearDown() override {
    if (fds_[0] >= 0) close(fds_[0]);
    if (server_.joinable()) server_.join();
    close(fds_[1]);
    PrivilegedProcessTest::TearDown();
  }
  Value Ask(const Value& request) {
    EXPECT_EQ(WriteMessage(fds_[0], request), Status::Ok);
    privileged_pipe::ReadResult reply = ReadMessage(fds_[0]);
    EXPECT_EQ(reply.status, Status::Ok);
    return reply.value;
  }

  int fds_[2] = {-1, -1};
  QPX_Framework_PrivilegedProcess process_;
  std::thread server_;
  Status ended_ = Status::Ok;
};

TEST_F(ServeFixture, AnswersEachRequestUntilThePipeEnds) {
  Register("QPX_Framework_Privileged_Connect", {"Connect"});
  Start();
  EXPECT_EQ(Ask(Value{{"Command", Value("Connect")}}),
            (Value{{"By", Value("QPX_Framework_Privileged_Connect")}}));
  EXPECT_EQ(Ask(Value()), QPX_Framework_Privileged_FailedReply());
  // A payload that is not a property list is answered, and the pipe stays in step.
  const std::string garbage = std::string("\x05\x00\x00\x00", 4) + "hello";
  ASSERT_EQ(privileged_pipe::WriteAll(fds_[0], garbage.data(), garbage.size()), Status::Ok);
  EXPECT_EQ(ReadMessage(fds_[0]).value, QPX_Framework_Privileged_FailedReply());
  EXPECT_EQ(Ask(Value{{"Command", Value("Connect")}}),
            (Value{{"By", Value("QPX_Framework_Privileged_Connect")}}));
  close(fds_[0]);
  fds_[0] = -1;
  server_.join();
  EXPECT_EQ(ended_, Status::EndOfPipe);
}

TEST_F(ServeFixture, ReplyOverTheLimitBecomesFailed) {
  Register("QPX_Framework_Privileged_Connect", {"Connect"}, true,
           Value{{"Data", Value::Data(std::string(QPX_Framework_Privileged_MaxMessageLength, 'x'))}});
  Start();
  EXPECT_EQ(Ask(Value{{"Command", Value("Connect")}}), QPX_Framework_Privileged_FailedReply());
}

TEST_F(ServeFixture, LengthOverTheLimitClosesThePipe) {
  Start();
  const std::uint32_t length = QPX_Framework_Privileged_MaxMessageLength + 1;
  ASSERT_EQ(privileged_pipe::WriteAll(fds_[0], &length, sizeof length), Status::Ok);
  server_.join();
  EXPECT_EQ(ended_, Status::TooLarge);
}

TEST(PrivilegedLogging, RecordCarriesTheEntry) {
  const Value record = QPX_Framework_Privileged_LoggingRecord("src/x.cpp", 42, "Run", 1700000000, 2, "hello");
  const Value entry = record.get("Logging");
  EXPECT_EQ(record.size(), 1u);
  EXPECT_EQ(entry.get("Message"), Value("hello"));
  EXPECT_EQ(entry.get("Source file"), Value::Data(std::string_view("src/x.cpp\0", 10)));
  EXPECT_EQ(entry.get("Function name"), Value::Data(std::string_view("Run\0", 4)));
  EXPECT_EQ(entry.get("Source line"), Value(42));
  EXPECT_EQ(entry.get("Entry class"), Value(2));
  EXPECT_EQ(entry.get("Time"), Value(1700000000));
  // No time given: now.
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  const Value stamped =
      QPX_Framework_Privileged_LoggingRecord(nullptr, 1, nullptr, 0, 5, "\xff bytes").get("Logging");
  EXPECT_GE(stamped.get("Time").toInt64(), now.count() - 1);
  EXPECT_EQ(stamped.get("Source file"), Value::Data(std::string_view("\0", 1)));
  EXPECT_EQ(stamped.get("Message"), Value("? bytes"));
}

TEST(PrivilegedLogging, EntriesOfThePrivilegedProcessGoOverThePipe) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const int savedFd = _QPX_Framework_Fd;
  _QPX_Framework_Fd = fds[0];
  QPX_Framework_IsPrivileged = true;
  QPX_Framework_Log_Internal_Privileged = &QPX_Framework_Privileged_LogRelay;
  QPX_Log(QPX_LOG_MILESTONE, "first %d", 1);
  QPX_Log(QPX_LOG_ERROR, "second");
  QPX_Framework_Log_Internal_Privileged = nullptr;
  QPX_Framework_IsPrivileged = false;
  _QPX_Framework_Fd = savedFd;

  const Value first = ReadMessage(fds[1]).value.get("Logging");
  const Value second = ReadMessage(fds[1]).value.get("Logging");
  EXPECT_EQ(first.get("Message"), Value("first 1"));
  EXPECT_EQ(first.get("Entry class"), Value(2));
  EXPECT_EQ(second.get("Message"), Value("second"));
  EXPECT_EQ(second.get("Entry class"), Value(5));
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
