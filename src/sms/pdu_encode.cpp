#include "sms/pdu_encode.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <cstring>
#include <mutex>
#include <optional>

#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/storage.h"
#include "framework/util/files.h"
#include "framework/util/gsm.h"
#include "sms/bit_buffer.h"
#include "sms/pdu_decode.h"

std::atomic<bool> QPX_Framework_Option_SMS_PreferShortEncoding{false};

namespace {

constexpr std::uint32_t kGsmSingle = 160;  // septets
constexpr std::uint32_t kGsmMulti = 153;
constexpr std::uint32_t kUcs2Single = 70;  // code units
constexpr std::uint32_t kUcs2Multi = 67;
// The concatenation header counts parts in one octet.
constexpr std::size_t kMaxParts = 255;
constexpr std::size_t kMaxAddressDigits = 20;
constexpr char kAddressCharacters[] = "0123456789*#abc";

const char* const kConcatenationNode = "/SMS/SMS IDs";
const char* const kConcatenationKey = "Concatenated SMS";

struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// A text laid out in one alphabet: its parts, or nothing when the alphabet cannot carry it.
struct Layout {
  std::vector<std::uint8_t> septets;  // GSM only
  std::vector<Span> parts;            // septets (GSM) or code units (UCS2)
  std::uint32_t capacity = 0;
};

// What goes out: alphabet, text and its parts.
struct Choice {
  int alphabet = QPX_Framework_Alphabet_GSM;
  std::u16string text;
  bool converted = false;
  Layout layout;
};

// NFC or NFKC of UTF-8 text, as UTF-16. Bytes that are not UTF-8 read as U+FFFD.
std::u16string Normalize(const std::string& text, bool compatibility) {
  const icu::UnicodeString source =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer =
      compatibility ? icu::Normalizer2::getNFKCInstance(status) : icu::Normalizer2::getNFCInstance(status);
  icu::UnicodeString result;
  if (U_SUCCESS(status)) result = normalizer->normalize(source, status);
  if (U_FAILURE(status)) {
    // Without normalisation the text still goes out, as written.
    QPX_Log(QPX_LOG_ERROR, "Unicode normalisation failed: %s", u_errorName(status));
    result = source;
  }
  return std::u16string(result.getBuffer(), static_cast<std::size_t>(result.length()));
}

bool HasSurrogate(const std::u16string& text) {
  for (char16_t c : text) {
    if (c >= 0xD800 && c <= 0xDFFF) return true;
  }
  return false;
}

std::optional<Layout> LayoutUcs2(const std::u16string& text) {
  if (HasSurrogate(text)) return std::nullopt;
  Layout layout;
  if (text.size() <= kUcs2Single) {
    layout.parts.push_back({0, text.size()});
    layout.capacity = kUcs2Single;
    return layout;
  }
  for (std::size_t begin = 0; begin < text.size(); begin += kUcs2Multi)
    layout.parts.push_back({begin, std::min(begin + kUcs2Multi, text.size())});
  if (layout.parts.size() > kMaxParts) return std::nullopt;
  layout.capacity = static_cast<std::uint32_t>(kUcs2Multi * layout.parts.size());
  return layout;
}

std::optional<Layout> LayoutGsm(const std::u16string& text) {
  Layout layout;
  layout.septets.reserve(text.size());
  for (char16_t c : text) {
    const int code = QPX_Framework_Alphabet_EncodeGSM(c);
    if (code < 0) return std::nullopt;
    if (code > 0xFF) layout.septets.push_back(static_cast<std::uint8_t>(code >> 8));
    layout.septets.push_back(static_cast<std::uint8_t>(code & 0x7F));
  }
  const std::vector<std::uint8_t>& septets = layout.septets;
  if (septets.size() <= kGsmSingle) {
    layout.parts.push_back({0, septets.size()});
    layout.capacity = kGsmSingle;
    return layout;
  }
  // The encoder writes the escape only in front of an extension code (a space is always the
  // plain 0x20), so a septet 0x1B always opens a pair; a part never ends on one.
  std::size_t lost = 0;
  for (std::size_t begin = 0; begin < septets.size();) {
    std::size_t end = std::min(begin + kGsmMulti, septets.size());
    if (end < septets.size() && septets[end - 1] == QPX_Framework_GSM_Escape) {
      --end;
      ++lost;
    }
    layout.parts.push_back({begin, end});
    begin = end;
  }
  if (layout.parts.size() > kMaxParts) return std::nullopt;
  layout.capacity = static_cast<std::uint32_t>(kGsmMulti * layout.parts.size() - lost);
  return layout;
}

// Compares part counts where "impossible" is larger than anything.
std::size_t Parts(const std::optional<Layout>& layout) {
  return layout ? layout->parts.size() : static_cast<std::size_t>(-1);
}

// The alphabet choice shared by the encoder and the encoding information.
bool Choose(const Value& userData, Choice& choice) {
  if (!userData.isNull() && !userData.isString()) return false;
  const std::string& given = userData.string();

  std::u16string composed = Normalize(given, false);
  if (composed.empty()) {
    choice = Choice();
    choice.layout.parts.push_back({0, 0});
    choice.layout.capacity = kGsmSingle;
    return true;
  }
  std::optional<Layout> ucs2 = LayoutUcs2(composed);
  std::optional<Layout> gsm = LayoutGsm(composed);
  if (gsm && Parts(gsm) <= Parts(ucs2)) {
    choice = {QPX_Framework_Alphabet_GSM, std::move(composed), false, std::move(*gsm)};
    return true;
  }
  if (QPX_Framework_Option_SMS_PreferShortEncoding.load(std::memory_order_relaxed) || !ucs2) {
    std::u16string compatible = Normalize(given, true);
    std::optional<Layout> gsmCompatible = LayoutGsm(compatible);
    // Equal part counts convert too: the user asked for the short (GSM) form, and a GSM
    // part holds more characters.
    if (gsmCompatible && Parts(gsmCompatible) <= Parts(ucs2)) {
      choice = {QPX_Framework_Alphabet_GSM, std::move(compatible), true, std::move(*gsmCompatible)};
      return true;
    }
    if (!ucs2) {
      std::optional<Layout> ucs2Compatible = LayoutUcs2(compatible);
      if (!ucs2Compatible) return false;
      choice = {QPX_Framework_Alphabet_UCS2, std::move(compatible), true, std::move(*ucs2Compatible)};
      return true;
    }
  }
  choice = {QPX_Framework_Alphabet_UCS2, std::move(composed), false, std::move(*ucs2)};
  return true;
}

// The TPDUs of the chosen text for one destination address field.
Value BuildTPDUs(const Choice& choice, const std::vector<std::uint8_t>& address, bool statusReport,
                 int validityPeriod, std::uint8_t reference) {
  const std::vector<Span>& parts = choice.layout.parts;
  const bool concatenated = parts.size() > 1;
  const bool gsm = choice.alphabet == QPX_Framework_Alphabet_GSM;
  Value list = Value::EmptyArray();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const Span& part = parts[i];
    const std::size_t units = part.end - part.begin;
    QPX_Framework_SMS_BitBufferPtr buffer =
        QPX_Framework_SMS_BitBuffer::QPX_Framework_SMS_BitBuffer_InitWithSize(
            static_cast<std::uint32_t>(8 * (7 + address.size() + 6) + 16 * units));
    auto octet = [&](std::uint32_t value) { buffer->QPX_Framework_SMS_BitBuffer_WriteBits(8, value & 0xFF); };

    std::uint32_t first = 0x01;              // SMS-SUBMIT
    if (validityPeriod >= 0) first |= 0x10;  // relative validity period
    if (statusReport) first |= 0x20;
    if (concatenated) first |= 0x40;
    octet(first);
    octet(0);  // TP-MR: the modem sets it
    for (std::uint8_t b : address) octet(b);
    octet(0);  // TP-PID
    octet(static_cast<std::uint32_t>(choice.alphabet) * 4);
    if (validityPeriod >= 0) octet(static_cast<std::uint32_t>(validityPeriod));
    if (gsm)
      octet(static_cast<std::uint32_t>(units + (concatenated ? 7 : 0)));
    else
      octet(static_cast<std::uint32_t>(2 * units + (concatenated ? 6 : 0)));
    if (concatenated) {
      for (std::uint32_t b : {0x05u, 0x00u, 0x03u, std::uint32_t{reference},
                              static_cast<std::uint32_t>(parts.size()), static_cast<std::uint32_t>(i + 1)})
        octet(b);
      if (gsm) buffer->QPX_Framework_SMS_BitBuffer_WriteBits(1, 0);  // to the septet boundary
    }
    if (gsm) {
      for (std::size_t s = part.begin; s < part.end; ++s)
        buffer->QPX_Framework_SMS_BitBuffer_WriteBits(7, choice.layout.septets[s]);
    } else {
      for (std::size_t u = part.begin; u < part.end; ++u) {
        octet(choice.text[u] >> 8);
        octet(choice.text[u]);
      }
    }
    buffer->QPX_Framework_SMS_BitBuffer_Fill(8);
    list.append(Value::Data(buffer->Octets()));
  }
  return list;
}

