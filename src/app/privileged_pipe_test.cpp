#include "app/privileged_pipe.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "platform/assert.h"
#include "platform/plist.h"

namespace {

using privileged_pipe::ReadMessage;
using privileged_pipe::Status;
using privileged_pipe::WriteMessage;

class SocketPair {
 public:
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0); }
  ~SocketPair() {
    CloseA();
    CloseB();
  }
  int a() const { return fds_[0]; }
  int b() const { return fds_[1]; }
  void CloseA() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }
  void CloseB() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

std::string ReadAvailable(int fd) {
  std::string bytes;
  char buffer[256];
  ssize_t count;
  while ((count = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) bytes.append(buffer, size_t(count));
  return bytes;
}

std::string LengthField(std::uint32_t length) {
  return std::string(reinterpret_cast<const char*>(&length), 4);
}

TEST(PrivilegedPipe, MessagesRoundTrip) {
  const Value cases[] = {
      Value("Running"),
      Value{{"Command", Value("Save Data")}, {"Filename", Value("Prefs")}, {"Data", Value::Data("a\0b")}},
      Value{{"Logging", Value{{"Message", Value("héllo")}, {"Source line", Value(12)}}}},
      Value::EmptyDictionary(),
      Value(Value::Array{Value(1), Value(2.5), Value(true), Value::DateFromUnix(1700000000)}),
  };
  for (const Value& message : cases) {
    SocketPair pair;
    ASSERT_EQ(WriteMessage(pair.a(), message), Status::Ok);
    privileged_pipe::ReadResult result = ReadMessage(pair.b());
    ASSERT_EQ(result.status, Status::Ok) << message.Description();
    EXPECT_EQ(result.value, message);
  }
}

TEST(PrivilegedPipe, NilIsFourZeroBytesAndReadsAsNil) {
  SocketPair pair;
  ASSERT_EQ(WriteMessage(pair.a(), Value()), Status::Ok);
  EXPECT_EQ(ReadAvailable(pair.b()), std::string(4, '\0'));

  ASSERT_EQ(privileged_pipe::WriteAll(pair.a(), "\0\0\0\0", 4), Status::Ok);
  privileged_pipe::ReadResult result = ReadMessage(pair.b());
  EXPECT_EQ(result.status, Status::Ok);
  EXPECT_TRUE(result.value.isNull());
}

TEST(PrivilegedPipe, PayloadIsBinaryPropertyListAfterHostOrderLength) {
  SocketPair pair;
  ASSERT_EQ(WriteMessage(pair.a(), Value("Running")), Status::Ok);
  const std::string wire = ReadAvailable(pair.b());
  ASSERT_GT(wire.size(), 4u);
  std::uint32_t length = 0;
  std::memcpy(&length, wire.data(), 4);
  EXPECT_EQ(length, wire.size() - 4);
  EXPECT_EQ(wire.substr(4, 8), "bplist00");
}

TEST(PrivilegedPipe, LargeMessageCrossesTheSocketBuffer) {
  std::string bytes(8 * 1024 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : bytes) c = static_cast<char>(random());
  const Value message{{"Data", Value::Data(bytes)}};
  SocketPair pair;
  Status written = Status::IOError;
  std::thread writer([&] { written = WriteMessage(pair.a(), message); });
  privileged_pipe::ReadResult result = ReadMessage(pair.b());
  writer.join();
  EXPECT_EQ(written, Status::Ok);
  ASSERT_EQ(result.status, Status::Ok);
  EXPECT_EQ(result.value, message);
}

TEST(PrivilegedPipe, MessageArrivingInPiecesIsReassembled) {
  std::string wire;
  const Value message{{"Command", Value("Connect")}, {"Name", Value(std::string(3000, 'x'))}};
  ASSERT_EQ(privileged_pipe::Encode(message, wire), Status::Ok);
  wire += wire;  // two messages back to back, cut at arbitrary places
  SocketPair pair;
  std::thread writer([&] {
    std::mt19937 random(3);
    for (std::size_t at = 0; at < wire.size();) {
      const std::size_t piece = std::min<std::size_t>(1 + random() % 7, wire.size() - at);
      EXPECT_EQ(privileged_pipe::WriteAll(pair.a(), wire.data() + at, piece), Status::Ok);
      at += piece;
      if (random() % 4 == 0) std::this_thread::yield();
    }
  });
  for (int i = 0; i < 2; ++i) {
    privileged_pipe::ReadResult result = ReadMessage(pair.b());
    ASSERT_EQ(result.status, Status::Ok);
    EXPECT_EQ(result.value, message);
  }
  writer.join();
}

std::atomic<int> g_signals{0};
void CountSignal(int) { g_signals.fetch_add(1); }

TEST(PrivilegedPipe, InterruptedReadResumes) {
  struct sigaction action {};
  action.sa_handler = &CountSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  SocketPair pair;
  const Value message{{"Command", Value("Save Data")}};
  std::string wire;
  ASSERT_EQ(privileged_pipe::Encode(message, wire), Status::Ok);
  std::atomic<bool> reading{false};
  privileged_pipe::ReadResult result;
  std::thread reader([&] {
    reading = true;
    result = ReadMessage(pair.b());
  });
  while (!reading) std::this_thread::yield();
  // Interrupt the reader before anything arrives and again between the length and the payload.
  g_signals = 0;
  while (g_signals.load() < 3) {
    pthread_kill(reader.native_handle(), SIGUSR1);
    usleep(1000);
  }
  ASSERT_EQ(privileged_pipe::WriteAll(pair.a(), wire.data(), 4), Status::Ok);
  const int before = g_signals.load();
  while (g_signals.load() < before + 3) {
    pthread_kill(reader.native_handle(), SIGUSR1);
    usleep(1000);
  }
  ASSERT_EQ(privileged_pipe::WriteAll(pair.a(), wire.data() + 4, wire.size() - 4), Status::Ok);
  reader.join();
  sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_EQ(result.status, Status::Ok);
  EXPECT_EQ(result.value, message);
}

TEST(PrivilegedPipe, BadInputIsReportedNeverCrashes) {
  struct Case {
    const char* name;
    std::string wire;
    bool closeAfter;
    Status expected;
  };
  const std::string xml = platform::plist::ToXml(Value("Running"));
  const Case cases[] = {
      {"length-over-limit", LengthField(QPX_Framework_Privileged_MaxMessageLength + 1), false,
       Status::TooLarge},
      {"length-all-ones", LengthField(0xFFFFFFFFu), false, Status::TooLarge},
      // The largest length is accepted: the reader goes on to wait for the payload.
      {"length-at-limit", LengthField(QPX_Framework_Privileged_MaxMessageLength), true, Status::EndOfPipe},
      {"garbage-payload", LengthField(5) + "hello", false, Status::Unparsable},
      {"xml-payload", LengthField(uint32_t(xml.size())) + xml, false, Status::Unparsable},
      {"truncated-binary", LengthField(10) + "bplist00ab", false, Status::Unparsable},
      {"payload-cut-short", LengthField(10) + "bpl", true, Status::EndOfPipe},
      {"length-cut-short", "\x01\x00", true, Status::EndOfPipe},
      {"nothing", "", true, Status::EndOfPipe},
  };
  for (const Case& c : cases) {
    SocketPair pair;
    ASSERT_EQ(privileged_pipe::WriteAll(pair.a(), c.wire.data(), c.wire.size()), Status::Ok);
    if (c.closeAfter) pair.CloseA();
    EXPECT_EQ(ReadMessage(pair.b()).status, c.expected) << c.name;
  }
}

TEST(PrivilegedPipe, MangledPayloadsEitherParseOrFail) {
  std::string wire;
  ASSERT_EQ(privileged_pipe::Encode(Value{{"Command", Value("Save Data")},
                                          {"Data", Value::Data("0123456789")},
                                          {"List", Value(Value::Array{Value(1), Value("two")})}},
                                    wire),
            Status::Ok);
  const std::string payload = wire.substr(4);
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::string mangled = payload;
    const int edits = 1 + int(random() % 4);
    for (int e = 0; e < edits; ++e)
      mangled[8 + random() % (mangled.size() - 8)] = static_cast<char>(random());
    if (random() % 5 == 0) mangled.resize(8 + random() % (mangled.size() - 8));
    Value value;
    const Status status = privileged_pipe::DecodePayload(mangled, value);
    EXPECT_TRUE(status == Status::Ok || status == Status::Unparsable);
  }
}

