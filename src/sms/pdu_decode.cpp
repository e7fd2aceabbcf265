// The SMS field readers of the bit buffer and the PDU decoder. Every reader first checks
// that the bits it needs are there, whatever the length octets claim, so a truncated or
// lying PDU ends in null rather than in a read past its end.

#include "sms/pdu_decode.h"

#include <algorithm>
#include <cstdio>

#include "framework/core/log.h"
#include "framework/util/gsm.h"

namespace {

constexpr char kAddressDigits[] = "0123456789*#abc";
// Far above any PDU a modem returns (at most 176 octets); refuses absurd inputs early.
constexpr std::size_t kMaxPDULength = 65536;

// Days from 1970-01-01 to the date; days past the end of a month run on into the next.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

std::string ElementKey(unsigned iei) {
  char key[3];
  std::snprintf(key, sizeof key, "%02x", iei & 0xFF);
  return key;
}

}  // namespace

// --- Addresses --------------------------------------------------------------------------------

char QPX_Framework_SMS_BitBuffer::GetAddressDigit() {
  const std::uint32_t value = QPX_Framework_SMS_BitBuffer_ReadBits(4);
  return value < 15 ? kAddressDigits[value] : '\0';
}

std::optional<Value> QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_ReadAddress(
    bool serviceCenter) {
  if (!Aligned() || !Has(8)) return std::nullopt;
  const std::uint32_t length = QPX_Framework_SMS_BitBuffer_ReadBits(8);
  if (serviceCenter && length == 0) return Value::EmptyDictionary();
  // The service centre counts octets (type octet included), every other address semi-octets
  // of digits after the type octet.
  const std::uint64_t fieldBits = serviceCenter ? 8ull * length : 8 + 8ull * ((length + 1) / 2);
  if (!Has(fieldBits)) return std::nullopt;

  const std::uint32_t plan = QPX_Framework_SMS_BitBuffer_ReadBits(4);
  const std::uint32_t type = QPX_Framework_SMS_BitBuffer_ReadBits(3);
  if (QPX_Framework_SMS_BitBuffer_ReadBits(1) != 1) return std::nullopt;
  const std::uint32_t valueBits = static_cast<std::uint32_t>(fieldBits - 8);

  std::string number;
  if (type == 5) {
    // Alphanumeric: GSM 7-bit text of the semi-octets the length gives (the service centre's
    // of its octets); what is left of the address octets is skipped.
    const std::uint32_t end = bitIndex_ + valueBits;
    const std::uint32_t textBits = serviceCenter ? valueBits : 4 * length;
    number = QPX_Framework_SMS_BitBuffer_DecodeString(QPX_Framework_Alphabet_GSM, textBits).string();
    bitIndex_ = end;
  } else {
    const std::uint32_t digits = serviceCenter ? 2 * (length - 1) : length;
    for (std::uint32_t i = 0; i < digits; ++i) {
      if (const char digit = GetAddressDigit()) number.push_back(digit);
    }
    // An odd digit count leaves the filler semi-octet of the last octet.
    if (!serviceCenter && length % 2 != 0) QPX_Framework_SMS_BitBuffer_ReadBits(4);
    if (type == 7) return Value::EmptyDictionary();
    if (type == 1) number.insert(number.begin(), '+');
  }
  Value address = Value::EmptyDictionary();
  address.set("Number", Value(std::move(number)));
  address.set("Type-of-number", Value(static_cast<int>(type)));
  address.set("Numbering-plan-identification", Value(static_cast<int>(plan)));
  return address;
}

// --- Time stamps ------------------------------------------------------------------------------

int QPX_Framework_SMS_BitBuffer::ReadDigitValue(unsigned count, bool isSigned) {
  int value = 0;
  bool negative = false;
  for (unsigned i = 0; i < count; ++i) {
    std::uint32_t digit = QPX_Framework_SMS_BitBuffer_ReadBits(4);
    if (i == 0 && isSigned) {
      negative = (digit & 0x8) != 0;
      digit &= 0x7;
    }
    if (digit > 9) digit = 0;
    value = value * 10 + static_cast<int>(digit);
  }
  return negative ? -value : value;
}

