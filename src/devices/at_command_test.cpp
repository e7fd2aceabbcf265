// The client side of the AT command API: thread settings and the packages they make.

#include "devices/at_command.h"

#include <gtest/gtest.h>

#include "devices/modem_at_reply.h"
#include "platform/assert.h"

namespace {

TEST(ATCommandSettings, PackagesCarryTheTopOfEachStack) {
  Value plain = QPX_Framework_Modem_CreateATCommand("AT\r");
  EXPECT_EQ(plain, QPX_Framework_Modem_MakeATCommandDict("AT\r"));
  EXPECT_EQ(plain.get("Command").string(), "AT Command");
  EXPECT_EQ(plain.get("AT Command"), Value::Data(std::string_view("AT\r")));

  QPX_Framework_Modem_SetTimeout(100);
  QPX_Framework_Modem_SetTimeout(5);
  QPX_Framework_Modem_SetPort(2);
  QPX_Framework_Modem_SetModemEcho(false);
  QPX_Framework_Modem_SetModemPrompt("> ", "text\x1a");
  Value inner = QPX_Framework_Modem_CreateATCommand("AT+CMGS=5\r");
  EXPECT_EQ(inner.get("Timeout").toDouble(), 5.0);
  EXPECT_EQ(inner.get("Port").toInt(), 2);
  EXPECT_FALSE(inner.get("Needs Echo").toBool(true));
  EXPECT_EQ(inner.get("Prompt").get("Prompt"), Value::Data(std::string_view("> ")));
  EXPECT_EQ(inner.get("Prompt").get("Response"), Value::Data(std::string_view("text\x1a")));

  // Popping the inner time-out leaves the outer one in force.
  QPX_Framework_Modem_ResetTimeout();
  EXPECT_EQ(QPX_Framework_Modem_CreateATCommand("AT\r").get("Timeout").toDouble(), 100.0);
  QPX_Framework_Modem_ResetTimeout();
  QPX_Framework_Modem_ResetPort();
  QPX_Framework_Modem_ResetModemEcho();
  QPX_Framework_Modem_ResetModemPrompt();
  EXPECT_EQ(QPX_Framework_Modem_CreateATCommand("AT\r"), plain);
}

TEST(ATCommandSettings, MisuseIsAnAssertion) {
  EXPECT_THROW(QPX_Framework_Modem_ResetTimeout(), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Modem_ResetPort(), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Modem_ResetCompletionChecker(), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Modem_ResetModemEcho(), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Modem_ResetModemPrompt(), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Modem_SetPort(3), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Modem_SetPort(0), platform::AssertionFailure);
}

TEST(ATCommandSettings, LockCommands) {
  EXPECT_EQ(QPX_Framework_Modem_MakeLockCommandDict(true), (Value{{"Command", Value("Lock")}}));
  EXPECT_EQ(QPX_Framework_Modem_MakeLockCommandDict(false), (Value{{"Command", Value("Unlock")}}));
}

TEST(ATCommandSettings, CurrentModem) {
  EXPECT_EQ(QPX_Framework_GetModem(), nullptr);
  ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
  auto node = QPX_Framework_Storage_CreateNode("/AT Command Test Modem");
  QPX_Framework_SetModem(node);
  EXPECT_EQ(QPX_Framework_GetModem(), node);
  // A node without a modem device has no modem thread.
  EXPECT_EQ(QPX_Framework_GetModem_Thread(), nullptr);
  QPX_Framework_SetModem(nullptr);
  EXPECT_EQ(QPX_Framework_GetModem(), nullptr);
  QPX_Framework_Storage_RemoveNode("/AT Command Test Modem");
}

}  // namespace
