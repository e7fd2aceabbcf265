#include "framework/util/gsm.h"

#include <array>
#include <cstdio>

#include "framework/core/log.h"
#include "framework/core/storage.h"
#include "framework/util/misc.h"
#include "platform/thread_context.h"

const char* const QPX_Framework_ModemStorage_CSCS_Key = "CSCS";
const char* const QPX_Framework_Preferences_SMS_ValidityPeriod = "QPX SMS Relative Validity";

std::atomic<QPX_Framework_Modem_SimpleCommandFunction> QPX_Framework_Modem_SetEncoding_Runner{nullptr};

namespace {

struct GsmPair {
  std::uint16_t code;  // 0x00-0x7F, or 0x1B00 plus the extension code
  char16_t character;
};

// Searched in this order, both ways: the first pair carrying a character is its code. The
// extension pairs 0x1B0A and 0x1B1B read as line feed and space (a receiver without those
// extensions shows them so), and are never chosen when encoding, since the plain codes come
// first.
constexpr GsmPair kGsmTable[] = {
    {0x00, u'\u0040'},   {0x01, u'\u00A3'},   {0x02, u'\u0024'},   {0x03, u'\u00A5'},   {0x04, u'\u00E8'},
    {0x05, u'\u00E9'},   {0x06, u'\u00F9'},   {0x07, u'\u00EC'},   {0x08, u'\u00F2'},   {0x09, u'\u00C7'},
    {0x0A, u'\u000A'},   {0x0B, u'\u00D8'},   {0x0C, u'\u00F8'},   {0x0E, u'\u00C5'},   {0x0F, u'\u00E5'},
    {0x10, u'\u0394'},   {0x11, u'\u005F'},   {0x12, u'\u03A6'},   {0x13, u'\u0393'},   {0x14, u'\u039B'},
    {0x15, u'\u03A9'},   {0x16, u'\u03A0'},   {0x17, u'\u03A8'},   {0x18, u'\u03A3'},   {0x19, u'\u0398'},
    {0x1A, u'\u039E'},   {0x1C, u'\u00C6'},   {0x1D, u'\u00E6'},   {0x1E, u'\u00DF'},   {0x1F, u'\u00C9'},
    {0x20, u'\u0020'},   {0x24, u'\u00A4'},   {0x40, u'\u00A1'},   {0x5B, u'\u00C4'},   {0x5C, u'\u00D6'},
    {0x5D, u'\u00D1'},   {0x5E, u'\u00DC'},   {0x5F, u'\u00A7'},   {0x60, u'\u00BF'},   {0x7B, u'\u00E4'},
    {0x7C, u'\u00F6'},   {0x7D, u'\u00F1'},   {0x7E, u'\u00FC'},   {0x7F, u'\u00E0'},   {0x1B0A, u'\u000A'},
    {0x1B14, u'\u005E'}, {0x1B1B, u'\u0020'}, {0x1B28, u'\u007B'}, {0x1B29, u'\u007D'}, {0x1B2F, u'\u005C'},
    {0x1B3C, u'\u005B'}, {0x1B3D, u'\u007E'}, {0x1B3E, u'\u005D'}, {0x1B40, u'\u007C'}, {0x1B65, u'\u20AC'},
};
static_assert(sizeof kGsmTable / sizeof kGsmTable[0] == 55);

// Greek capitals that look like Latin letters, sent as those letters.
constexpr GsmPair kGreekReplacements[] = {
    {'A', u'\u0391'}, {'B', u'\u0392'}, {'E', u'\u0395'}, {'Z', u'\u0396'}, {'H', u'\u0397'},
    {'I', u'\u0399'}, {'K', u'\u039A'}, {'M', u'\u039C'}, {'N', u'\u039D'}, {'O', u'\u039F'},
    {'P', u'\u03A1'}, {'T', u'\u03A4'}, {'Y', u'\u03A5'}, {'X', u'\u03A7'},
};

// The character of a table code, or U+FFFD when the table does not list it.
char16_t SearchCode(std::uint32_t code, bool* found) {
  for (const GsmPair& pair : kGsmTable) {
    if (pair.code == code) {
      *found = true;
      return pair.character;
    }
  }
  *found = false;
  return u'\uFFFD';
}

// One GSM code on its own: the table, else the code itself up to 0x7F.
bool DecodeSingleGsmSlow(std::uint32_t code, char16_t* character) {
  bool found = false;
  const char16_t c = SearchCode(code, &found);
  if (found) {
    *character = c;
    return true;
  }
  if (code <= 0x7F) {
    *character = static_cast<char16_t>(code);
    return true;
  }
  return false;
}

int EncodeGsmSlow(char16_t character) {
  for (const GsmPair& replacement : kGreekReplacements) {
    if (replacement.character == character) {
      character = static_cast<char16_t>(replacement.code);
      break;
    }
  }
  for (const GsmPair& pair : kGsmTable) {
    if (pair.character == character) return pair.code;
  }
  // A code point of 0x7F or below is its own code only where the table does not give that
  // code to another character.
  if (character <= 0x7F && character != QPX_Framework_GSM_Escape) {
    char16_t decoded = u'\uFFFD';
    if (DecodeSingleGsmSlow(character, &decoded) && decoded == character) return character;
  }
  return -1;
}

// Every character the tables know lies below U+0400, except the euro sign; the lookups are
// made once from the tables above, so the codec's inner loops index arrays.
constexpr char16_t kEncodeTableLimit = 0x400;

struct Lookup {
  std::array<char16_t, 128> basic{};
  std::array<char16_t, 128> extension{};
  std::array<bool, 128> extensionListed{};
  std::array<std::int16_t, kEncodeTableLimit> encode{};
  std::int16_t euro = -1;

