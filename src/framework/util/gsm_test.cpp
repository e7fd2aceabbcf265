#include "framework/util/gsm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "framework/core/storage.h"
#include "platform/assert.h"
#include "platform/thread_context.h"

namespace {

// Decodes one or two GSM units; U+0000 stands for "incomplete".
char16_t DecodeGsm(std::initializer_list<std::uint16_t> units) {
  const std::vector<std::uint16_t> v(units);
  char16_t c = u'\uFFFF';
  const bool complete = QPX_Framework_Alphabet_DecodeChar(QPX_Framework_Alphabet_GSM, v.data(),
                                                          static_cast<unsigned>(v.size()), &c);
  return complete ? c : u'\0';
}

TEST(GsmAlphabet, DecodeCharTable) {
  struct Case {
    const char* name;
    std::initializer_list<std::uint16_t> units;
    char16_t expected;
  };
  const Case cases[] = {
      {"at-sign", {0x00}, u'@'},
      {"pound", {0x01}, u'\u00A3'},
      {"dollar", {0x02}, u'$'},
      {"carriage-return-is-itself", {0x0D}, u'\r'},
      {"capital-delta", {0x10}, u'\u0394'},
      {"currency-sign", {0x24}, u'\u00A4'},
      {"inverted-question", {0x60}, u'\u00BF'},
      {"a-grave", {0x7F}, u'\u00E0'},
      {"plain-letter", {0x41}, u'A'},
      {"above-7-bit", {0x80}, u'\uFFFD'},
      {"lone-escape-incomplete", {0x1B}, u'\0'},
      {"escape-euro", {0x1B, 0x65}, u'\u20AC'},
      {"escape-caret", {0x1B, 0x14}, u'^'},
      {"escape-line-feed", {0x1B, 0x0A}, u'\n'},
      {"escape-escape-is-space", {0x1B, 0x1B}, u' '},
      {"escape-without-extension-reads-alone", {0x1B, 0x41}, u'A'},
      {"escape-without-extension-table-code", {0x1B, 0x00}, u'@'},
      {"escape-above-7-bit", {0x1B, 0x80}, u'\uFFFD'},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeGsm(c.units), c.expected) << c.name;
}

TEST(GsmAlphabet, DecodeCharOtherAlphabets) {
  const std::uint16_t unit = 0x041F;
  char16_t c = 0;
  EXPECT_TRUE(QPX_Framework_Alphabet_DecodeChar(QPX_Framework_Alphabet_UCS2, &unit, 1, &c));
  EXPECT_EQ(c, u'\u041F');
  EXPECT_TRUE(QPX_Framework_Alphabet_DecodeChar(QPX_Framework_Alphabet_8Bit, &unit, 1, &c));
  EXPECT_EQ(c, u'\uFFFD');
  EXPECT_TRUE(QPX_Framework_Alphabet_DecodeChar(3, &unit, 1, &c));
  EXPECT_EQ(c, u'\uFFFD');
  EXPECT_TRUE(QPX_Framework_Alphabet_DecodeChar(QPX_Framework_Alphabet_UCS2, &unit, 1, nullptr));
}

TEST(GsmAlphabet, DecodeCharMisuseIsAnAssertion) {
  const std::uint16_t three[] = {0x1B, 0x65, 0x41};
  const std::uint16_t notEscaped[] = {0x41, 0x42};
  EXPECT_THROW(QPX_Framework_Alphabet_DecodeChar(QPX_Framework_Alphabet_GSM, three, 0, nullptr),
               platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Alphabet_DecodeChar(QPX_Framework_Alphabet_GSM, three, 3, nullptr),
               platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Alphabet_DecodeChar(QPX_Framework_Alphabet_GSM, notEscaped, 2, nullptr),
               platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Alphabet_CharSize(3), platform::AssertionFailure);
}

TEST(GsmAlphabet, CharSize) {
  EXPECT_EQ(QPX_Framework_Alphabet_CharSize(QPX_Framework_Alphabet_GSM), 7);
  EXPECT_EQ(QPX_Framework_Alphabet_CharSize(QPX_Framework_Alphabet_8Bit), 8);
  EXPECT_EQ(QPX_Framework_Alphabet_CharSize(QPX_Framework_Alphabet_UCS2), 16);
}

TEST(GsmAlphabet, EncodeTable) {
  struct Case {
    const char* name;
    char16_t character;
    int expected;
  };
  const Case cases[] = {
      {"at-sign", u'@', 0x00},
      {"dollar", u'$', 0x02},
      {"line-feed-takes-plain-code", u'\n', 0x0A},
      {"space-takes-plain-code", u' ', 0x20},
      {"carriage-return", u'\r', 0x0D},
      {"letter", u'z', 0x7A},
      {"e-acute", u'\u00E9', 0x05},
      {"greek-alpha-as-latin-a", u'\u0391', 0x41},
      {"greek-chi-as-latin-x", u'\u03A7', 0x58},
      {"greek-delta-own-code", u'\u0394', 0x10},
      {"euro", u'\u20AC', 0x1B65},
      {"open-brace", u'{', 0x1B28},
      {"backslash", u'\\', 0x1B2F},
      {"c-cedilla-small", u'\u00E7', -1},
      {"e-circumflex", u'\u00EA', -1},
      {"cyrillic", u'\u041F', -1},
      // Code points whose GSM code is another character: never silently swapped.
      {"backquote-not-inverted-question", u'`', -1},
      {"tab-not-c-cedilla", u'\t', -1},
      {"u0001-not-pound", u'\u0001', -1},
      {"delete-not-a-grave", u'\u007F', -1},
      {"escape-character", u'\u001B', -1},
      {"form-feed", u'\f', -1},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_Alphabet_EncodeGSM(c.character), c.expected) << c.name;
}

// Every code the encoder answers decodes to the character it was asked for (or, for the
// Greek capitals, to the Latin letter it stands for).
TEST(GsmAlphabet, EncodeRoundTripsThroughDecode) {
  int encodable = 0;
  for (std::uint32_t c = 0; c <= 0xFFFF; ++c) {
    const char16_t ch = static_cast<char16_t>(c);
    const int code = QPX_Framework_Alphabet_EncodeGSM(ch);
    if (code < 0) continue;
    ++encodable;
    char16_t decoded = 0;
    if (code > 0xFF) {
      ASSERT_EQ(code >> 8, 0x1B) << std::hex << c;
      decoded = DecodeGsm({0x1B, static_cast<std::uint16_t>(code & 0xFF)});
    } else {
      decoded = DecodeGsm({static_cast<std::uint16_t>(code)});
    }
    const bool greek = c >= 0x0391 && c <= 0x03A7 && decoded < 0x80;
    if (!greek) {
      EXPECT_EQ(decoded, ch) << std::hex << c;
    }
  }
  // 128 codes less the escape, plus 9 extension characters, plus 14 Greek look-alikes;
  // the table's two extension duplicates (line feed, space) add no character.
  EXPECT_EQ(encodable, 127 + 9 + 14);
}

TEST(GsmAlphabet, DataCodingSchemeToAlphabet) {
  struct Case {
    int dcs;
    int expected;
  };
  const Case cases[] = {
      {0x00, 0},  {0x04, 1},  {0x08, 2},  {0x0C, 3},  {0x10, 0},  {0x11, 0},
      {0x15, 1},  {0x18, 2},  {0x20, -1}, {0x28, -1}, {0x3F, -1},              // compressed
      {0x40, 0},  {0x44, 1},  {0x48, 2},  {0x4C, 3},  {0x51, 0},  {0x60, -1},  // automatic deletion
      {0x80, -1}, {0xBF, -1}, {0xC0, 0},  {0xC8, 0},  {0xDF, 0},  {0xE0, 2},
      {0xEF, 2},  {0xF0, 0},  {0xF1, 0},  {0xF4, 1},  {0xF6, 1},  {0xFF, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QPX_Framework_SMS_DCStoAlphabet(c.dcs), c.expected) << std::hex << c.dcs;
  EXPECT_THROW(QPX_Framework_SMS_DCStoAlphabet(256), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_SMS_DCStoAlphabet(-1), platform::AssertionFailure);
}

TEST(GsmAlphabet, RelativeValidityPeriod) {
  struct Case {
    int value;
    double seconds;
  };
  const Case cases[] = {
      {0, 300},       {143, 43200},   {144, 45000},    {167, 86400}, {168, 172800},
      {196, 2592000}, {197, 3024000}, {255, 38102400}, {-1, -1.0},   {256, -1.0},
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(QPX_Framework_RelativeValidityPeriodToSeconds(c.value), c.seconds) << c.value;
}

TEST(GsmAlphabet, Ucs2_81Form) {
  // Three Cyrillic letters of page 0x08 (U+0400-U+047F) and a Latin letter.
  EXPECT_EQ(QPX_Framework_Encode_UCS2_81("\xD0\x9F\xD1\x80\xD0\xB8"
                                         "A",
                                         0x3F),
            "810408"
            "9FC0B841");
  // No character outside the GSM alphabet: page 0; the euro sign takes two bytes.
  EXPECT_EQ(QPX_Framework_Encode_UCS2_81("a\xE2\x82\xAC", 0x3F), "810300611B65");
  // Characters off the base page, or at U+8000 and above, take the fallback byte.
  EXPECT_EQ(QPX_Framework_Encode_UCS2_81("\xD0\x9F\xD0\x9F\xCE\xB1\xE8\x80\x80", 0x3F),
            "810408"
            "9F9F3F3F");
  EXPECT_EQ(QPX_Framework_Encode_UCS2_81("", 0x3F), "810000");
}

TEST(GsmAlphabet, Ucs2_81TieAndLimit) {
  // Greek small alpha U+03B1 is page 0x07, Cyrillic U+041F page 0x08: alpha came first.
  EXPECT_EQ(QPX_Framework_Encode_UCS2_81("\xCE\xB1\xD0\x9F", 0x20),
            "810207"
            "B120");
  // 300 letters: cut at 255 bytes, never over the one-octet length.
  const std::string form = QPX_Framework_Encode_UCS2_81(std::string(300, 'a'), 0x3F);
  EXPECT_EQ(form.substr(0, 6), "81FF00");
  EXPECT_EQ(form.size(), 6u + 2 * 255);
  // An extension character that would only half fit is left out whole.
  const std::string euros = QPX_Framework_Encode_UCS2_81(std::string(254, 'a') + "\xE2\x82\xAC", 0x3F);
  EXPECT_EQ(euros.substr(0, 6), "81FE00");
}

TEST(GsmAlphabet, Utf16ToUtf8) {
  EXPECT_EQ(QPX_Framework_UTF16ToUTF8(u"A\u00E9\u20AC"), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(QPX_Framework_UTF16ToUTF8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  const char16_t loneHigh[] = {u'a', 0xD83D, u'b', 0};
  EXPECT_EQ(QPX_Framework_UTF16ToUTF8(loneHigh),
            "a\xEF\xBF\xBD"
            "b");
  const char16_t loneLow[] = {0xDE00, 0};
  EXPECT_EQ(QPX_Framework_UTF16ToUTF8(loneLow), "\xEF\xBF\xBD");
}

class GsmStorageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init()); }
  void TearDown() override {
    QPX_Framework_Root_Storage->RemoveNode("/GsmTest");
    QPX_Framework_Preferences->removeObjectForKey(QPX_Framework_Preferences_SMS_ValidityPeriod);
    platform::CurrentThreadContext().dictionary.remove("QPX Current Modem");
  }
};

TEST_F(GsmStorageTest, SelectBestEncoding) {
  const QPX_Framework_StoragePtr modem = QPX_Framework_Storage_CreateNode("/GsmTest/Modem");
  EXPECT_EQ(QPX_Framework_SelectBestEncoding(modem), 0);  // no "CSCS"
  modem->setObject(Value::Set({Value("IRA"), Value("GSM"), Value("UCS2")}), "CSCS");
  EXPECT_EQ(QPX_Framework_SelectBestEncoding(modem), 3);
  modem->setObject(Value::Set({Value("IRA"), Value("UCS2_0X81"), Value("GSM")}), "CSCS");
  EXPECT_EQ(QPX_Framework_SelectBestEncoding(modem), 4);
  modem->setObject(Value::Set({Value("IRA"), Value("GSM")}), "CSCS");
  EXPECT_EQ(QPX_Framework_SelectBestEncoding(modem), 2);
  modem->setObject(Value::Set({Value("IRA")}), "CSCS");
  EXPECT_EQ(QPX_Framework_SelectBestEncoding(modem), 1);
  modem->setObject(Value::Set({Value("8859-1")}), "CSCS");
  EXPECT_EQ(QPX_Framework_SelectBestEncoding(modem), 0);

  // Without a node: the thread's current modem, or none.
  EXPECT_EQ(QPX_Framework_SelectBestEncoding(), 0);
  modem->setObject(Value::Set({Value("GSM")}), "CSCS");
  platform::CurrentThreadContext().dictionary.set("QPX Current Modem", Value::Object(modem));
  EXPECT_EQ(QPX_Framework_SelectBestEncoding(), 2);

  modem->setObject(Value("UCS2"), "CSCS");
  EXPECT_THROW(QPX_Framework_SelectBestEncoding(modem), platform::AssertionFailure);
}

TEST_F(GsmStorageTest, ValidityPeriodPreference) {
  EXPECT_EQ(QPX_Framework_GetValidityPeriodPreference(), -1);
  QPX_Framework_Preferences->setInteger(167, QPX_Framework_Preferences_SMS_ValidityPeriod);
  EXPECT_EQ(QPX_Framework_GetValidityPeriodPreference(), 167);
  QPX_Framework_Preferences->setInteger(0, QPX_Framework_Preferences_SMS_ValidityPeriod);
  EXPECT_EQ(QPX_Framework_GetValidityPeriodPreference(), 0);
  QPX_Framework_Preferences->setInteger(256, QPX_Framework_Preferences_SMS_ValidityPeriod);
  EXPECT_EQ(QPX_Framework_GetValidityPeriodPreference(), -1);
  QPX_Framework_Preferences->setInteger(-3, QPX_Framework_Preferences_SMS_ValidityPeriod);
  EXPECT_EQ(QPX_Framework_GetValidityPeriodPreference(), -1);
  QPX_Framework_Preferences->setObject(Value("167"), QPX_Framework_Preferences_SMS_ValidityPeriod);
  EXPECT_EQ(QPX_Framework_GetValidityPeriodPreference(), -1);
}

std::string g_lastCommand;
bool RecordingRunner(const char* command) {
  g_lastCommand = command;
  return g_lastCommand.find("UCS2") != std::string::npos;
}

TEST(GsmCharacterSet, SetEncodingSendsTheCommand) {
  EXPECT_EQ(QPX_Framework_Encoding_String(1), "IRA");
  EXPECT_EQ(QPX_Framework_Encoding_String(4), "UCS2_0X81");
  EXPECT_THROW(QPX_Framework_Encoding_String(0), platform::AssertionFailure);

  EXPECT_FALSE(QPX_Framework_Modem_SetEncoding(3));  // no runner installed
  QPX_Framework_Modem_SetEncoding_Runner = &RecordingRunner;
  EXPECT_TRUE(QPX_Framework_Modem_SetEncoding(3));
  EXPECT_EQ(g_lastCommand, "AT+CSCS=\"UCS2\"");
  EXPECT_FALSE(QPX_Framework_Modem_SetEncoding(2));
  EXPECT_EQ(g_lastCommand, "AT+CSCS=\"GSM\"");
  EXPECT_THROW(QPX_Framework_Modem_SetEncoding(5), platform::AssertionFailure);
  QPX_Framework_Modem_SetEncoding_Runner = nullptr;
}

}  // namespace