Value QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_ReadTimestamp() {
  if (!Aligned() || !Has(56)) return Value();
  int year = ReadDigitValue(2, false);
  year += year < 90 ? 2000 : 1900;
  struct Field {
    int low, high;
  };
  static constexpr Field kRanges[] = {{1, 12}, {1, 31}, {0, 23}, {0, 59}, {0, 60}};
  int fields[5];
  for (int i = 0; i < 5; ++i) {
    fields[i] = ReadDigitValue(2, false);
    if (fields[i] < kRanges[i].low || fields[i] > kRanges[i].high) return Value();
  }
  const int zoneQuarters = ReadDigitValue(2, true);
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(fields[0]), static_cast<unsigned>(fields[1]));
  const std::int64_t local = days * 86400 + fields[2] * 3600 + fields[3] * 60 + fields[4];
  return Value::DateFromUnix(static_cast<double>(local - std::int64_t{zoneQuarters} * 900));
}

// --- User-data header -------------------------------------------------------------------------

bool QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_UDH_Decode_00(Value& element) {
  const Value::Bytes& data = element.get("UDH Data").data();
  if (data.size() != 3) return false;
  const int reference = data[0], max = data[1], current = data[2];
  if (max == 0 || current == 0 || current > max) return false;
  element.set("Reference Number", Value(reference));
  element.set("Max Segments", Value(max));
  element.set("Current Segment", Value(current));
  return true;
}

Value QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_ReadUserdataHeader() {
  QPX_Assert(Aligned());
  const std::uint32_t length = QPX_Framework_SMS_BitBuffer_ReadBits(8);
  std::uint64_t headerEnd = std::uint64_t{bitIndex_} + 8ull * length;
  bool valid = true;
  if (headerEnd > bitCount_) {
    headerEnd = std::max(bitIndex_, bitCount_);
    valid = false;
  }
  Value header = Value::EmptyDictionary();
  header.set("UDH Length", Value(static_cast<int>(length)));
  while (bitIndex_ < headerEnd) {
    if (bitIndex_ + 16 > headerEnd) {
      valid = false;
      break;
    }
    const std::uint32_t identifier = QPX_Framework_SMS_BitBuffer_ReadBits(8);
    const std::uint32_t elementLength = QPX_Framework_SMS_BitBuffer_ReadBits(8);
    if (bitIndex_ + 8ull * elementLength > headerEnd) {
      valid = false;
      break;
    }
    Value element = Value::EmptyDictionary();
    element.set("UDH Identifier", Value(static_cast<int>(identifier)));
    element.set("UDH Length", Value(static_cast<int>(elementLength)));
    element.set("UDH Data", QPX_Framework_SMS_BitBuffer_ReadOctets(elementLength));
    // Elements this system understands are checked by their own filter; the others (16-bit
    // concatenation, ports, ...) are kept as raw data.
    const bool keep = identifier == 0x00 ? QPX_Framework_SMS_BitBuffer_UDH_Decode_00(element) : true;
    if (keep) header.set(ElementKey(identifier), element);
  }
  if (!valid) QPX_Log(QPX_LOG_ERROR, "Invalid TP-User Data");
  bitIndex_ = static_cast<std::uint32_t>(headerEnd);
  return header;
}

// --- User data --------------------------------------------------------------------------------

Value QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_DecodeString(int alphabet,
                                                                            std::uint32_t bits) {
  const auto size = static_cast<std::uint32_t>(QPX_Framework_Alphabet_CharSize(alphabet));
  bits = std::min(bits, BitsLeft());
  std::u16string text;
  text.reserve(bits / size);
  std::uint16_t units[2];
  unsigned count = 0;
  while (size <= bits) {
    std::uint16_t code;
    if (alphabet == QPX_Framework_Alphabet_UCS2) {
      const std::uint32_t high = QPX_Framework_SMS_BitBuffer_ReadBits(8);
      code = static_cast<std::uint16_t>(high << 8 | QPX_Framework_SMS_BitBuffer_ReadBits(8));
    } else {
      code = static_cast<std::uint16_t>(QPX_Framework_SMS_BitBuffer_ReadBits(size));
    }
    units[count++] = code;
    char16_t character;
    if (QPX_Framework_Alphabet_DecodeChar(alphabet, units, count, &character)) {
      text.push_back(character);
      count = 0;
    }
    bits -= size;
  }
  // Bits short of a whole character belong to the field; a lone escape at the end is
  // dropped (it introduced nothing).
  QPX_Framework_SMS_BitBuffer_ReadBits(bits);
  return Value(QPX_Framework_UTF16ToUTF8(text));
}

