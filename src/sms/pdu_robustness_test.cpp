// PDUs come from the network: random, truncated and mutated input must decode or yield null,
// never crash and never end in an assertion (the test main turns assertions into exceptions).
// The sequence is fixed by its seed so a failure repeats.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "framework/util/gsm.h"
#include "framework/util/misc.h"
#include "sms/bit_buffer.h"
#include "sms/pdu_decode.h"
#include "sms/pdu_encode.h"

namespace {

const char* const kSeeds[] = {
    "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37",
    "0791448720003023240DD0E474D81C0EBB010000111011315214000BE474D81C0EBB5DE3771B",
    "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07",
    "004405912143F5000021203121436500120500032A0201906536FB0DBABFE56C32",
    "004405912143F500082120312143650012050003070303041F04400438043204350442",
    "004405912143F50000212031214365001006080412340201F0B09C0E7ABBCB",
    "004405912143F5000021203121436500080400032A02BCD7",
    "000405912143F500002120312143650006E14D59BCE101",
    "000405912143F5000421203121436500030102FF",
    "00040ED04F78591EA6BFE500002120312143650002C834",
    "0791447758100650062A0C914477112233442120312143658A2120312153658A00",
};

Value::Bytes Bytes(const char* hex) {
  return QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithString(hex)->Octets();
}

// Checks the shape of what the decoder answers: null, or a dictionary whose fields have the
// documented kinds.
void CheckDecoded(const Value& decoded) {
  if (decoded.isNull()) return;
  ASSERT_TRUE(decoded.isDictionary());
  ASSERT_TRUE(decoded.get("Service Center").isDictionary());
  ASSERT_TRUE(decoded.get("TP-SCTS").isDate());
  if (decoded.contains("TP-ST")) {
    ASSERT_TRUE(decoded.get("TP-MR").isNumber());
    ASSERT_TRUE(decoded.get("TP-DT").isDate());
    return;
  }
  ASSERT_TRUE(decoded.get("TP-OA").isDictionary());
  const int dcs = decoded.get("TP-DCS").toInt(-1);
  ASSERT_GE(dcs, 0);
  ASSERT_LE(dcs, 255);
  const Value userData = decoded.get("TP-UD");
  if (!userData.isNull()) {
    ASSERT_TRUE(userData.isString() || userData.isData());
    if (userData.isString()) {
      ASSERT_TRUE(QPX_Framework_IsValidUTF8(userData.string()));
    }
  }
  if (decoded.contains("TP-UD (Bits)")) {
    ASSERT_NE(decoded.get("TP-UD (Bits)").objectAs<QPX_Framework_SMS_BitBuffer>(), nullptr);
  }
}

TEST(PduRobustness, RandomTruncatedAndMutatedPdus) {
  std::mt19937 random(20240611);
  auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  std::vector<Value::Bytes> seeds;
  for (const char* hex : kSeeds) seeds.push_back(Bytes(hex));

  int decoded = 0;
  for (int round = 0; round < 60000; ++round) {
    Value::Bytes pdu;
    switch (round % 4) {
      case 0: {  // random bytes
        pdu.resize(below(200));
        for (auto& b : pdu) b = static_cast<std::uint8_t>(below(256));
        break;
      }
      case 1: {  // a truncated seed
        const Value::Bytes& seed = seeds[below(seeds.size())];
        pdu.assign(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(below(seed.size() + 1)));
        break;
      }
      default: {  // a seed with a few bits flipped, octets replaced, inserted or removed
        pdu = seeds[below(seeds.size())];
        const std::size_t edits = 1 + below(4);
        for (std::size_t e = 0; e < edits && !pdu.empty(); ++e) {
          const std::size_t at = below(pdu.size());
          switch (below(4)) {
            case 0:
              pdu[at] ^= static_cast<std::uint8_t>(1u << below(8));
              break;
            case 1:
              pdu[at] = static_cast<std::uint8_t>(below(256));
              break;
            case 2:
              pdu.insert(pdu.begin() + static_cast<std::ptrdiff_t>(at),
                         static_cast<std::uint8_t>(below(256)));
              break;
            default:
              pdu.erase(pdu.begin() + static_cast<std::ptrdiff_t>(at));
              break;
          }
        }
        break;
      }
    }
    Value result;
    ASSERT_NO_THROW(result = QPX_Framework_SMS_Decode(pdu.data(), pdu.size())) << "round " << round;
    ASSERT_NO_FATAL_FAILURE(CheckDecoded(result)) << "round " << round;
    if (!result.isNull()) ++decoded;
  }
  // The mutations must leave plenty of decodable PDUs, or the decoder paths went untested.
  EXPECT_GT(decoded, 5000);
}

TEST(PduRobustness, BitBufferReadersOnRandomBytes) {
  std::mt19937 random(7);
  auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  for (int round = 0; round < 20000; ++round) {
    Value::Bytes bytes(below(40));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(below(256));
    const auto buffer =
        QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithBytes(bytes.data(), bytes.size());
    ASSERT_NO_THROW({
      switch (round % 5) {
        case 0:
          buffer->QPX_Framework_SMS_BitBuffer_ReadAddress(round % 2 == 0);
          break;
        case 1:
          buffer->QPX_Framework_SMS_BitBuffer_ReadTimestamp();
          break;
        case 2:
          buffer->QPX_Framework_SMS_BitBuffer_ReadUserdataHeader();
          break;
        case 3:
          buffer->QPX_Framework_SMS_BitBuffer_DecodeString(static_cast<int>(below(3)),
                                                           static_cast<std::uint32_t>(below(400)));
          break;
        default:
          buffer->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(
              static_cast<int>(below(5)) - 1, static_cast<std::uint32_t>(below(400)));
          break;
      }
    }) << "round "
       << round;
  }
}

// Text typed by users is no more trusted than PDUs: any bytes give an answer.
TEST(PduRobustness, EncodeInfoOnRandomText) {
  std::mt19937 random(99);
  auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  const char* const pieces[] = {"a",
                                "\xE2\x82\xAC",
                                "\xD0\x9F",
                                "\xF0\x9F\x98\x80",
                                "\xEF\xAC\x81",
                                "\xCC\x81",
                                "\xFF",
                                "\xED\xA0\x80",
                                "\x1B",
                                "`",
                                "\n",
                                "{"};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const std::size_t count = below(400);
    for (std::size_t i = 0; i < count; ++i) text += pieces[below(std::size(pieces))];
    QPX_Framework_SMS_EncodeInfo info;
    ASSERT_NO_THROW(QPX_Framework_SMS_GetEncodeInfo(Value({{"TP-UD", Value(text)}}), info)) << round;
  }
}

}  // namespace