// The destination's next concatenation reference, counted on in the same step.
std::uint8_t NextReference(const std::string& destination) {
  const QPX_Framework_StoragePtr node = QPX_Framework_Storage_CreateNode(kConcatenationNode);
  std::lock_guard<QPX_Framework_Storage::Lock> lock(node->ElementLock());
  Value counters = node->objectForKey(kConcatenationKey);
  if (!counters.isDictionary()) counters = Value::EmptyDictionary();
  const auto reference = static_cast<std::uint8_t>(counters.get(destination).toInt64(0) & 0xFF);
  counters.set(destination, Value((reference + 1) % 256));
  node->setObject(counters, kConcatenationKey);
  return reference;
}

}  // namespace

bool _QPX_Framework_SMS_Options::QPX_Framework_Init(const std::string& className) {
  if (className != "_QPX_Framework_SMS_Options") return true;
  QPX_Framework_Option_SMS_PreferShortEncoding = QPX_Framework_Option_GetBool("QPX SMS: Prefer short", false);
  return true;
}

void QPX_Framework_SMS_Codec_RegisterClasses() {
  QPX_Framework_ClassEntry entry;
  entry.name = "_QPX_Framework_SMS_Options";
  entry.init = [](const std::string& className) {
    return _QPX_Framework_SMS_Options::QPX_Framework_Init(className);
  };
  QPX_Framework_ClassRegistry::Register(std::move(entry));
}