Value QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(int alphabet,
                                                                                         std::uint32_t bits) {
  if (!Has(bits)) return Value();
  switch (alphabet) {
    case QPX_Framework_Alphabet_8Bit: {
      if (bits % 8 != 0) return Value();
      if (Aligned()) return QPX_Framework_SMS_BitBuffer_ReadOctets(bits / 8);
      Value::Bytes bytes(bits / 8);
      for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(QPX_Framework_SMS_BitBuffer_ReadBits(8));
      return Value::Data(std::move(bytes));
    }
    case QPX_Framework_Alphabet_UCS2:
      if (bits % 16 != 0) return Value();
      return QPX_Framework_SMS_BitBuffer_DecodeString(alphabet, bits);
    case QPX_Framework_Alphabet_GSM:
      if (bits % 7 != 0) return Value();
      return QPX_Framework_SMS_BitBuffer_DecodeString(alphabet, bits);
    default:
      return Value();
  }
}

// --- PDUs -------------------------------------------------------------------------------------

Value QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_DecodeSMS() {
  if (bitCount_ == 0) return Value();
  Value decoded = Value::EmptyDictionary();
  std::optional<Value> serviceCenter = QPX_Framework_SMS_BitBuffer_ReadAddress(true);
  if (!serviceCenter) return Value();
  decoded.set("Service Center", *serviceCenter);
  if (!Has(8)) return Value();
  bool ok = false;
  switch (QPX_Framework_SMS_BitBuffer_ReadBits(2)) {
    case 0:
      ok = QPX_Framework_SMS_BitBuffer_DecodeSMS_Deliver(decoded);
      break;
    case 2:
      ok = QPX_Framework_SMS_BitBuffer_DecodeSMS_StatusReport(decoded);
      break;
    default:  // SMS-SUBMIT-REPORT, reserved
      break;
  }
  if (!ok || overrun_) return Value();
  return decoded;
}

bool QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_DecodeSMS_Deliver(Value& decoded) {
  QPX_Framework_SMS_BitBuffer_ReadBits(1);  // TP-MMS
  QPX_Framework_SMS_BitBuffer_ReadBits(2);  // TP-LP and a spare bit
  QPX_Framework_SMS_BitBuffer_ReadBits(1);  // TP-SRI
  const bool headerIndicator = QPX_Framework_SMS_BitBuffer_ReadBits(1) != 0;
  QPX_Framework_SMS_BitBuffer_ReadBits(1);  // TP-RP

  std::optional<Value> originator = QPX_Framework_SMS_BitBuffer_ReadAddress(false);
  if (!originator) return false;
  if (!Has(8 + 8 + 56 + 8)) return false;
  const int protocol = static_cast<int>(QPX_Framework_SMS_BitBuffer_ReadBits(8));
  const int codingScheme = static_cast<int>(QPX_Framework_SMS_BitBuffer_ReadBits(8));
  Value timestamp = QPX_Framework_SMS_BitBuffer_ReadTimestamp();
  if (timestamp.isNull()) return false;
  std::uint32_t userDataLength = QPX_Framework_SMS_BitBuffer_ReadBits(8);
  decoded.set("TP-OA", *originator);
  decoded.set("TP-PID", Value(protocol));
  decoded.set("TP-DCS", Value(codingScheme));
  decoded.set("TP-SCTS", timestamp);
  if (userDataLength == 0) return true;

  const int alphabet = QPX_Framework_SMS_DCStoAlphabet(codingScheme);
  if (alphabet < 0 || alphabet > QPX_Framework_Alphabet_UCS2) return false;
  const bool gsm = alphabet == QPX_Framework_Alphabet_GSM;

  if (headerIndicator) {
    if (!Has(8)) return false;
    const std::uint32_t headerBits = 8 * (std::uint32_t{data_[bitIndex_ / 8]} + 1);
    if (!Has(headerBits)) return false;
    // GSM text starts on the next septet boundary after the header; TP-UDL counts septets
    // (header and fill included) for GSM and octets otherwise.
    const std::uint32_t fill = gsm ? (7 - headerBits % 7) % 7 : 0;
    const std::uint32_t headerUnits = gsm ? (headerBits + fill) / 7 : headerBits / 8;
    if (headerUnits > userDataLength) return false;
    decoded.set("TP-UDH", QPX_Framework_SMS_BitBuffer_ReadUserdataHeader());
    if (!Has(fill)) return false;
    QPX_Framework_SMS_BitBuffer_ReadBits(fill);
    userDataLength -= headerUnits;
  }

  const std::uint32_t bits = userDataLength * (gsm ? 7 : 8);
  if (bits == 0) return true;
  if (!Has(bits)) return false;
  if (QPX_Franework_SMS_Raw_IsConcatenated(decoded)) {
    // The assembler joins the parts' bits, so an escape or a character cut at a part's end
    // is read whole.
    const std::uint32_t start = bitIndex_;
    QPX_Framework_SMS_BitBufferPtr copy = QPX_Framework_SMS_BitBuffer_InitWithSize(bits);
    copy->QPX_Framework_SMS_BitBuffer_Append(*this, bits);
    copy->SetBitIndex(0);
    bitIndex_ = start;
    decoded.set("TP-UD (Bits)", Value::Object(copy));
  }
  Value payload = QPX_Framework_SMS_BitBuffer_DecodePayloadWithAlphabet(alphabet, bits);
  if (payload.isNull()) return false;
  decoded.set("TP-UD", payload);
  return true;
}