  Lookup() {
    for (std::uint32_t code = 0; code < 128; ++code) {
      DecodeSingleGsmSlow(code, &basic[code]);
      bool found = false;
      extension[code] = SearchCode(0x1B00 + code, &found);
      extensionListed[code] = found;
    }
    for (std::uint32_t c = 0; c < kEncodeTableLimit; ++c)
      encode[c] = static_cast<std::int16_t>(EncodeGsmSlow(static_cast<char16_t>(c)));
    euro = static_cast<std::int16_t>(EncodeGsmSlow(u'\u20AC'));
  }
};

const Lookup& Tables() {
  static const Lookup lookup;
  return lookup;
}

bool DecodeSingleGsm(std::uint32_t code, char16_t* character) {
  if (code >= 128) return false;
  *character = Tables().basic[code];
  return true;
}

}  // namespace

int QPX_Framework_Alphabet_CharSize(int alphabet) {
  switch (alphabet) {
    case QPX_Framework_Alphabet_GSM:
      return 7;
    case QPX_Framework_Alphabet_8Bit:
      return 8;
    case QPX_Framework_Alphabet_UCS2:
      return 16;
    default:
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                  Value("no character size for alphabet " + std::to_string(alphabet)));
  }
}

bool QPX_Framework_Alphabet_DecodeChar(int alphabet, const std::uint16_t* units, unsigned count,
                                       char16_t* character) {
  char16_t result = u'\uFFFD';
  bool complete = true;
  switch (alphabet) {
    case QPX_Framework_Alphabet_GSM:
      QPX_Assert(units != nullptr && count >= 1 && count <= 2);
      if (units[0] != QPX_Framework_GSM_Escape) {
        QPX_Assert(count == 1);
        DecodeSingleGsm(units[0], &result);
      } else if (count == 1) {
        complete = false;
      } else {
        if (units[1] < 128 && Tables().extensionListed[units[1]])
          result = Tables().extension[units[1]];
        else
          DecodeSingleGsm(units[1], &result);
      }
      break;
    case QPX_Framework_Alphabet_8Bit:
      QPX_Assert(units != nullptr && count == 1);
      break;
    case QPX_Framework_Alphabet_UCS2:
      QPX_Assert(units != nullptr && count == 1);
      result = static_cast<char16_t>(units[0]);
      break;
    default:
      break;
  }
  if (character) *character = complete ? result : u'\0';
  return complete;
}

int QPX_Framework_Alphabet_EncodeGSM(char16_t character) {
  if (character < kEncodeTableLimit) return Tables().encode[character];
  if (character == u'\u20AC') return Tables().euro;
  return -1;
}

int QPX_Framework_SMS_DCStoAlphabet(int dataCodingScheme) {
  QPX_Assert_Detail(dataCodingScheme >= 0 && dataCodingScheme <= 255,
                    Value("data coding scheme out of range: " + std::to_string(dataCodingScheme)));
  const unsigned dcs = static_cast<unsigned>(dataCodingScheme);
  if (dcs < 0x80) {
    // General data coding; 0x40-0x7F is the same group marked for automatic deletion.
    if (dcs & 0x20) return -1;  // compressed
    return static_cast<int>((dcs >> 2) & 0x03);
  }
  if (dcs < 0xC0) return -1;
  if (dcs < 0xE0) return QPX_Framework_Alphabet_GSM;
  if (dcs < 0xF0) return QPX_Framework_Alphabet_UCS2;
  return (dcs & 0x04) ? QPX_Framework_Alphabet_8Bit : QPX_Framework_Alphabet_GSM;
}

// --- Modem character sets ---------------------------------------------------------------------

