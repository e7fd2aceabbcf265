#pragma once
// The bit buffer the SMS codec reads and writes PDUs with, and the readers of the SMS fields
// built on it (addresses, time stamps, the user-data header, user data, whole PDUs).
//
// Bit order: stream bit i is bit (i mod 8) of octet i/8, least significant bit first, and an
// n-bit value is read or written least significant bit first. So the 8-bit read of an aligned
// octet gives the octet, two 4-bit reads give its low and then its high nibble (the order of
// semi-octet digits), and GSM septets pack exactly as TS 23.038 packs them.
//
// PDUs come from the network: every reader checks that the bits it needs are there, and a
// read past the valid bits never touches memory outside the buffer (it reads zeros and marks
// the buffer as overrun). A buffer travels inside records as a Value object (the user-data
// bits of a part of a concatenated message), so it is a ValueObject; one buffer is used by
// one thread at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

class QPX_Framework_SMS_BitBuffer;
using QPX_Framework_SMS_BitBufferPtr = std::shared_ptr<QPX_Framework_SMS_BitBuffer>;

class QPX_Framework_SMS_BitBuffer final : public platform::ValueObject {
 public:
  struct PrivateTag {
    explicit PrivateTag() = default;
  };
  QPX_Framework_SMS_BitBuffer(PrivateTag, std::vector<std::uint8_t> data, std::uint32_t bitCount);

  // An empty buffer with room for `bits` (more than 0; rounded up to whole octets).
  static QPX_Framework_SMS_BitBufferPtr QPX_Framework_SMS_BitBuffer_InitWithSize(std::uint32_t bits);
  // A buffer holding the octets, cursor at 0. More than 512 MiB is a programming error.
  static QPX_Framework_SMS_BitBufferPtr QPX_Framework_SMS_BitBuffer_InitWithBytes(const std::uint8_t* bytes,
                                                                                  std::size_t count);
  // Two hexadecimal digits per octet, high nibble first, either case; null for an odd length
  // or any other character.
  static QPX_Framework_SMS_BitBufferPtr QPX_Framework_SMS_BitBuffer_InitWithString(std::string_view hex);

  // --- State ---
  std::uint32_t BitCount() const { return bitCount_; }
  std::uint32_t BitIndex() const { return bitIndex_; }
  // Moves the cursor; beyond BitCount reads give zeros (and mark an overrun).
  void SetBitIndex(std::uint32_t index) { bitIndex_ = index; }
  std::uint32_t BufferSize() const { return static_cast<std::uint32_t>(data_.size() * 8); }
  const std::vector<std::uint8_t>& BitData() const { return data_; }
  // Valid bits after the cursor (0 when the cursor is at or past BitCount).
  std::uint32_t BitsLeft() const { return bitIndex_ < bitCount_ ? bitCount_ - bitIndex_ : 0; }
  // True once a read wanted bits past BitCount.
  bool Overrun() const { return overrun_; }
  // The first BitCount bits as octets (a last partial octet zero-filled).
  Value::Bytes Octets() const;

  // --- Raw bits ---
  // n (0 to 32) bits as an unsigned value; the cursor moves by n.
  std::uint32_t QPX_Framework_SMS_BitBuffer_ReadBits(unsigned n);
  // Writes the n (0 to 32) low bits of the value at the cursor, growing the buffer when
  // needed; BitCount follows the cursor when the cursor passes it.
  void QPX_Framework_SMS_BitBuffer_WriteBits(unsigned n, std::uint32_t value);
  // n octets as data, or null without moving when fewer than 8n bits are left. The cursor
  // must be on an octet boundary (programming error otherwise).
  Value QPX_Framework_SMS_BitBuffer_ReadOctets(std::uint32_t n);
  // Copies n bits from the source's cursor (moving it) to this buffer's cursor; bits the
  // source lacks arrive as zeros.
  void QPX_Framework_SMS_BitBuffer_Append(QPX_Framework_SMS_BitBuffer& source, std::uint32_t n);
  // Writes zero bits up to the next multiple of m (more than 0); answers how many (0 to m-1).
  unsigned QPX_Framework_SMS_BitBuffer_Fill(unsigned m);
  // BitCount and cursor to 0 (capacity kept); clears the overrun mark.
  void QPX_Framework_SMS_BitBuffer_Clear();

  // --- SMS fields (all start on an octet boundary) ---
  // One TP address: {"Number", "Type-of-number", "Numbering-plan-identification"}, an empty
  // dictionary for the service-centre length 0 or a number that cannot be formed (type of
  // number 7). Nullopt when the PDU is malformed: the field runs past the end, or the
  // type-of-address octet lacks its extension bit.
  std::optional<Value> QPX_Framework_SMS_BitBuffer_ReadAddress(bool serviceCenter);
  // One address character of "0123456789*#abc" for the next semi-octet, or 0 for the filler.
  char GetAddressDigit();
  // `count` semi-octets as decimal digits, first most significant; a semi-octet above 9 counts
  // as 0. Signed: bit 3 of the first semi-octet is the sign, its low 3 bits the digit.
  int ReadDigitValue(unsigned count, bool isSigned);
  // The service-centre time stamp as a date; null for a field out of range or past the end.
  Value QPX_Framework_SMS_BitBuffer_ReadTimestamp();
  // The user-data header {"UDH Length", "%02x": element...}. The cursor ends just after the
  // header (UDHL + 1 octets on), also when elements overrun it ("Invalid TP-User Data" is
  // logged and the overrunning element dropped). A header said to run past the buffer ends
  // at the buffer's end, logged the same way; the PDU decoder refuses such PDUs before.
  Value QPX_Framework_SMS_BitBuffer_ReadUserdataHeader();
  // The element filter for IEI 00 (concatenation, 8-bit reference): keeps the element only
  // with 3 data octets and counters 1 <= current <= max, and adds "Reference Number",
  // "Max Segments" and "Current Segment".
  static bool QPX_Framework_SMS_BitBuffer_UDH_Decode_00(Value& element);

  // --- User data ---
  // Alphabet 1: the octets as data; 0 and 2: the text. Null when the bits are not a whole
  // number of characters or the alphabet is another.
  Value QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(int alphabet, std::uint32_t bits);
  // The text of `bits` bits (at most those left) in the alphabet (0, 1 or 2); bits short of a
  // whole character are consumed. UCS2 is big-endian on the air; surrogate pairs come out as
  // one character, lone surrogates as U+FFFD. A GSM text that ends in a lone escape drops it.
  Value QPX_Framework_SMS_BitBuffer_DecodeString(int alphabet, std::uint32_t bits);

  // --- Whole PDUs ---
  // Service-centre address, then an SMS-DELIVER or SMS-STATUS-REPORT; null for anything else
  // or anything malformed, never a partial dictionary.
  Value QPX_Framework_SMS_BitBuffer_DecodeSMS();
  bool QPX_Framework_SMS_BitBuffer_DecodeSMS_Deliver(Value& decoded);
  bool QPX_Framework_SMS_BitBuffer_DecodeSMS_StatusReport(Value& decoded);

  std::string Description() const override;

 private:
  void Reserve(std::uint64_t bits);
  bool Aligned() const { return bitIndex_ % 8 == 0; }
  bool Has(std::uint64_t bits) const { return BitsLeft() >= bits; }

  std::vector<std::uint8_t> data_;
  std::uint32_t bitCount_ = 0;
  std::uint32_t bitIndex_ = 0;
  bool overrun_ = false;
};