bool QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_DecodeSMS_StatusReport(Value& decoded) {
  QPX_Framework_SMS_BitBuffer_ReadBits(1);                         // TP-MMS
  QPX_Framework_SMS_BitBuffer_ReadBits(2);                         // TP-LP and a spare bit
  if (QPX_Framework_SMS_BitBuffer_ReadBits(1) != 0) return false;  // TP-SRQ: a report on a command
  QPX_Framework_SMS_BitBuffer_ReadBits(1);                         // TP-UDHI
  QPX_Framework_SMS_BitBuffer_ReadBits(1);
  if (!Has(8)) return false;
  const int reference = static_cast<int>(QPX_Framework_SMS_BitBuffer_ReadBits(8));
  std::optional<Value> recipient = QPX_Framework_SMS_BitBuffer_ReadAddress(false);
  if (!recipient) return false;
  Value timestamp = QPX_Framework_SMS_BitBuffer_ReadTimestamp();
  if (timestamp.isNull()) return false;
  Value discharge = QPX_Framework_SMS_BitBuffer_ReadTimestamp();
  if (discharge.isNull()) return false;
  const int status = Has(8) ? static_cast<int>(QPX_Framework_SMS_BitBuffer_ReadBits(8)) : 0;
  decoded.set("TP-MR", Value(reference));
  decoded.set("TP-DA", *recipient);
  decoded.set("TP-SCTS", timestamp);
  decoded.set("TP-DT", discharge);
  decoded.set("TP-ST", Value(status));
  return true;
}

// --- Functions --------------------------------------------------------------------------------

Value QPX_Framework_SMS_Decode(const std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr || length == 0) return Value();
  if (length > kMaxPDULength) {
    QPX_Log(QPX_LOG_ERROR, "SMS PDU of %zu bytes refused", length);
    return Value();
  }
  return QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithBytes(bytes, length)
      ->QPX_Framework_SMS_BitBuffer_DecodeSMS();
}

Value QPX_Framework_SMS_Decode(const Value& pdu) {
  if (!pdu.isData()) {
    QPX_Log(QPX_LOG_ERROR, "SMS PDU is no data: %s", pdu.Description().c_str());
    return Value();
  }
  return QPX_Framework_SMS_Decode(pdu.data().data(), pdu.data().size());
}

bool QPX_Franework_SMS_Raw_IsConcatenated(const Value& decoded) {
  const Value element = decoded.get("TP-UDH").get("00");
  if (!element.isDictionary()) return false;
  const Value max = element.get("Max Segments");
  return max.isNumber() && max.toInt64() != 1;
}

std::string QPX_Framework_Module_SMS_Assemble_Address_MakeString(const Value& address) {
  auto text = [&](const char* key) {
    const Value v = address.get(key);
    return v.isNull() ? std::string("(null)") : v.Description();
  };
  return text("Type-of-number") + ":" + text("Numbering-plan-identification") + ":" + text("Number");
}

Value QPX_Framework_SMS_GetNumberFromObject(const Value& object) {
  Value number = object;
  if (number.isDictionary()) number = number.get("Number");
  if (number.isDictionary()) number = number.get("Number");
  return number.isString() ? number : Value();
}
