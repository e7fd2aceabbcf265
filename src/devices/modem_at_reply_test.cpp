#include "devices/modem_at_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Final = QPX_Framework_Modem_FinalLine;

TEST(ModemReply, FinalLineRules) {
  struct Case {
    const char* name;
    const char* line;
    Final expected;
  } cases[] = {
      {"ok", "OK", Final::Success},
      {"ok-with-blank", "OK ", Final::None},
      {"ok-lower-case", "ok", Final::None},
      {"error", "ERROR", Final::Error},
      {"error-with-code", "ERROR: 3", Final::None},
      {"command-not-support", "COMMAND NOT SUPPORT", Final::Error},
      {"too-many-parameters", "TOO MANY PARAMETERS", Final::Error},
      {"cms-error-with-code", "+CMS ERROR: 500", Final::Error},
      {"cms-error-without-plus", "CMS ERROR: 304", Final::Error},
      {"cme-sim-busy", "+CME ERROR: 14", Final::Retry},
      {"cme-140-is-not-busy", "+CME ERROR: 140", Final::Error},
      {"cme-3", "+CME ERROR: 3", Final::Error},
      {"cme-text", "+CME ERROR: SIM busy", Final::Error},
      {"information", "+CSQ: 20,99", Final::None},
      {"empty", "", Final::None},
      {"connect", "CONNECT", Final::None},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_Modem_ClassifyFinalLine(c.line), c.expected) << c.name;
}

TEST(ModemReply, CMECodes) {
  struct Case {
    const char* name;
    const char* line;
    std::optional<int> code;
  } cases[] = {
      {"cme-10", "+CME ERROR: 10", 10},
      {"cme-0", "+CME ERROR: 0", 0},
      {"cme-letters", "+CME ERROR: 1a", std::nullopt},
      {"cme-text", "+CME ERROR: SIM not inserted", std::nullopt},
      {"cme-no-digits", "+CME ERROR: ", std::nullopt},
      {"cme-overlong", "+CME ERROR: 99999999999999999999", std::nullopt},
      {"no-blank", "+CME ERROR:10", std::nullopt},
      {"ok", "OK", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_Modem_ParseCMECode(c.line), c.code) << c.name;
}

TEST(ModemReply, IntFromData) {
  EXPECT_EQ(QPX_Framework_IntFromData(QPX_Framework_Modem_MakeLine("123")), 123);
  EXPECT_EQ(QPX_Framework_IntFromData(QPX_Framework_Modem_MakeLine("-7")), -7);
  EXPECT_EQ(QPX_Framework_IntFromData(QPX_Framework_Modem_MakeLine("12a")), 0);
  EXPECT_EQ(QPX_Framework_IntFromData(QPX_Framework_Modem_MakeLine("")), 0);
  EXPECT_EQ(QPX_Framework_IntFromData(QPX_Framework_Modem_MakeLine("99999999999999999999999")), 0);
  EXPECT_EQ(QPX_Framework_IntFromData(Value()), 0);
}

TEST(ModemReply, SecretsAreMaskedInLoggedCommands) {
  struct Case {
    const char* name;
    const char* command;
    const char* logged;
  } cases[] = {
      {"pin", "AT+CPIN=\"1234\"\r", "AT+CPIN=\"****\"\r"},
      {"puk-and-new-pin", "AT+CPIN=\"12345678\",\"4321\"\r", "AT+CPIN=\"****\",\"****\"\r"},
      {"pin-lower-case", "at+cpin=1234\r", "at+cpin=****\r"},
      {"pin-query-untouched", "AT+CPIN?\r", "AT+CPIN?\r"},
      {"lock-password", "AT+CLCK=\"SC\",1,\"1234\"\r", "AT+CLCK=\"SC\",1,\"****\"\r"},
      {"change-password", "AT+CPWD=\"SC\",\"1234\",\"5678\"\r", "AT+CPWD=\"SC\",\"****\",\"****\"\r"},
      {"pdp-auth", "AT$QCPDPP=1,1,\"secret\",\"user\"\r", "AT$QCPDPP=1,1,\"****\",\"****\"\r"},
      {"quoted-comma", "AT+CGAUTH=1,1,\"u,ser\",\"pa,ss\"\r", "AT+CGAUTH=1,1,\"****\",\"****\"\r"},
      {"plain-command", "AT+CSQ\r", "AT+CSQ\r"},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_Modem_MaskSecrets(c.command), c.logged) << c.name;
}

TEST(ModemReply, LineTextStopsAtTheTerminatingNul) {
  EXPECT_EQ(QPX_Framework_Modem_LineText(QPX_Framework_Modem_MakeLine("OK")), "OK");
  EXPECT_EQ(QPX_Framework_Modem_MakeLine("OK").data().size(), 3u);
  EXPECT_EQ(QPX_Framework_Modem_LineText(Value()), "");
}

}  // namespace
