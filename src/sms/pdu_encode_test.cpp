#include "sms/pdu_encode.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/storage.h"
#include "platform/assert.h"
#include "sms/pdu_decode.h"

// Failures show records in their readable form.
namespace platform {
static void PrintTo(const Value& value, std::ostream* os) { *os << value.Description(); }
}  // namespace platform

namespace {

std::string HexOf(const Value::Bytes& bytes) {
  std::string out;
  char hex[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    out += hex;
  }
  return out;
}

std::string Repeat(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

Value Text(std::string text) { return Value({{"TP-UD", Value(std::move(text))}}); }

// The fields of one SMS-SUBMIT TPDU.
struct Submit {
  std::uint8_t first = 0;
  Value::Bytes destination;  // the whole address field
  std::uint8_t dcs = 0;
  int validity = -1;
  std::uint8_t userDataLength = 0;
  Value::Bytes userData;
};

Submit ParseSubmit(const Value::Bytes& tpdu) {
  Submit s;
  std::size_t i = 0;
  s.first = tpdu.at(i++);
  EXPECT_EQ(tpdu.at(i++), 0);  // TP-MR
  const std::size_t addressOctets = 2 + (tpdu.at(i) + 1) / 2;
  s.destination.assign(tpdu.begin() + static_cast<std::ptrdiff_t>(i),
                       tpdu.begin() + static_cast<std::ptrdiff_t>(i + addressOctets));
  i += addressOctets;
  EXPECT_EQ(tpdu.at(i++), 0);  // TP-PID
  s.dcs = tpdu.at(i++);
  if ((s.first & 0x18) == 0x10) s.validity = tpdu.at(i++);
  s.userDataLength = tpdu.at(i++);
  s.userData.assign(tpdu.begin() + static_cast<std::ptrdiff_t>(i), tpdu.end());
  return s;
}

// The SMS-DELIVER a recipient would get for this SMS-SUBMIT, run through our decoder.
Value DecodeAsDelivered(const Value::Bytes& tpdu) {
  const Submit s = ParseSubmit(tpdu);
  Value::Bytes pdu = {0x00, static_cast<std::uint8_t>(s.first & 0x40)};
  pdu.insert(pdu.end(), s.destination.begin(), s.destination.end());
  pdu.push_back(0x00);
  pdu.push_back(s.dcs);
  for (std::uint8_t b : {0x21, 0x20, 0x31, 0x21, 0x43, 0x65, 0x00}) pdu.push_back(b);
  pdu.push_back(s.userDataLength);
  pdu.insert(pdu.end(), s.userData.begin(), s.userData.end());
  return QPX_Framework_SMS_Decode(Value::Data(pdu));
}

class SmsEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    QPX_Framework_Option_SMS_PreferShortEncoding = false;
    QPX_Framework_Storage_CreateNode("/SMS/SMS IDs")->removeObjectForKey("Concatenated SMS");
  }
  void TearDown() override {
    QPX_Framework_Option_SMS_PreferShortEncoding = false;
    QPX_Framework_Storage_CreateNode("/SMS/SMS IDs")->removeObjectForKey("Concatenated SMS");
  }

  // The TPDUs for one recipient.
  static std::vector<Value::Bytes> EncodeFor(const std::string& text, const char* number = "+491",
                                             bool report = false, int validity = -1) {
    Value record = Text(text);
    record.set("TP-DA", Value({{"Number", Value(number)}}));
    std::vector<Value::Bytes> parts;
    EXPECT_TRUE(QPX_Framework_SMS_Encode(record, report, validity)) << text;
    for (const Value& part : record.get("Send Parts New").at(0).array()) parts.push_back(part.data());
    return parts;
  }
};

TEST(SmsEncodeNumber, AddressField) {
  struct Case {
    const char* name;
    Value address;
    const char* expected;  // "" for a number that cannot be encoded
  };
  const Case cases[] = {
      {"international-odd", Value({{"Number", Value("+491")}}), "039194F1"},
      {"star-hash", Value({{"Number", Value("12*#")}}), "048121BA"},
      {"letters-abc", Value({{"Number", Value("1abc")}}), "0481C1ED"},
      {"twenty-digits", Value({{"Number", Value(std::string(20, '9'))}}), "148199999999999999999999"},
      {"number-holder", Value({{"Number", Value({{"Number", Value("110")}})}}), "038111F0"},
      {"plain-string", Value("+4930"), "04919403"},
      {"lone-plus", Value({{"Number", Value("+")}}), ""},
      {"plus-inside", Value({{"Number", Value("4+9")}}), ""},
      {"twenty-one-digits", Value({{"Number", Value(std::string(21, '1'))}}), ""},
      {"no-decimal-digit", Value({{"Number", Value("*#")}}), ""},
      {"blank", Value({{"Number", Value("0171 2")}}), ""},
      {"empty", Value({{"Number", Value("")}}), ""},
      {"no-number", Value::EmptyDictionary(), ""},
      {"number-not-text", Value({{"Number", Value(171)}}), ""},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> out = {0xEE};
    const int length = QPX_Framework_SMS_EncodeNumber(c.address, out);
    EXPECT_EQ(HexOf(out), c.expected) << c.name;
    EXPECT_EQ(length, static_cast<int>(out.size())) << c.name;
  }
}

