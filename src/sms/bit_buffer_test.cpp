#include "sms/bit_buffer.h"

#include <gtest/gtest.h>

#include "framework/util/gsm.h"
#include "platform/assert.h"

// Failures show records in their readable form.
namespace platform {
static void PrintTo(const Value& value, std::ostream* os) { *os << value.Description(); }
}  // namespace platform

namespace {

using Buffer = QPX_Framework_SMS_BitBuffer;

QPX_Framework_SMS_BitBufferPtr FromHex(std::string_view hex) {
  return Buffer::QPX_Framework_SMS_BitBuffer_InitWithString(hex);
}

TEST(BitBuffer, InitWithString) {
  const auto buffer = FromHex("0aFf10");
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->BitCount(), 24u);
  EXPECT_EQ(buffer->BitIndex(), 0u);
  EXPECT_EQ(buffer->Octets(), (Value::Bytes{0x0A, 0xFF, 0x10}));
  EXPECT_EQ(FromHex("abc"), nullptr);
  EXPECT_EQ(FromHex("0g"), nullptr);
  EXPECT_EQ(FromHex(" 0"), nullptr);
  ASSERT_NE(FromHex(""), nullptr);
  EXPECT_EQ(FromHex("")->BitCount(), 0u);
}

TEST(BitBuffer, BitOrderIsLeastSignificantFirst) {
  const auto buffer = FromHex("A5C3");
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(4), 0x5u);  // low nibble first
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(4), 0xAu);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(2), 0x3u);  // as TP-MTI is read
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(6), 0x30u);
  buffer->SetBitIndex(4);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(8), 0x3Au);  // straddles two octets
  buffer->SetBitIndex(0);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(16), 0xC3A5u);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(0), 0u);
  EXPECT_FALSE(buffer->Overrun());
}

TEST(BitBuffer, ReadPastTheEndGivesZerosAndMarksOverrun) {
  const auto buffer = FromHex("FF");
  buffer->SetBitIndex(4);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(8), 0x0Fu);
  EXPECT_TRUE(buffer->Overrun());
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(32), 0u);
  EXPECT_EQ(buffer->BitsLeft(), 0u);
  EXPECT_THROW(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(33), platform::AssertionFailure);
}

TEST(BitBuffer, WriteThenReadSeptets) {
  const auto buffer = Buffer::QPX_Framework_SMS_BitBuffer_InitWithSize(1);
  EXPECT_EQ(buffer->BufferSize(), 8u);
  // "hellohello" packs to E8329BFD4697D9EC37 (TS 23.038 packing).
  for (char c : std::string("hellohello"))
    buffer->QPX_Framework_SMS_BitBuffer_WriteBits(7, static_cast<std::uint32_t>(c));
  EXPECT_EQ(buffer->BitCount(), 70u);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_Fill(8), 2u);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_Fill(8), 0u);
  EXPECT_EQ(buffer->Octets(), FromHex("E8329BFD4697D9EC37")->Octets());
  buffer->SetBitIndex(0);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_DecodeString(QPX_Framework_Alphabet_GSM, 70).string(),
            "hellohello");

  // Writing over old bits replaces them; BitCount stays where it was.
  buffer->SetBitIndex(0);
  buffer->QPX_Framework_SMS_BitBuffer_WriteBits(7, 'H');
  EXPECT_EQ(buffer->BitCount(), 72u);
  buffer->SetBitIndex(0);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadBits(7), static_cast<std::uint32_t>('H'));

  buffer->QPX_Framework_SMS_BitBuffer_Clear();
  EXPECT_EQ(buffer->BitCount(), 0u);
  EXPECT_EQ(buffer->BitIndex(), 0u);
  EXPECT_EQ(buffer->Octets(), Value::Bytes{});
  EXPECT_THROW(Buffer::QPX_Framework_SMS_BitBuffer_InitWithSize(0), platform::AssertionFailure);
}

TEST(BitBuffer, ReadOctets) {
  const auto buffer = FromHex("010203");
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadOctets(2), Value::Data(Value::Bytes{1, 2}));
  EXPECT_TRUE(buffer->QPX_Framework_SMS_BitBuffer_ReadOctets(2).isNull());
  EXPECT_EQ(buffer->BitIndex(), 16u);  // not moved by the failed read
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_ReadOctets(0), Value::Data(Value::Bytes{}));
  buffer->SetBitIndex(3);
  EXPECT_THROW(buffer->QPX_Framework_SMS_BitBuffer_ReadOctets(1), platform::AssertionFailure);
}