Value QPX_Framework_SMS_GetRecipients(const Value& record) {
  const Value list = record.get("TP-DAs");
  if (list.isArray()) return list;
  const Value single = record.get("TP-DA");
  if (single.isNull()) return Value();
  return Value(Value::Array{single});
}

int QPX_Framework_SMS_EncodeNumber(const Value& address, std::vector<std::uint8_t>& out) {
  out.clear();
  const Value number = QPX_Framework_SMS_GetNumberFromObject(address);
  if (!number.isString()) return 0;
  const std::string& text = number.string();
  bool international = false;
  bool decimal = false;
  std::vector<std::uint8_t> digits;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' && i == 0) {
      international = true;
      continue;
    }
    const char* position = c != '\0' ? std::strchr(kAddressCharacters, c) : nullptr;
    if (position == nullptr || digits.size() == kMaxAddressDigits) return 0;
    const auto value = static_cast<std::uint8_t>(position - kAddressCharacters);
    decimal = decimal || value <= 9;
    digits.push_back(value);
  }
  if (!decimal) return 0;
  out.push_back(static_cast<std::uint8_t>(digits.size()));
  out.push_back(international ? 0x91 : 0x81);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const std::uint8_t high = i + 1 < digits.size() ? digits[i + 1] : 0x0F;
    out.push_back(static_cast<std::uint8_t>(high << 4 | digits[i]));
  }
  return static_cast<int>(out.size());
}

bool QPX_Framework_SMS_GetEncodeInfo(const Value& record, QPX_Framework_SMS_EncodeInfo& info) {
  Choice choice;
  if (!Choose(record.get("TP-UD"), choice)) return false;
  info.parts = static_cast<std::uint32_t>(choice.layout.parts.size());
  info.alphabet = static_cast<std::uint32_t>(choice.alphabet);
  info.converted = choice.converted;
  info.capacity = choice.layout.capacity;
  info.length = static_cast<std::uint32_t>(choice.text.size());
  info.text = QPX_Framework_UTF16ToUTF8(choice.text);
  return true;
}

bool QPX_Framework_SMS_Encode(Value& record, bool statusReport, int validityPeriod) {
  QPX_Assert_Detail(record.isDictionary(), Value("message record is no dictionary: " + record.Description()));
  if (record.contains("Send Parts New")) return true;
  if (validityPeriod >= 0 && validityPeriod <= 255)
    record.set("TP-VP", Value(validityPeriod));
  else
    validityPeriod = -1;
  record.set("TP-SRR", Value(statusReport));
  QPX_Assert_Detail(!record.contains("Send Parts"),
                    Value("message record already encoded: " + record.Description()));

  const Value recipients = QPX_Framework_SMS_GetRecipients(record);
  if (recipients.empty()) {
    QPX_Log(QPX_LOG_ERROR, "SMS without recipients: %s", record.Description().c_str());
    return false;
  }
  QPX_Log(QPX_LOG_CALLS, "Encoding %s", record.Description().c_str());

  Choice choice;
  if (!Choose(record.get("TP-UD"), choice)) {
    QPX_Log(QPX_LOG_ERROR, "SMS text cannot be encoded");
    return false;
  }
  // Every number first, so that a bad one leaves no reference counted for the others.
  std::vector<std::vector<std::uint8_t>> addresses(recipients.size());
  std::vector<std::string> destinations(recipients.size());
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    if (QPX_Framework_SMS_EncodeNumber(recipients.at(i), addresses[i]) == 0) {
      QPX_Log(QPX_LOG_ERROR, "SMS recipient cannot be encoded: %s", recipients.at(i).Description().c_str());
      return false;
    }
    destinations[i] = QPX_Framework_SMS_GetNumberFromObject(recipients.at(i)).string();
  }

  const bool concatenated = choice.layout.parts.size() > 1;
  Value perRecipient = Value::EmptyArray();
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    const std::uint8_t reference = concatenated ? NextReference(destinations[i]) : 0;
    perRecipient.append(BuildTPDUs(choice, addresses[i], statusReport, validityPeriod, reference));
  }
  record.set("Send Parts New", perRecipient);
  if (statusReport) {
    record.set("Message References", Value::EmptyArray());
    Value references = Value::EmptyArray();
    for (std::size_t i = 0; i < recipients.size(); ++i) references.append(Value::EmptyArray());
    record.set("Message References New", references);
  }
  return true;
}
