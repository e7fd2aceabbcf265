#include "testing/modem_sim/modem_sim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace {

// The host side of one port: opened like a serial port, raw, read with a bounded wait.
class Host {
 public:
  explicit Host(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0) {
      termios t{};
      tcgetattr(fd_, &t);
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~Host() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), (ssize_t)bytes.size());
  }
  // Reads until the text ends with `until` (or end of file, or 10 s without it).
  std::string ReadUntil(const std::string& until) {
    std::string got;
    for (int rounds = 0; rounds < 1000; ++rounds) {
      if (got.size() >= until.size() && got.compare(got.size() - until.size(), until.size(), until) == 0)
        break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      char buffer[256];
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n == 0) {
        eof_ = true;
        break;
      }
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  bool eof() const { return eof_; }

 private:
  int fd_ = -1;
  bool eof_ = false;
};

TEST(ModemSim, EchoFinalsAndIdentity) {
  modem_sim::Modem modem;
  Host host(modem.PortPath(0));
  ASSERT_TRUE(host.ok());
  struct Case {
    const char* name;
    std::string send;
    std::string expect;
  } cases[] = {
      {"at-ok", "AT\r", "AT\r\r\nOK\r\n"},
      {"unknown-error", "AT+NOPE\r", "AT+NOPE\r\r\nERROR\r\n"},
      {"model", "AT+CGMM\r", "AT+CGMM\r\r\nSIM-MODEM\r\n\r\nOK\r\n"},
      {"echo-off", "ATE0\r", "ATE0\r\r\nOK\r\n"},
      {"no-echo", "AT\r", "\r\nOK\r\n"},
      {"echo-on-again", "ATE1\r", "\r\nOK\r\n"},
      {"noise-before-at", "\n~~AT\r", "AT\r\r\nOK\r\n"},
  };
  for (const Case& c : cases) {
    host.Send(c.send);
    EXPECT_EQ(host.ReadUntil(c.expect), c.expect) << c.name;
  }
  EXPECT_EQ(modem.CommandCount(), 7u);
  EXPECT_EQ(modem.Commands().at(6).text, "AT");
}

TEST(ModemSim, CustomHandlerWithUnsolicitedInsideAndPrompt) {
  modem_sim::Modem modem;
  modem.On("AT+CLCC", [](const modem_sim::Command&, modem_sim::Response& r) {
    r.Info("+CLCC: 1").Unsolicited("+CMTI: \"SM\",3").Info("+CLCC: 2").Ok();
  });
  Host host(modem.PortPath(0));
  host.Send("AT+CLCC\r");
  const std::string expect = "AT+CLCC\r\r\n+CLCC: 1\r\n\r\n+CMTI: \"SM\",3\r\n\r\n+CLCC: 2\r\n\r\nOK\r\n";
  EXPECT_EQ(host.ReadUntil(expect), expect);

  host.Send("AT+CMGS=20\r");
  EXPECT_EQ(host.ReadUntil("> "), "AT+CMGS=20\r\r\n> ");
  host.Send(std::string("0011000B91") + '\x1a');
  EXPECT_EQ(host.ReadUntil("OK\r\n"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
}

TEST(ModemSim, DataModeEscapeAndChunkedOutput) {
  modem_sim::Modem modem;
  Host host(modem.PortPath(1));
  host.Send("ATD*99#\r");
  EXPECT_EQ(host.ReadUntil("CONNECT\r\n"), "ATD*99#\r\r\nCONNECT\r\n");
  EXPECT_TRUE(modem.DataMode(1));
  host.Send("random data+");
  host.Send("++");
  EXPECT_EQ(host.ReadUntil("OK\r\n"), "\r\nOK\r\n");
  EXPECT_FALSE(modem.DataMode(1));

  modem.SetChunking(3, 0.001);
  host.Send("AT+CGMI\r");
  const std::string expect = "AT+CGMI\r\r\nSimulated\r\n\r\nOK\r\n";
  EXPECT_EQ(host.ReadUntil(expect), expect);
}

TEST(ModemSim, VanishMidCommandEndsTheTerminal) {
  modem_sim::Modem modem;
  modem.On("AT+SLOW", [](const modem_sim::Command&, modem_sim::Response& r) { r.Info("+SLOW: 1").Vanish(); });
  const std::string path = modem.PortPath(0);
  Host host(path);
  host.Send("AT+SLOW\r");
  host.ReadUntil("never comes");
  EXPECT_TRUE(host.eof());
  EXPECT_TRUE(modem.Vanished());
  EXPECT_LT(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0);
}

TEST(ModemSim, MuteModemRecordsButDoesNotAnswer) {
  modem_sim::Modem modem;
  modem.SetMute(true);
  Host host(modem.PortPath(0));
  host.Send("AT\r");
  ASSERT_TRUE(modem.WaitForCommands(1));
  EXPECT_EQ(modem.ReceivedBytes(0), "AT\r");
  modem.SetMute(false);
  modem.SendUnsolicited("RING");
  EXPECT_EQ(host.ReadUntil("RING\r\n"), "\r\nRING\r\n");
}

}  // namespace