TEST(BitBuffer, AppendCopiesFromTheSourceCursorAndGrows) {
  const auto source = FromHex("FFA5C3");
  source->SetBitIndex(8);
  const auto target = Buffer::QPX_Framework_SMS_BitBuffer_InitWithSize(4);
  target->QPX_Framework_SMS_BitBuffer_WriteBits(4, 0x9);
  target->QPX_Framework_SMS_BitBuffer_Append(*source, 16);
  EXPECT_EQ(source->BitIndex(), 24u);
  EXPECT_EQ(target->BitCount(), 20u);
  EXPECT_GE(target->BufferSize(), 24u);
  EXPECT_EQ(target->Octets(), (Value::Bytes{0x59, 0x3A, 0x0C}));
  // Bits the source lacks arrive as zeros.
  target->QPX_Framework_SMS_BitBuffer_Append(*source, 40);
  EXPECT_EQ(target->BitCount(), 60u);
}

TEST(BitBuffer, FillToOtherMultiples) {
  const auto buffer = Buffer::QPX_Framework_SMS_BitBuffer_InitWithSize(8);
  buffer->QPX_Framework_SMS_BitBuffer_WriteBits(3, 0x7);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_Fill(7), 4u);
  EXPECT_EQ(buffer->BitIndex(), 7u);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_Fill(1), 0u);
  EXPECT_EQ(buffer->QPX_Framework_SMS_BitBuffer_Fill(64), 57u);
  EXPECT_THROW(buffer->QPX_Framework_SMS_BitBuffer_Fill(0), platform::AssertionFailure);
}

TEST(BitBuffer, DecodeStringAlphabets) {
  // UCS2 is big-endian on the air; a surrogate pair comes out as one character, a lone one
  // as U+FFFD; odd bits at the end are consumed.
  auto ucs2 = FromHex("0041041FD83DDE00D800FF");
  EXPECT_EQ(ucs2->QPX_Framework_SMS_BitBuffer_DecodeString(QPX_Framework_Alphabet_UCS2, 88).string(),
            "A\xD0\x9F\xF0\x9F\x98\x80\xEF\xBF\xBD");
  EXPECT_EQ(ucs2->BitIndex(), 88u);
  // 8-bit data is no text.
  auto data = FromHex("4142");
  EXPECT_EQ(data->QPX_Framework_SMS_BitBuffer_DecodeString(QPX_Framework_Alphabet_8Bit, 16).string(),
            "\xEF\xBF\xBD\xEF\xBF\xBD");
  // More bits than the buffer holds: only what is there.
  auto gsm = FromHex("C834");
  EXPECT_EQ(gsm->QPX_Framework_SMS_BitBuffer_DecodeString(QPX_Framework_Alphabet_GSM, 1000).string(), "Hi");
  EXPECT_FALSE(gsm->Overrun());
}

TEST(BitBuffer, DecodePayloadNeedsWholeCharacters) {
  EXPECT_TRUE(FromHex("C834")->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(0, 15).isNull());
  EXPECT_EQ(FromHex("C834")->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(0, 14), Value("Hi"));
  EXPECT_TRUE(FromHex("004100")->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(2, 24).isNull());
  EXPECT_TRUE(FromHex("0041")->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(1, 12).isNull());
  EXPECT_TRUE(FromHex("0041")->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(3, 16).isNull());
  EXPECT_TRUE(FromHex("0041")->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(1, 24).isNull());
  // 8-bit data read off an octet boundary.
  auto shifted = FromHex("F00F");
  shifted->SetBitIndex(4);
  EXPECT_EQ(shifted->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(1, 8),
            Value::Data(Value::Bytes{0xFF}));
}

