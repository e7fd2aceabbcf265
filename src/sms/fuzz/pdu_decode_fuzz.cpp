// libFuzzer target: arbitrary bytes as a received PDU, as hexadecimal PDU text (the way a
// modem reports it), and through the bit buffer's own readers. Every input must decode or
// yield null; an assertion counts as a crash (the handler aborts), as does any sanitizer
// report.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/assert.h"
#include "sms/bit_buffer.h"
#include "sms/pdu_decode.h"

namespace {

void AbortingHandler(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = [] {
    platform::SetAssertionHandler(&AbortingHandler);
    return true;
  }();
  (void)installed;

  QPX_Framework_SMS_Decode(data, size);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const QPX_Framework_SMS_BitBufferPtr hex =
          QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithString(text))
    hex->QPX_Framework_SMS_BitBuffer_DecodeSMS();

  if (size >= 2) {
    // The first octet picks a reader, the rest is its input.
    const auto buffer =
        QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithBytes(data + 1, size - 1);
    const unsigned selector = data[0];
    switch (selector % 6) {
      case 0:
        buffer->QPX_Framework_SMS_BitBuffer_ReadAddress((selector & 0x80) != 0);
        break;
      case 1:
        buffer->QPX_Framework_SMS_BitBuffer_ReadTimestamp();
        break;
      case 2:
        buffer->QPX_Framework_SMS_BitBuffer_ReadUserdataHeader();
        break;
      case 3:
        buffer->QPX_Framework_SMS_BitBuffer_DecodeString(static_cast<int>((selector >> 3) % 3),
                                                         8 * (selector >> 2));
        break;
      case 4:
        buffer->QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(
            static_cast<int>((selector >> 3) % 5) - 1, 8 * (selector >> 2));
        break;
      default: {
        const auto copy = QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithSize(1);
        buffer->SetBitIndex(selector >> 3);
        copy->QPX_Framework_SMS_BitBuffer_Append(*buffer, 8 * static_cast<std::uint32_t>(size));
        copy->QPX_Framework_SMS_BitBuffer_Fill(1 + selector % 13);
        break;
      }
    }
  }
  return 0;
}