TEST(SmsEncodeInfo, AlphabetChoice) {
  struct Case {
    const char* name;
    std::string text;
    bool preferShort;
    std::uint32_t alphabet, parts, capacity, length;
    bool converted;
    std::string sent;
  };
  const std::string euro = "\xE2\x82\xAC";
  const std::string cyrillic = "\xD0\x9F";
  const Case cases[] = {
      {"empty", "", false, 0, 1, 160, 0, false, ""},
      {"e-acute-is-gsm", "\xC3\xA9", false, 0, 1, 160, 1, false, "\xC3\xA9"},
      {"e-circumflex-is-ucs2", "\xC3\xAA", false, 2, 1, 70, 1, false, "\xC3\xAA"},
      {"e-circumflex-ucs2-even-preferring-short", "\xC3\xAA", true, 2, 1, 70, 1, false, "\xC3\xAA"},
      {"decomposed-e-acute-composes-to-gsm", "e\xCC\x81", false, 0, 1, 160, 1, false, "\xC3\xA9"},
      {"ligature-fi-ucs2", "\xEF\xAC\x81", false, 2, 1, 70, 1, false, "\xEF\xAC\x81"},
      {"ligature-fi-preferring-short-gsm", "\xEF\xAC\x81", true, 0, 1, 160, 2, true, "fi"},
      {"fullwidth-ucs2", "\xEF\xBD\x88\xEF\xBD\x89", false, 2, 1, 70, 2, false, "\xEF\xBD\x88\xEF\xBD\x89"},
      {"fullwidth-preferring-short-gsm", "\xEF\xBD\x88\xEF\xBD\x89", true, 0, 1, 160, 2, true, "hi"},
      // NFKC gives GSM, but in more parts than UCS2: the text stays as written.
      {"compatibility-gsm-longer-than-ucs2", Repeat("\xE2\x91\xBD", 60), true, 2, 1, 70, 60, false,
       Repeat("\xE2\x91\xBD", 60)},
      // Outside the BMP only compatibility normalisation can carry it.
      {"math-bold-a-outside-bmp", "\xF0\x9D\x90\x80", false, 0, 1, 160, 1, true, "A"},
      {"greek-alpha-goes-as-gsm", "\xCE\x91", false, 0, 1, 160, 1, false, "\xCE\x91"},
      {"backquote-is-not-gsm", "`", false, 2, 1, 70, 1, false, "`"},
      {"tab-is-not-gsm", "a\tb", false, 2, 1, 70, 3, false, "a\tb"},
      {"gsm-160-one-part", std::string(160, 'a'), false, 0, 1, 160, 160, false, std::string(160, 'a')},
      {"gsm-161-two-parts", std::string(161, 'a'), false, 0, 2, 306, 161, false, std::string(161, 'a')},
      {"gsm-extension-counts-two-septets", Repeat(euro, 80), false, 0, 1, 160, 80, false, Repeat(euro, 80)},
      {"gsm-extension-161-septets", Repeat(euro, 80) + "a", false, 0, 2, 305, 81, false,
       Repeat(euro, 80) + "a"},
      // The euro pair would straddle septets 153/154: the first part ends one septet early.
      {"gsm-escape-never-split", std::string(152, 'a') + euro + std::string(10, 'b'), false, 0, 2, 305, 163,
       false, std::string(152, 'a') + euro + std::string(10, 'b')},
      {"ucs2-70-one-part", Repeat(cyrillic, 70), false, 2, 1, 70, 70, false, Repeat(cyrillic, 70)},
      {"ucs2-71-two-parts", Repeat(cyrillic, 71), false, 2, 2, 134, 71, false, Repeat(cyrillic, 71)},
      {"gsm-255-parts", std::string(255 * 153, 'a'), false, 0, 255, 255 * 153, 255 * 153, false,
       std::string(255 * 153, 'a')},
  };
  for (const Case& c : cases) {
    QPX_Framework_Option_SMS_PreferShortEncoding = c.preferShort;
    QPX_Framework_SMS_EncodeInfo info;
    ASSERT_TRUE(QPX_Framework_SMS_GetEncodeInfo(Text(c.text), info)) << c.name;
    EXPECT_EQ(info.alphabet, c.alphabet) << c.name;
    EXPECT_EQ(info.parts, c.parts) << c.name;
    EXPECT_EQ(info.capacity, c.capacity) << c.name;
    EXPECT_EQ(info.length, c.length) << c.name;
    EXPECT_EQ(info.converted, c.converted) << c.name;
    EXPECT_EQ(info.text, c.sent) << c.name;
  }
  QPX_Framework_Option_SMS_PreferShortEncoding = false;
}