TEST(PrivilegedPipe, SenderRefusesOversizedMessageAndWritesNothing) {
  SocketPair pair;
  const Value message{{"Data", Value::Data(std::string(QPX_Framework_Privileged_MaxMessageLength, 'x'))}};
  EXPECT_FALSE(_QPX_Framework_Privileged_Send(pair.a(), message));
  EXPECT_EQ(ReadAvailable(pair.b()), "");
  // The pipe is still in step: the next message goes through.
  EXPECT_TRUE(_QPX_Framework_Privileged_Send(pair.a(), Value("Running")));
  EXPECT_EQ(_QPX_Framework_Privileged_Receive(pair.b()), Value("Running"));
}

TEST(PrivilegedPipe, LiveObjectsCannotBeSent) {
  class Thing : public platform::ValueObject {};
  SocketPair pair;
  const Value message{{"Thread", Value::Object(std::make_shared<Thing>())}};
  std::string wire;
  EXPECT_EQ(privileged_pipe::Encode(message, wire), Status::Unserializable);
  EXPECT_THROW(_QPX_Framework_Privileged_Send(pair.a(), message), platform::AssertionFailure);
  EXPECT_EQ(ReadAvailable(pair.b()), "");
}

TEST(PrivilegedPipe, BadMessageAtProcessLevelIsAnAssertion) {
  SocketPair pair;
  const std::string wire = LengthField(QPX_Framework_Privileged_MaxMessageLength + 1);
  ASSERT_EQ(privileged_pipe::WriteAll(pair.a(), wire.data(), wire.size()), Status::Ok);
  EXPECT_THROW(_QPX_Framework_Privileged_Receive(pair.b()), platform::AssertionFailure);
}