int QPX_Framework_SelectBestEncoding(const std::shared_ptr<QPX_Framework_Storage>& modem) {
  std::shared_ptr<QPX_Framework_Storage> node = modem;
  if (!node)
    node = platform::CurrentThreadContext()
               .dictionary.get("QPX Current Modem")
               .objectAs<QPX_Framework_Storage>();
  if (!node) return QPX_Framework_Encoding_None;
  const Value offered = node->objectForKey(QPX_Framework_ModemStorage_CSCS_Key);
  if (offered.isNull()) return QPX_Framework_Encoding_None;
  QPX_Assert_Detail(offered.isSet(), Value("\"CSCS\" is not a set: " + offered.Description()));
  static constexpr int kPreference[] = {QPX_Framework_Encoding_UCS2, QPX_Framework_Encoding_UCS2_0X81,
                                        QPX_Framework_Encoding_GSM, QPX_Framework_Encoding_IRA};
  for (int encoding : kPreference) {
    if (offered.containsMember(Value(QPX_Framework_Encoding_String(encoding)))) return encoding;
  }
  return QPX_Framework_Encoding_None;
}

std::string QPX_Framework_Encoding_String(int encoding) {
  switch (encoding) {
    case QPX_Framework_Encoding_IRA:
      return "IRA";
    case QPX_Framework_Encoding_GSM:
      return "GSM";
    case QPX_Framework_Encoding_UCS2:
      return "UCS2";
    case QPX_Framework_Encoding_UCS2_0X81:
      return "UCS2_0X81";
    default:
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                  Value("no character set " + std::to_string(encoding)));
  }
}

bool QPX_Framework_Modem_SetEncoding(int encoding) {
  const std::string name = QPX_Framework_Encoding_String(encoding);
  const QPX_Framework_Modem_SimpleCommandFunction run =
      QPX_Framework_Modem_SetEncoding_Runner.load(std::memory_order_acquire);
  const std::string command = "AT+CSCS=\"" + name + "\"";
  if (run == nullptr) {
    QPX_Log(QPX_LOG_ERROR, "No modem command runner for %s", command.c_str());
    return false;
  }
  return run(command.c_str());
}

std::string QPX_Framework_Encode_UCS2_81(std::string_view text, std::uint8_t fallback) {
  const std::u16string units = QPX_Framework_UTF8ToUTF16(text);

  std::array<unsigned, 256> counts{};
  unsigned basePage = 0;
  unsigned bestCount = 0;
  for (char16_t c : units) {
    if (c >= 0x8000 || QPX_Framework_Alphabet_EncodeGSM(c) >= 0) continue;
    const unsigned page = c >> 7;
    if (++counts[page] > bestCount) {
      bestCount = counts[page];
      basePage = page;
    }
  }

  std::string bytes;
  for (char16_t c : units) {
    const int code = QPX_Framework_Alphabet_EncodeGSM(c);
    std::string encoded;
    if (code > 0xFF) {
      encoded.push_back(static_cast<char>(code >> 8));
      encoded.push_back(static_cast<char>(code & 0xFF));
    } else if (code >= 0) {
      encoded.push_back(static_cast<char>(code));
    } else if (c < 0x8000 && (c >> 7) == basePage) {
      encoded.push_back(static_cast<char>(0x80 | (c & 0x7F)));
    } else {
      encoded.push_back(static_cast<char>(fallback));
    }
    if (bytes.size() + encoded.size() > 255) {
      QPX_Log(QPX_LOG_ERROR, "0x81 form cut after %zu bytes", bytes.size());
      break;
    }
    bytes += encoded;
  }

  std::string out;
  out.reserve(6 + 2 * bytes.size());
  char hex[3];
  auto put = [&](unsigned byte) {
    std::snprintf(hex, sizeof hex, "%02X", byte & 0xFF);
    out += hex;
  };
  out += "81";
  put(static_cast<unsigned>(bytes.size()));
  put(basePage);
  for (char b : bytes) put(static_cast<unsigned char>(b));
  return out;
}

// --- Validity period --------------------------------------------------------------------------

double QPX_Framework_RelativeValidityPeriodToSeconds(int validityPeriod) {
  const double n = validityPeriod;
  if (validityPeriod < 0 || validityPeriod > 255) return -1.0;
  if (validityPeriod <= 143) return (n + 1) * 300;
  if (validityPeriod <= 167) return 43200 + (n - 143) * 1800;
  if (validityPeriod <= 196) return (n - 166) * 86400;
  return (n - 192) * 604800;
}

int QPX_Framework_GetValidityPeriodPreference() {
  const QPX_Framework_StoragePtr preferences = QPX_Framework_Preferences;
  if (!preferences) return -1;
  const Value stored = preferences->objectForKey(QPX_Framework_Preferences_SMS_ValidityPeriod);
  if (!stored.isNumber()) return -1;
  const double value = stored.toDouble();
  if (value < 0 || value > 255) return -1;
  return static_cast<int>(value);
}

// --- UTF-16 ----------------------------------------------------------------------------------

std::string QPX_Framework_UTF16ToUTF8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}