TEST(SmsEncodeInfo, Unencodable) {
  QPX_Framework_SMS_EncodeInfo info;
  EXPECT_TRUE(QPX_Framework_SMS_GetEncodeInfo(Value::EmptyDictionary(), info));  // absent text is empty
  EXPECT_EQ(info.parts, 1u);
  EXPECT_FALSE(QPX_Framework_SMS_GetEncodeInfo(Value({{"TP-UD", Value::Data("Hi")}}), info));
  EXPECT_FALSE(QPX_Framework_SMS_GetEncodeInfo(Text("\xF0\x9F\x98\x80"), info));  // an emoji
  // 256 parts do not fit the one-octet part count, in either alphabet.
  EXPECT_FALSE(QPX_Framework_SMS_GetEncodeInfo(Text(std::string(255 * 153 + 1, 'a')), info));
}

TEST_F(SmsEncodeTest, SinglePartTPDUs) {
  struct Case {
    const char* name;
    std::string text;
    bool report;
    int validity;
    const char* expected;
  };
  const Case cases[] = {
      {"gsm-no-validity", "Hi", false, -1, "0100039194F1000002C834"},
      {"gsm-validity-167-report", "Hi", true, 167, "3100039194F10000A702C834"},
      {"validity-0", "Hi", false, 0, "1100039194F100000002C834"},
      {"validity-out-of-range-means-none", "Hi", false, 256, "0100039194F1000002C834"},
      {"gsm-euro", "\xE2\x82\xAC", false, -1, "0100039194F10000029B32"},
      {"greek-alpha-sent-as-a", "\xCE\x91", false, -1, "0100039194F100000141"},
      {"ucs2", "A\xD0\x9F", false, -1,
       "0100039194F100080400410"
       "41F"},
      {"empty-text-one-empty-part", "", false, -1, "0100039194F1000000"},
  };
  for (const Case& c : cases) {
    const std::vector<Value::Bytes> parts = EncodeFor(c.text, "+491", c.report, c.validity);
    ASSERT_EQ(parts.size(), 1u) << c.name;
    EXPECT_EQ(HexOf(parts[0]), c.expected) << c.name;
  }
}

TEST_F(SmsEncodeTest, ConcatenatedGsmParts) {
  const std::vector<Value::Bytes> parts = EncodeFor(std::string(161, 'a'));
  ASSERT_EQ(parts.size(), 2u);
  const Submit first = ParseSubmit(parts[0]);
  const Submit second = ParseSubmit(parts[1]);
  EXPECT_EQ(first.first, 0x41);
  EXPECT_EQ(first.userDataLength, 160);
  EXPECT_EQ(second.userDataLength, 15);  // 7 for header and fill, 8 septets
  EXPECT_EQ(HexOf(Value::Bytes(first.userData.begin(), first.userData.begin() + 6)), "050003000201");
  EXPECT_EQ(HexOf(Value::Bytes(second.userData.begin(), second.userData.begin() + 6)), "050003000202");
  EXPECT_EQ(first.userData.size(), 140u);
  EXPECT_EQ(second.userData.size(), 14u);  // ceil(15 * 7 / 8)
  EXPECT_EQ(parts[0].size(), 9u + 140);    // first octet, TP-MR, 4 address octets, TP-PID, TP-DCS, TP-UDL
}