TEST(PrivilegedPipeDeathTest, EndOfPipeEndsTheProcessWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.CloseA();
        _QPX_Framework_Privileged_Receive(pair.b());
      },
      ::testing::ExitedWithCode(1), "Privileged pipe: read: end of the pipe");
  EXPECT_EXIT(
      {
        SocketPair pair;
        pair.CloseB();
        _QPX_Framework_Privileged_Send(pair.a(), Value("Running"));
      },
      ::testing::ExitedWithCode(1), "Privileged pipe: write: end of the pipe");
}

TEST(PrivilegedPipe, HandleVariable) {
  const std::pair<const char*, int> cases[] = {
      {"12", 12},    {"0", 0},    {"12x", -1}, {"", -1},
      {nullptr, -1}, {" 12", -1}, {"-1", -1},  {"99999999999", -1},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(QPX_Framework_Privileged_ParseHandle(text), expected) << (text ? text : "(null)");

  const char* saved = std::getenv(_QPX_Framework_Privileged_HandleVariable);
  const std::string previous = saved ? saved : "";
  setenv(_QPX_Framework_Privileged_HandleVariable, "7", 1);
  EXPECT_EQ(_QPX_Framework_Privileged_GetFd(), 7);
  unsetenv(_QPX_Framework_Privileged_HandleVariable);
  EXPECT_EQ(_QPX_Framework_Privileged_GetFd(), -1);
  if (saved) setenv(_QPX_Framework_Privileged_HandleVariable, previous.c_str(), 1);
}

TEST(PrivilegedPipe, DescriptionsHideSecretsAndBulk) {
  const Value request{
      {"Command", Value("Store WLAN Password")},
      {"Password", Value("hunter2")},
      {"Parameters",
       Value{{"New PIN", Value("4711")}, {"PUK2", Value("87654321")}, {"authToken", Value("tokvalue9")}}},
      {"Networks", Value(Value::Array{Value{{"WPA Passphrase", Value("letmein")}}})},
      {"Data", Value::Data(std::string(1000, 'z'))},
      {"Pings", Value(3)},
  };
  const std::string text = privileged_pipe::Describe(request);
  for (const char* secret : {"hunter2", "4711", "87654321", "tokvalue9", "letmein", "zzzz"})
    EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;
  EXPECT_NE(text.find("Store WLAN Password"), std::string::npos) << text;
  EXPECT_NE(text.find("1000 bytes"), std::string::npos) << text;
  EXPECT_NE(text.find("Pings"), std::string::npos) << text;

  for (const char* key :
       {"Password", "PIN", "New PIN", "NewPIN", "PUK2", "auth_token", "Secret", "WLAN Passwd"})
    EXPECT_TRUE(privileged_pipe::IsSecretKey(key)) << key;
  for (const char* key : {"Command", "Pings", "Shipping", "Spinner", "Filename", "Kext", "Tokenizer"})
    EXPECT_FALSE(privileged_pipe::IsSecretKey(key)) << key;
}

}  // namespace
