#include "devices/serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "devices/closer_thread.h"
#include "devices/modem_at_test_support.h"
#include "framework/core/thread.h"
#include "platform/assert.h"
#include "platform/run_loop.h"

namespace {

std::string Text(const _QPX_Framework_SerialPort::Line& line) {
  if (line.prompt) return "<prompt>";
  return std::string(line.bytes.begin(), line.bytes.end() - 1);
}

TEST(SerialPortLineReader, CapturedModemOutput) {
  struct Case {
    const char* name;
    std::string input;
    std::optional<std::string> prompt;
    std::vector<std::string> lines;
    std::string rest;
  } cases[] = {
      {"ok-framed", "\r\nOK\r\n", std::nullopt, {"OK"}, "\n"},
      {"two-blank-lines", "\r\n\r\n", std::nullopt, {""}, "\n"},
      {"echo-without-lf", "AT\r", std::nullopt, {"AT"}, ""},
      {"echo-then-final",
       "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n",
       std::nullopt,
       {"AT+CSQ", "+CSQ: 20,99", "OK"},
       "\n"},
      {"partial-line-stays", "\r\n+CRE", std::nullopt, {}, "\n+CRE"},
      {"prompt-after-lf", "\n> ", std::string("> "), {"<prompt>"}, ""},
      {"prompt-after-echo", "AT+CMGS=20\r\r\n> ", std::string("> "), {"AT+CMGS=20", "<prompt>"}, ""},
      {"prompt-not-asked", "\n> ", std::nullopt, {}, "\n> "},
      {"half-prompt-waits", "\n>", std::string("> "), {}, "\n>"},
      {"noise-line", "\x01\xff garbage\r", std::nullopt, {"\x01\xff garbage"}, ""},
  };
  for (const Case& c : cases) {
    std::string buffer = c.input;
    bool skipped = false;
    std::vector<std::string> got;
    while (auto line = QPX_Framework_SerialPort_TakeLine(buffer, skipped, c.prompt))
      got.push_back(Text(*line));
    EXPECT_EQ(got, c.lines) << c.name;
    EXPECT_EQ(buffer, c.rest) << c.name;
  }
}

TEST(SerialPortLineReader, LineCarriesOneTerminatingNul) {
  std::string buffer = "\r\nOK\r\n";
  bool skipped = false;
  auto line = QPX_Framework_SerialPort_TakeLine(buffer, skipped, std::nullopt);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->bytes, (Value::Bytes{'O', 'K', 0}));
}

// A pseudo-terminal standing for the device: the test holds the master side, the port opens
// the slave path.
class Device {
 public:
  Device() {
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {0};
    EXPECT_EQ(openpty(&master_, &slave_, name, &raw, nullptr), 0);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    path_ = name;
  }
  ~Device() { Unplug(); }
  const std::string& path() const { return path_; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), (ssize_t)bytes.size());
  }
  std::string Receive(std::size_t atLeast) {
    std::string got;
    for (int rounds = 0; rounds < 1000 && got.size() < atLeast; ++rounds) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  void Unplug() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDelay_ = QPX_Framework_CloserThread::SetCloseDelay(0);
    ASSERT_TRUE(_QPX_Framework_SerialPort::QPX_Framework_Init());
    _QPX_Framework_SerialPort::WaitForCycle();
    // This thread's run loop (the owner side of the ports' signals) exists before anything
    // is counted.
    platform::RunLoop::Current();
  }
  void TearDown() override { QPX_Framework_CloserThread::SetCloseDelay(savedDelay_); }

  // Waits until the port's owner signal has been raised, by running this thread's loop.
  static std::optional<_QPX_Framework_SerialPort::Line> NextLine(
      const QPX_Framework_SerialPortPtr& port, const std::optional<std::string>& prompt = {}) {
    for (int i = 0; i < 1000; ++i) {
      if (auto line = port->QPX_Framework_SerialPort_ReadLine(prompt)) return line;
      platform::RunLoop::Current().RunOnce(0.01);
    }
    return std::nullopt;
  }

  double savedDelay_ = 0;
};

TEST_F(SerialPortTest, LinesInCommandsOutAndOwnerWoken) {
  Device device;
  auto port = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(device.path());
  ASSERT_TRUE(port->QPX_Framework_SerialPort_IsOpen());
  EXPECT_TRUE(port->IsServed());

  port->QPX_Framework_SerialPort_WriteCString("AT\r");
  EXPECT_EQ(device.Receive(3), "AT\r");

  device.Send("AT\r\r\n+CSQ: 1");
  device.Send("7,99\r\n\r\nOK\r\n");
  std::vector<std::string> lines;
  while (lines.size() < 3) {
    auto line = NextLine(port);
    ASSERT_TRUE(line);
    lines.push_back(Text(*line));
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"AT", "+CSQ: 17,99", "OK"}));

  port->invalidate();
  EXPECT_FALSE(port->IsServed());
  EXPECT_FALSE(port->QPX_Framework_SerialPort_IsOpen());
}

TEST_F(SerialPortTest, OpenFailureAndDoubleClose) {
  auto missing = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init("/dev/does-not-exist-at-all");
  ASSERT_NE(missing, nullptr);
  EXPECT_FALSE(missing->QPX_Framework_SerialPort_IsOpen());
  EXPECT_FALSE(missing->IsServed());
  EXPECT_FALSE(missing->QPX_Framework_SerialPort_Close());

  Device device;
  auto port = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(device.path());
  EXPECT_FALSE(port->QPX_Framework_SerialPort_Open());  // already open
  EXPECT_TRUE(port->QPX_Framework_SerialPort_Close());
  EXPECT_FALSE(port->QPX_Framework_SerialPort_Close());
  port->invalidate();
}