TEST_F(SmsEncodeTest, ConcatenatedUcs2Parts) {
  const std::vector<Value::Bytes> parts = EncodeFor(Repeat("\xD0\x9F", 71));
  ASSERT_EQ(parts.size(), 2u);
  const Submit first = ParseSubmit(parts[0]);
  const Submit second = ParseSubmit(parts[1]);
  EXPECT_EQ(first.dcs, 0x08);
  EXPECT_EQ(first.userDataLength, 140);
  EXPECT_EQ(second.userDataLength, 14);
  EXPECT_EQ(HexOf(second.userData), "050003000202041F041F041F041F");
}

TEST_F(SmsEncodeTest, EscapeStartsTheNextPart) {
  const std::vector<Value::Bytes> parts =
      EncodeFor(std::string(152, 'a') + "\xE2\x82\xAC" + std::string(10, 'b'));
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(ParseSubmit(parts[0]).userDataLength, 7 + 152);
  EXPECT_EQ(ParseSubmit(parts[1]).userDataLength, 7 + 12);
  EXPECT_EQ(DecodeAsDelivered(parts[0]).get("TP-UD"), Value(std::string(152, 'a')));
  EXPECT_EQ(DecodeAsDelivered(parts[1]).get("TP-UD"), Value("\xE2\x82\xAC" + std::string(10, 'b')));
}

TEST_F(SmsEncodeTest, EveryPartDecodesBackToTheText) {
  const std::string euro = "\xE2\x82\xAC";
  const std::string cases[] = {
      "Hello, world!",
      "[{~}] \\ ^ | " + euro,
      "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xCE\xB1\xCE\xB2\xCE\xB3",
      std::string(161, 'x'),
      Repeat("12345678" + euro, 60),
      Repeat("a" + euro, 200),
      Repeat("\xD0\x9F\xD1\x80", 100),
      std::string(153 * 3, 'z'),
      "@\xC2\xA3$"
      "\xC2\xA5\xC3\xA8\xC3\xA9\xC3\xB9\xC3\xAC\xC3\xB2\xC3\x87\n\xC3\x98\xC3\xB8\r\xC3\x85\xC3\xA5",
  };
  for (const std::string& text : cases) {
    QPX_Framework_SMS_EncodeInfo info;
    ASSERT_TRUE(QPX_Framework_SMS_GetEncodeInfo(Text(text), info));
    const std::vector<Value::Bytes> parts = EncodeFor(text);
    ASSERT_EQ(parts.size(), info.parts) << text;
    std::string joined;
    int expectedSegment = 1;
    for (const Value::Bytes& part : parts) {
      const Value decoded = DecodeAsDelivered(part);
      ASSERT_TRUE(decoded.isDictionary()) << text;
      joined += decoded.get("TP-UD").string();
      if (parts.size() > 1) {
        EXPECT_EQ(decoded.get("TP-UDH").get("00").get("Max Segments"), Value(static_cast<int>(parts.size())));
        EXPECT_EQ(decoded.get("TP-UDH").get("00").get("Current Segment"), Value(expectedSegment++));
      }
    }
    EXPECT_EQ(joined, info.text) << text;
  }
}

TEST_F(SmsEncodeTest, RecordFields) {
  Value record = Text("Hi");
  record.set("TP-DAs",
             Value(Value::Array{Value({{"Number", Value("+491")}}), Value({{"Number", Value("0171")}})}));
  ASSERT_TRUE(QPX_Framework_SMS_Encode(record, true, 167));
  EXPECT_EQ(record.get("TP-VP"), Value(167));
  EXPECT_EQ(record.get("TP-SRR"), Value(true));
  EXPECT_EQ(record.get("Message References"), Value::EmptyArray());
  EXPECT_EQ(record.get("Message References New"),
            Value(Value::Array{Value::EmptyArray(), Value::EmptyArray()}));
  const Value parts = record.get("Send Parts New");
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(HexOf(parts.at(0).at(0).data()), "3100039194F10000A702C834");
  EXPECT_EQ(HexOf(parts.at(1).at(0).data()), "3100048110170000A702C834");
  EXPECT_FALSE(record.contains("Send Parts"));

  // Already encoded: answered true, nothing changed.
  const Value before = record;
  EXPECT_TRUE(QPX_Framework_SMS_Encode(record, false, -1));
  EXPECT_EQ(record, before);

  // Without a report no reference lists; without a validity period no "TP-VP".
  Value plain = Text("Hi");
  plain.set("TP-DA", Value({{"Number", Value("+491")}}));
  ASSERT_TRUE(QPX_Framework_SMS_Encode(plain, false, -1));
  EXPECT_FALSE(plain.contains("TP-VP"));
  EXPECT_EQ(plain.get("TP-SRR"), Value(false));
  EXPECT_FALSE(plain.contains("Message References"));
  EXPECT_FALSE(plain.contains("Message References New"));

  Value old = Text("Hi");
  old.set("TP-DA", Value({{"Number", Value("+491")}}));
  old.set("Send Parts", Value::EmptyArray());
  EXPECT_THROW(QPX_Framework_SMS_Encode(old, false, -1), platform::AssertionFailure);
}

