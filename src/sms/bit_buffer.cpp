// The raw-bit half of the bit buffer; the SMS field readers are in pdu_decode.cpp.

#include "sms/bit_buffer.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "framework/core/log.h"

namespace {

constexpr std::uint64_t kMaxBits = std::numeric_limits<std::uint32_t>::max() - 7;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer(PrivateTag, std::vector<std::uint8_t> data,
                                                         std::uint32_t bitCount)
    : data_(std::move(data)), bitCount_(bitCount) {}

QPX_Framework_SMS_BitBufferPtr QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithSize(
    std::uint32_t bits) {
  QPX_Assert(bits > 0 && bits <= kMaxBits);
  return std::make_shared<QPX_Framework_SMS_BitBuffer>(PrivateTag(),
                                                       std::vector<std::uint8_t>((bits + 7) / 8), 0);
}

QPX_Framework_SMS_BitBufferPtr QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithBytes(
    const std::uint8_t* bytes, std::size_t count) {
  QPX_Assert(bytes != nullptr || count == 0);
  QPX_Assert(count <= kMaxBits / 8);
  return std::make_shared<QPX_Framework_SMS_BitBuffer>(
      PrivateTag(), std::vector<std::uint8_t>(bytes, bytes + count), static_cast<std::uint32_t>(count * 8));
}

QPX_Framework_SMS_BitBufferPtr QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithString(
    std::string_view hex) {
  if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxBits / 8) return nullptr;
  std::vector<std::uint8_t> bytes(hex.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit(hex[2 * i]);
    const int low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return nullptr;
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  const auto bits = static_cast<std::uint32_t>(bytes.size() * 8);
  return std::make_shared<QPX_Framework_SMS_BitBuffer>(PrivateTag(), std::move(bytes), bits);
}

Value::Bytes QPX_Framework_SMS_BitBuffer::Octets() const {
  Value::Bytes out(data_.begin(), data_.begin() + (bitCount_ + 7) / 8);
  if (const unsigned tail = bitCount_ % 8; tail != 0)
    out.back() &= static_cast<std::uint8_t>((1u << tail) - 1);
  return out;
}

std::uint32_t QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_ReadBits(unsigned n) {
  QPX_Assert(n <= 32);
  const std::uint32_t available = std::min<std::uint32_t>(n, BitsLeft());
  if (available < n) overrun_ = true;
  std::uint64_t value = 0;
  unsigned got = 0;
  std::uint32_t index = bitIndex_;
  while (got < available) {
    const unsigned shift = index % 8;
    const unsigned take = std::min<unsigned>(8 - shift, available - got);
    const std::uint64_t bits = (data_[index / 8] >> shift) & ((1u << take) - 1);
    value |= bits << got;
    got += take;
    index += take;
  }
  bitIndex_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{bitIndex_} + n, kMaxBits));
  return static_cast<std::uint32_t>(value);
}

void QPX_Framework_SMS_BitBuffer::Reserve(std::uint64_t bits) {
  QPX_Assert(bits <= kMaxBits);
  const std::size_t octets = static_cast<std::size_t>((bits + 7) / 8);
  if (octets > data_.size()) data_.resize(std::max(octets, data_.size() + data_.size() / 2));
}

void QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_WriteBits(unsigned n, std::uint32_t value) {
  QPX_Assert(n <= 32);
  Reserve(std::uint64_t{bitIndex_} + n);
  unsigned done = 0;
  while (done < n) {
    const unsigned shift = bitIndex_ % 8;
    const unsigned take = std::min<unsigned>(8 - shift, n - done);
    const unsigned mask = ((1u << take) - 1) << shift;
    const unsigned bits = static_cast<unsigned>((std::uint64_t{value} >> done) << shift) & mask;
    std::uint8_t& octet = data_[bitIndex_ / 8];
    octet = static_cast<std::uint8_t>((octet & ~mask) | bits);
    done += take;
    bitIndex_ += take;
  }
  bitCount_ = std::max(bitCount_, bitIndex_);
}

Value QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_ReadOctets(std::uint32_t n) {
  QPX_Assert(Aligned());
  if (!Has(std::uint64_t{n} * 8)) return Value();
  const std::size_t first = bitIndex_ / 8;
  Value::Bytes bytes(data_.begin() + static_cast<std::ptrdiff_t>(first),
                     data_.begin() + static_cast<std::ptrdiff_t>(first + n));
  bitIndex_ += n * 8;
  return Value::Data(std::move(bytes));
}

void QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_Append(QPX_Framework_SMS_BitBuffer& source,
                                                                     std::uint32_t n) {
  Reserve(std::max(std::uint64_t{bitCount_} + n, std::uint64_t{bitIndex_} + n));
  while (n > 0) {
    const unsigned chunk = std::min<std::uint32_t>(n, 32);
    QPX_Framework_SMS_BitBuffer_WriteBits(chunk, source.QPX_Framework_SMS_BitBuffer_ReadBits(chunk));
    n -= chunk;
  }
}

unsigned QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_Fill(unsigned m) {
  QPX_Assert(m > 0);
  const unsigned count = (m - bitIndex_ % m) % m;
  for (unsigned left = count; left > 0;) {
    const unsigned chunk = std::min(left, 32u);
    QPX_Framework_SMS_BitBuffer_WriteBits(chunk, 0);
    left -= chunk;
  }
  return count;
}

void QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_Clear() {
  bitCount_ = 0;
  bitIndex_ = 0;
  overrun_ = false;
}

std::string QPX_Framework_SMS_BitBuffer::Description() const {
  std::string out = "<BitBuffer " + std::to_string(bitIndex_) + "/" + std::to_string(bitCount_) + " ";
  char hex[3];
  for (std::uint8_t b : Octets()) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    out += hex;
  }
  return out + ">";
}
