#include "sms/pdu_decode.h"

#include <gtest/gtest.h>

#include <string>

#include "framework/util/gsm.h"
#include "sms/bit_buffer.h"

// Failures show records in their readable form.
namespace platform {
static void PrintTo(const Value& value, std::ostream* os) { *os << value.Description(); }
}  // namespace platform

namespace {

Value::Bytes Hex(std::string_view hex) {
  const QPX_Framework_SMS_BitBufferPtr buffer =
      QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithString(hex);
  EXPECT_NE(buffer, nullptr) << hex;
  return buffer ? buffer->Octets() : Value::Bytes();
}

Value DecodeHex(std::string_view hex) { return QPX_Framework_SMS_Decode(Value::Data(Hex(hex))); }

Value Address(const char* number, int typeOfNumber, int plan) {
  return Value({{"Number", Value(number)},
                {"Type-of-number", Value(typeOfNumber)},
                {"Numbering-plan-identification", Value(plan)}});
}

Value Date(double unixTime) { return Value::DateFromUnix(unixTime); }

Value Deliver(Value serviceCenter, Value originator, int dcs, double scts, Value userData,
              Value header = Value()) {
  Value d = Value::EmptyDictionary();
  d.set("Service Center", serviceCenter);
  d.set("TP-OA", originator);
  d.set("TP-PID", Value(0));
  d.set("TP-DCS", Value(dcs));
  d.set("TP-SCTS", Date(scts));
  d.set("TP-UD", userData);
  d.set("TP-UDH", header);
  return d;
}

Value Element(int identifier, std::string_view dataHex) {
  const Value::Bytes data = Hex(dataHex);
  return Value({{"UDH Identifier", Value(identifier)},
                {"UDH Length", Value(static_cast<int>(data.size()))},
                {"UDH Data", Value::Data(data)}});
}

Value Concatenation(int reference, int max, int current) {
  char hex[7];
  std::snprintf(hex, sizeof hex, "%02X%02X%02X", reference, max, current);
  Value element = Element(0, hex);
  element.set("Reference Number", Value(reference));
  element.set("Max Segments", Value(max));
  element.set("Current Segment", Value(current));
  return element;
}

Value Header(int length, std::initializer_list<std::pair<const char*, Value>> elements) {
  Value header = Value({{"UDH Length", Value(length)}});
  for (const auto& [key, element] : elements) header.set(key, element);
  return header;
}

// The time stamp 2012-02-13 12:34:56 in zone +00:00, as most crafted cases use it.
constexpr double kStamp = 1329136496;
const Value kNoCenter = Value::EmptyDictionary();
const Value kSender = Address("+12345", 1, 1);

struct Case {
  const char* name;
  const char* pdu;
  Value expected;  // null: the PDU must not decode
};

// Without "TP-UD (Bits)", which is a fresh object on every decode.
Value WithoutBits(Value decoded) {
  if (decoded.isDictionary()) decoded.remove("TP-UD (Bits)");
  return decoded;
}

TEST(PduDecode, PublishedDelivers) {
  // PDUs from public SMS documentation and the test suites of other SMS software, with the
  // fields those sources give for them.
  const Case cases[] = {
      {"deliver-7bit-national-sender",
       "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
       Deliver(Address("+27381000015", 1, 1), Address("27838890001", 4, 8), 0, 922713419,
               Value("hellohello"))},
      {"deliver-7bit-alphanumeric-sender-mms-sri",
       "0791448720003023240DD0E474D81C0EBB010000111011315214000BE474D81C0EBB5DE3771B",
       Deliver(Address("+447802000332", 1, 1), Address("diafaan", 5, 0), 0, 1294752341,
               Value("diafaan.com"))},
      {"deliver-7bit-international-sender",
       "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07",
       Deliver(Address("+31624000000", 1, 1), Address("+31641600986", 1, 1), 0, 1030390661,
               Value("How are you?"))},
      {"deliver-7bit-alphanumeric-sender-zone-plus-1h",
       "0791447758100650040DD0F334FC1CA6970100008080312170224008D4F29CDE0EA7D9",
       Deliver(Address("+447785016005", 1, 1), Address("sipgate", 5, 0), 0, 1218625642, Value("Testmail"))},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeHex(c.pdu), c.expected) << c.name;
}

TEST(PduDecode, CraftedDelivers) {
  const Case cases[] = {
      {"deliver-first-octet-24-no-header", "002405912143F500002120312143650002C834",
       Deliver(kNoCenter, kSender, 0, kStamp, Value("Hi"))},
      {"deliver-7bit-udh-concat", "004405912143F5000021203121436500120500032A0201906536FB0DBABFE56C32",
       Deliver(kNoCenter, kSender, 0, kStamp, Value("Hello world"),
               Header(5, {{"00", Concatenation(42, 2, 1)}}))},
      {"deliver-7bit-euro-escape", "000405912143F500002120312143650006E14D59BCE101",
       Deliver(kNoCenter, kSender, 0, kStamp,
               Value("a\xE2\x82\xAC"
                     "b["))},
      {"deliver-7bit-lone-escape-dropped", "000405912143F50000212031214365000461F17803",
       Deliver(kNoCenter, kSender, 0, kStamp, Value("abc"))},
      {"deliver-ucs2-national-sender", "000405812143F5000821203121436500040041041F",
       Deliver(kNoCenter, Address("12345", 0, 1), 8, kStamp, Value("A\xD0\x9F"))},
      {"deliver-ucs2-udh-concat", "004405912143F500082120312143650012050003070303041F04400438043204350442",
       Deliver(kNoCenter, kSender, 8, kStamp, Value("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"),
               Header(5, {{"00", Concatenation(7, 3, 3)}}))},
      {"deliver-8bit-data", "000405912143F5000421203121436500030102FF",
       Deliver(kNoCenter, kSender, 4, kStamp, Value::Data(Hex("0102FF")))},
      {"deliver-class0-dcs-f0", "000405912143F500F021203121436500054676788E06",
       Deliver(kNoCenter, kSender, 0xF0, kStamp, Value("Flash"))},
      {"deliver-dcs-40-auto-deletion-reads-as-gsm", "000405912143F5004021203121436500054676788E06",
       Deliver(kNoCenter, kSender, 0x40, kStamp, Value("Flash"))},
      {"deliver-udh-16bit-concat-kept-raw", "004405912143F50000212031214365001006080412340201F0B09C0E7ABBCB",
       Deliver(kNoCenter, kSender, 0, kStamp, Value("part one"),
               Header(6, {{"08", Element(8, "12340201")}}))},
      {"deliver-concat-current-above-max-dropped", "004405912143F5000021203121436500080500032A0203F0",
       Deliver(kNoCenter, kSender, 0, kStamp, Value("x"), Header(5, {}))},
      {"deliver-concat-one-of-one", "004405912143F50000212031214365000A0500032A0101DEEE32",
       Deliver(kNoCenter, kSender, 0, kStamp, Value("one"), Header(5, {{"00", Concatenation(42, 1, 1)}}))},
      {"deliver-udh-element-overruns-header", "004405912143F5000021203121436500080400032A02BCD7",
       Deliver(kNoCenter, kSender, 0, kStamp, Value("ok"), Header(4, {}))},
      {"deliver-alphanumeric-sender-14-semi-octets", "00040ED04F78591EA6BFE500002120312143650002C834",
       Deliver(kNoCenter, Address("Operator", 5, 0), 0, kStamp, Value("Hi"))},
      {"deliver-sender-length-0", "0004009100002120312143650002C834",
       Deliver(kNoCenter, Address("+", 1, 1), 0, kStamp, Value("Hi"))},
      {"deliver-sender-ton-7-no-number", "000404F1214300002120312143650002C834",
       Deliver(kNoCenter, Value::EmptyDictionary(), 0, kStamp, Value("Hi"))},
      {"deliver-udl-0", "000405912143F500002120312143650000",
       Deliver(kNoCenter, kSender, 0, kStamp, Value())},
      {"deliver-udl-0-unsupported-dcs", "000405912143F500802120312143650000",
       Deliver(kNoCenter, kSender, 0x80, kStamp, Value())},
      {"deliver-zone-minus-7h", "000405912143F500002120312143658A02C834",
       Deliver(kNoCenter, kSender, 0, 1329161696, Value("Hi"))},
      {"deliver-year-95-is-1995", "000405912143F500005910011000000002C834",
       Deliver(kNoCenter, kSender, 0, 789699600, Value("Hi"))},
      {"deliver-year-89-is-2089", "000405912143F500009810011000000002C834",
       Deliver(kNoCenter, kSender, 0, 3756157200, Value("Hi"))},
      {"deliver-february-31-carries-into-march", "000405912143F500002120131000000002C834",
       Deliver(kNoCenter, kSender, 0, 1330650000, Value("Hi"))},
  };
  for (const Case& c : cases) EXPECT_EQ(WithoutBits(DecodeHex(c.pdu)), c.expected) << c.name;
}

TEST(PduDecode, StatusReports) {
  const char* body = "0791447758100650062A0C914477112233442120312143658A2120312153658A";
  Value report = Value::EmptyDictionary();
  report.set("Service Center", Address("+447785016005", 1, 1));
  report.set("TP-MR", Value(42));
  report.set("TP-DA", Address("+447711223344", 1, 1));
  report.set("TP-SCTS", Date(1329161696));
  report.set("TP-DT", Date(1329161756));
  report.set("TP-ST", Value(0));
  EXPECT_EQ(DecodeHex(std::string(body) + "00"), report);
  report.set("TP-ST", Value(0x41));
  EXPECT_EQ(DecodeHex(std::string(body) + "41"), report);
  // Parameters after TP-ST are not read.
  EXPECT_EQ(DecodeHex(std::string(body) + "410100"), report);
  report.set("TP-ST", Value(0));
  EXPECT_EQ(DecodeHex(body), report) << "status-report-without-st";
}

TEST(PduDecode, UndecodablePdus) {
  const Case cases[] = {
      {"pdu-empty", "", Value()},
      {"service-center-only", "07917283010010F5", Value()},
      {"service-center-length-past-end", "0C9172", Value()},
      {"submit-report-mti-1", "0001000000", Value()},
      {"reserved-mti-3", "0003000000", Value()},
      {"deliver-month-13", "000405912143F500002131112143650002C834", Value()},
      {"deliver-hour-24", "000405912143F500002120314243650002C834", Value()},
      {"deliver-month-0", "000405912143F500002100112143650002C834", Value()},
      {"pdu-insufficient-data", "000405912143F50000212031214365000BC8329BFD06DDDF7236", Value()},
      {"deliver-truncated-sender", "00040B912143", Value()},
      {"deliver-truncated-before-udl", "000405912143F5000021203121436500", Value()},
      {"deliver-truncated-time-stamp", "000405912143F50000212031", Value()},
      {"deliver-sender-type-without-extension-bit", "000405112143F500002120312143650002C834", Value()},
      {"deliver-udh-longer-than-udl", "004405912143F5000021203121436500030500032A020100", Value()},
      {"deliver-udh-past-end", "004405912143F5000021203121436500120500032A", Value()},
      {"deliver-udhl-missing", "004405912143F500002120312143650012", Value()},
      {"deliver-ucs2-odd-octets", "000405912143F500082120312143650003004100", Value()},
      {"deliver-dcs-reserved-alphabet", "000405912143F5000C21203121436500020000", Value()},
      {"deliver-dcs-compressed", "000405912143F500202120312143650002C834", Value()},
      {"deliver-dcs-reserved-group", "000405912143F500802120312143650002C834", Value()},
      {"deliver-udl-255-with-2-octets", "000405912143F5000021203121436500FFC834", Value()},
      {"status-report-on-command", "0791447758100650262A0C914477112233442120312143658A2120312153658A00",
       Value()},
      {"status-report-truncated-discharge-time", "0791447758100650062A0C914477112233442120312143658A21203121",
       Value()},
      {"status-report-bad-discharge-time",
       "0791447758100650062A0C914477112233442120312143658A2120312166658A00", Value()},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeHex(c.pdu), c.expected) << c.name;
}

TEST(PduDecode, ConcatenatedPartKeepsItsUserDataBits) {
  const Value decoded = DecodeHex("004405912143F5000021203121436500120500032A0201906536FB0DBABFE56C32");
  ASSERT_TRUE(decoded.isDictionary());
  EXPECT_TRUE(QPX_Franework_SMS_Raw_IsConcatenated(decoded));
  const auto bits = decoded.get("TP-UD (Bits)").objectAs<QPX_Framework_SMS_BitBuffer>();
  ASSERT_NE(bits, nullptr);
  // TP-UDL 18 less the 7 septets of header and fill: 11 septets.
  EXPECT_EQ(bits->BitCount(), 77u);
  EXPECT_EQ(bits->BitIndex(), 0u);
  EXPECT_EQ(bits->QPX_Framework_SMS_BitBuffer_DecodeString(QPX_Framework_Alphabet_GSM, 77).string(),
            "Hello world");

  // Not for a one-part "concatenation", a dropped element or a 16-bit reference.
  for (const char* pdu : {"004405912143F50000212031214365000A0500032A0101DEEE32",
                          "004405912143F5000021203121436500080500032A0203F0",
                          "004405912143F50000212031214365001006080412340201F0B09C0E7ABBCB"}) {
    const Value other = DecodeHex(pdu);
    EXPECT_FALSE(QPX_Franework_SMS_Raw_IsConcatenated(other)) << pdu;
    EXPECT_FALSE(other.contains("TP-UD (Bits)")) << pdu;
  }
}

TEST(PduDecode, NonDataIsRefused) {
  EXPECT_TRUE(QPX_Framework_SMS_Decode(Value("0004")).isNull());
  EXPECT_TRUE(QPX_Framework_SMS_Decode(Value()).isNull());
  EXPECT_TRUE(QPX_Framework_SMS_Decode(nullptr, 0).isNull());
}

TEST(PduDecode, AddressHelpers) {
  EXPECT_EQ(QPX_Framework_Module_SMS_Assemble_Address_MakeString(Address("+12345", 1, 1)), "1:1:+12345");
  EXPECT_EQ(QPX_Framework_Module_SMS_Assemble_Address_MakeString(Value::EmptyDictionary()),
            "(null):(null):(null)");

  EXPECT_EQ(QPX_Framework_SMS_GetNumberFromObject(Address("+49", 1, 1)), Value("+49"));
  EXPECT_EQ(QPX_Framework_SMS_GetNumberFromObject(Value({{"Number", Value({{"Number", Value("0171")}})}})),
            Value("0171"));
  EXPECT_EQ(QPX_Framework_SMS_GetNumberFromObject(Value("0171")), Value("0171"));
  EXPECT_TRUE(QPX_Framework_SMS_GetNumberFromObject(Value({{"Number", Value(171)}})).isNull());
  EXPECT_TRUE(QPX_Framework_SMS_GetNumberFromObject(Value::EmptyDictionary()).isNull());
  EXPECT_TRUE(QPX_Framework_SMS_GetNumberFromObject(Value(3)).isNull());
}

}  // namespace