TEST_F(SerialPortTest, SlowDeviceGetsEverythingInOrder) {
  Device device;
  auto port = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(device.path());
  std::string big;
  for (int i = 0; big.size() < 200000; ++i) big += "AT+LINE=" + std::to_string(i) + "\r";
  port->QPX_Framework_SerialPort_WriteData(std::string_view(big));
  // Nobody reads yet: the terminal's buffer fills and the rest waits in the port.
  _QPX_Framework_SerialPort::WaitForCycle();
  EXPECT_GT(port->PendingWriteCount(), 0u);
  EXPECT_EQ(device.Receive(big.size()), big);
  port->invalidate();
}

TEST_F(SerialPortTest, VanishedDeviceMarksThePortFailedAndWakesTheOwner) {
  Device device;
  auto port = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(device.path());
  bool woken = false;
  auto signal = _QPX_Framework_Thread_Signal::Make();
  signal->SetDelegate([&](void*) { woken = true; }, nullptr);
  port->invalidate();
  port = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(device.path(), signal);
  ASSERT_TRUE(port->QPX_Framework_SerialPort_IsOpen());

  device.Unplug();
  for (int i = 0; i < 1000 && !port->QPX_Framework_SerialPort_HasFailed(); ++i)
    platform::RunLoop::Current().RunOnce(0.01);
  EXPECT_TRUE(port->QPX_Framework_SerialPort_HasFailed());
  EXPECT_FALSE(port->QPX_Framework_SerialPort_IsOpen());
  for (int i = 0; i < 100 && !woken; ++i) platform::RunLoop::Current().RunOnce(0.01);
  EXPECT_TRUE(woken);
  // Writes to a failed port go nowhere and do not bring it back.
  port->QPX_Framework_SerialPort_WriteCString("AT\r");
  EXPECT_FALSE(port->QPX_Framework_SerialPort_IsOpen());
  port->invalidate();
  signal->Release();
}

TEST_F(SerialPortTest, PseudoTerminalPairingPassesBytesThroughInOrder) {
  Device modem;
  auto real = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(modem.path());
  auto pty = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_InitVirtual();
  ASSERT_NE(pty, nullptr);
  struct stat info {};
  ASSERT_EQ(stat(pty->QPX_Framework_SerialPort_Path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // A pseudo-terminal port is never opened by its (slave) path.
  EXPECT_FALSE(pty->QPX_Framework_SerialPort_Open());

  // The dial-up side.
  int dialer = open(pty->QPX_Framework_SerialPort_Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(dialer, 0);
  termios raw{};
  tcgetattr(dialer, &raw);
  cfmakeraw(&raw);
  tcsetattr(dialer, TCSANOW, &raw);

  modem.Send("CONNECT\r\n~early~");
  _QPX_Framework_SerialPort::WaitForCycle();
  real->QPX_Framework_SerialPort_SetVirtual(pty);
  EXPECT_EQ(real->QPX_Framework_SerialPort_Virtual(), pty);
  EXPECT_EQ(pty->QPX_Framework_SerialPort_Virtual(), real);
  modem.Send("~later~");

  const std::string expected = "CONNECT\r\n~early~~later~";
  std::string atDialer;
  for (int i = 0; i < 1000 && atDialer.size() < expected.size(); ++i) {
    pollfd p{dialer, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    char buffer[256];
    ssize_t n = read(dialer, buffer, sizeof buffer);
    if (n > 0) atDialer.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(atDialer, expected);

  ASSERT_EQ(write(dialer, "~ppp~", 5), 5);
  EXPECT_EQ(modem.Receive(5), "~ppp~");

  real->QPX_Framework_SerialPort_ReleaseVirtual();
  EXPECT_EQ(real->QPX_Framework_SerialPort_Virtual(), nullptr);
  EXPECT_FALSE(pty->IsServed());
  close(dialer);
  real->invalidate();
}

TEST_F(SerialPortTest, NothingLeftBehind) {
  const std::set<int> before = at_testing::OpenDescriptors();
  const std::size_t served = _QPX_Framework_SerialPort::ServedPortCount();
  for (int i = 0; i < 20; ++i) {
    Device device;
    auto port = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(device.path());
    auto pty = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_InitVirtual();
    port->QPX_Framework_SerialPort_SetVirtual(pty);
    if (i % 2) device.Unplug();
    port->invalidate();
  }
  EXPECT_EQ(_QPX_Framework_SerialPort::ServedPortCount(), served);
  EXPECT_EQ(at_testing::NewDescriptors(before), std::set<int>{});
}

TEST_F(SerialPortTest, LinkingRulesAreChecked) {
  Device device;
  auto withoutSignal = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_InitVirtual();
  auto pty = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_InitVirtual();
  EXPECT_THROW(withoutSignal->QPX_Framework_SerialPort_SetVirtual(pty), platform::AssertionFailure);
  auto real = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(device.path());
  real->QPX_Framework_SerialPort_SetVirtual(pty);
  auto other = _QPX_Framework_SerialPort::QPX_Framework_SerialPort_InitVirtual();
  EXPECT_THROW(real->QPX_Framework_SerialPort_SetVirtual(other), platform::AssertionFailure);
  real->invalidate();
  other->invalidate();
  withoutSignal->invalidate();
}

}  // namespace