TEST(BitBuffer, Addresses) {
  struct Case {
    const char* name;
    const char* hex;
    bool serviceCenter;
    std::optional<Value> expected;
  };
  auto address = [](const char* number, int ton, int npi) {
    return Value({{"Number", Value(number)},
                  {"Type-of-number", Value(ton)},
                  {"Numbering-plan-identification", Value(npi)}});
  };
  const Case cases[] = {
      {"international-odd-filler", "05912143F5", false, address("+12345", 1, 1)},
      {"unknown-type", "05812143F5", false, address("12345", 0, 1)},
      {"national", "04A12143", false, address("1234", 2, 1)},
      {"network-specific", "04B92143", false, address("1234", 3, 9)},
      {"subscriber", "04C82143", false, address("1234", 4, 8)},
      {"abbreviated", "04E12143", false, address("1234", 6, 1)},
      {"star-hash-abc", "068121BADC", false, address("12*#ab", 0, 1)},
      {"filler-inside-adds-nothing", "048121F3", false, address("123", 0, 1)},
      {"service-center", "07917283010010F5", true, address("+27381000015", 1, 1)},
      {"service-center-empty", "00", true, Value::EmptyDictionary()},
      {"service-center-type-only", "0181", true, address("", 0, 1)},
      {"alphanumeric-14", "0ED04F78591EA6BFE5", false, address("Operator", 5, 0)},
      {"alphanumeric-odd-length", "05D0C8340E", false, address("Hi", 5, 0)},
      {"ton-7", "04F12143", false, Value::EmptyDictionary()},
      {"digits-past-end", "0B912143", false, std::nullopt},
      {"service-center-past-end", "0C9172", true, std::nullopt},
      {"no-extension-bit", "05112143F5", false, std::nullopt},
      {"nothing", "", false, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto buffer = FromHex(c.hex);
    const std::optional<Value> got = buffer->QPX_Framework_SMS_BitBuffer_ReadAddress(c.serviceCenter);
    EXPECT_EQ(got, c.expected) << c.name;
    // A successful read uses exactly the address octets.
    if (got) {
      EXPECT_EQ(buffer->BitIndex(), buffer->BitCount()) << c.name;
    }
  }
}

TEST(BitBuffer, TimeStamps) {
  // 2012-02-13 12:34:56 at -07:00 is 19:34:56 UTC.
  EXPECT_EQ(FromHex("2120312143658A")->QPX_Framework_SMS_BitBuffer_ReadTimestamp(),
            Value::DateFromUnix(1329161696));
  // +05:45 (23 quarters).
  EXPECT_EQ(FromHex("21203121436532")->QPX_Framework_SMS_BitBuffer_ReadTimestamp(),
            Value::DateFromUnix(1329136496 - 23 * 900));
  // A leap second is accepted.
  EXPECT_EQ(FromHex("21203121430600")->QPX_Framework_SMS_BitBuffer_ReadTimestamp(),
            Value::DateFromUnix(1329136500));
  for (const char* bad :
       {"21312121436500", "21203142436500", "21200021436500", "21203121436600", "212031214365"})
    EXPECT_TRUE(FromHex(bad)->QPX_Framework_SMS_BitBuffer_ReadTimestamp().isNull()) << bad;
}

TEST(BitBuffer, UserDataHeader) {
  const auto buffer = FromHex(
      "0C0003FF0301"
      "0504158A0000"
      "0100");
  const Value header = buffer->QPX_Framework_SMS_BitBuffer_ReadUserdataHeader();
  EXPECT_EQ(buffer->BitIndex(), 13u * 8);
  EXPECT_EQ(header.get("UDH Length"), Value(12));
  EXPECT_EQ(header.get("00").get("Reference Number"), Value(255));
  EXPECT_EQ(header.get("00").get("Max Segments"), Value(3));
  EXPECT_EQ(header.get("00").get("Current Segment"), Value(1));
  EXPECT_EQ(header.get("05").get("UDH Data"), Value::Data(Value::Bytes{0x15, 0x8A, 0x00, 0x00}));
  EXPECT_EQ(header.get("05").get("UDH Identifier"), Value(5));
  EXPECT_EQ(header.get("05").get("UDH Length"), Value(4));

  // Concatenation elements with bad counters or the wrong size are not kept.
  for (const char* bad : {"0500032A0000", "0500032A0001", "0500032A0203", "0600042A020101", "0400022A02"}) {
    const auto b = FromHex(bad);
    EXPECT_FALSE(b->QPX_Framework_SMS_BitBuffer_ReadUserdataHeader().contains("00")) << bad;
  }
  // A header said to run past the buffer stops at its end.
  const auto cut = FromHex("0A0003");
  EXPECT_EQ(cut->QPX_Framework_SMS_BitBuffer_ReadUserdataHeader().size(), 1u);
  EXPECT_EQ(cut->BitIndex(), 24u);
}

}  // namespace