TEST_F(SmsEncodeTest, FailuresStoreOnlyValidityAndReportFlag) {
  const std::string longText(200, 'a');
  Value noRecipients = Text("Hi");
  EXPECT_FALSE(QPX_Framework_SMS_Encode(noRecipients, true, 10));
  EXPECT_EQ(noRecipients, Value({{"TP-UD", Value("Hi")}, {"TP-VP", Value(10)}, {"TP-SRR", Value(true)}}));

  Value emptyList = Text("Hi");
  emptyList.set("TP-DAs", Value::EmptyArray());
  EXPECT_FALSE(QPX_Framework_SMS_Encode(emptyList, false, -1));

  Value badText = Text("\xF0\x9F\x98\x80");
  badText.set("TP-DA", Value({{"Number", Value("+491")}}));
  EXPECT_FALSE(QPX_Framework_SMS_Encode(badText, false, -1));
  EXPECT_FALSE(badText.contains("Send Parts New"));

  // A bad second number: nothing stored and no reference used up for the first.
  Value badNumber = Text(longText);
  badNumber.set("TP-DAs",
                Value(Value::Array{Value({{"Number", Value("+491")}}), Value({{"Number", Value("4+9")}})}));
  EXPECT_FALSE(QPX_Framework_SMS_Encode(badNumber, true, -1));
  EXPECT_FALSE(badNumber.contains("Send Parts New"));
  EXPECT_FALSE(badNumber.contains("Message References New"));
  EXPECT_TRUE(QPX_Framework_Storage_CreateNode("/SMS/SMS IDs")->objectForKey("Concatenated SMS").isNull());
}

TEST_F(SmsEncodeTest, ReferenceCountsPerDestination) {
  auto referenceOf = [](const std::vector<Value::Bytes>& parts) {
    return ParseSubmit(parts.at(0)).userData.at(3);
  };
  const std::string longText(200, 'a');
  EXPECT_EQ(referenceOf(EncodeFor(longText, "+491")), 0);
  EXPECT_EQ(referenceOf(EncodeFor(longText, "+491")), 1);
  EXPECT_EQ(referenceOf(EncodeFor(longText, "0171")), 0);
  EncodeFor("short", "+491");  // one part: no reference used
  EXPECT_EQ(referenceOf(EncodeFor(longText, "+491")), 2);

  const QPX_Framework_StoragePtr ids = QPX_Framework_Storage_CreateNode("/SMS/SMS IDs");
  Value counters = ids->objectForKey("Concatenated SMS");
  counters.set("+491", Value(255));
  ids->setObject(counters, "Concatenated SMS");
  EXPECT_EQ(referenceOf(EncodeFor(longText, "+491")), 255);
  EXPECT_EQ(referenceOf(EncodeFor(longText, "+491")), 0);
}

TEST_F(SmsEncodeTest, ConcurrentEncodersNeverShareAReference) {
  constexpr int kThreads = 8;
  constexpr int kMessages = 25;
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int m = 0; m < kMessages; ++m) {
        Value record = Text(std::string(170, 'a'));
        record.set("TP-DA", Value({{"Number", Value("+491")}}));
        if (!QPX_Framework_SMS_Encode(record, false, -1)) return;
        seen[static_cast<std::size_t>(t)].push_back(record.get("Send Parts New").at(0).at(0).data().at(12));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<int> all;
  for (const auto& list : seen) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kMessages));
}

TEST(SmsRecipients, GetRecipients) {
  const Value one = Value({{"Number", Value("1")}});
  const Value two = Value({{"Number", Value("2")}});
  EXPECT_EQ(QPX_Framework_SMS_GetRecipients(Value({{"TP-DA", one}})), Value(Value::Array{one}));
  EXPECT_EQ(QPX_Framework_SMS_GetRecipients(Value({{"TP-DA", one}, {"TP-DAs", Value(Value::Array{two})}})),
            Value(Value::Array{two}));
  EXPECT_TRUE(QPX_Framework_SMS_GetRecipients(Value::EmptyDictionary()).isNull());
}

}  // namespace
