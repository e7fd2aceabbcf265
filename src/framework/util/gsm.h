#pragma once
// SMS and phone-book text as it crosses the modem: the GSM 7-bit default alphabet with its
// extension table, 8-bit data and UCS2 (3GPP TS 23.038). This file holds the per-character
// decoder and encoder the SMS codec builds on, the alphabet a data coding scheme selects, the
// modem character set for AT text parameters (AT+CSCS), the compact 0x81 UCS2 form of SIM
// alpha fields, the relative validity period of TS 23.040 with the user's preference, and
// the UTF-16 to UTF-8 conversion the decoders end with.
//
// Everything here is a pure function of its arguments (except the character-set choice, the
// preference reader and the AT call, which read the storage tree or the modem), and may be
// called on any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/value.h"

class QPX_Framework_Storage;

// Alphabet codes, as the data coding scheme names them.
enum : int {
  QPX_Framework_Alphabet_GSM = 0,
  QPX_Framework_Alphabet_8Bit = 1,
  QPX_Framework_Alphabet_UCS2 = 2,
};

// The GSM escape septet: the code after it is read from the extension table.
constexpr std::uint16_t QPX_Framework_GSM_Escape = 0x1B;

// Bits per character: 7, 8 or 16. Any other alphabet is a programming error.
int QPX_Framework_Alphabet_CharSize(int alphabet);

// Decodes the units collected so far (7-bit codes, bytes or 16-bit values in host order) into
// one UTF-16 character, which starts as U+FFFD. True when the units form a complete
// character; false only for a lone GSM escape, which waits for the next septet.
//   GSM: one code other than the escape, or the escape and one more code. A code the table
//        does not list stands for itself up to 0x7F; an escaped code without an extension
//        character reads as the code alone; anything else is U+FFFD.
//   8-bit data: always U+FFFD (it is no text). UCS2: the value itself.
//   Another alphabet: U+FFFD, complete.
// No units, more than two GSM units, or two GSM units not starting with the escape are
// programming errors. `character` may be null.
bool QPX_Framework_Alphabet_DecodeChar(int alphabet, const std::uint16_t* units, unsigned count,
                                       char16_t* character);

// The GSM code of one UTF-16 character: 0x00-0x7F, 0x1B00 plus the extension code for the
// characters of the extension table, or -1 when the alphabet has no such character. Greek
// capitals that look like Latin letters are sent as those letters. A code is only ever
// answered when decoding it gives the character back, so characters such as "`", TAB or
// U+0001, whose code points are other letters in the GSM table, answer -1 and the caller
// falls back to UCS2 instead of sending a different character.
int QPX_Framework_Alphabet_EncodeGSM(char16_t character);

// The alphabet of a data coding scheme (0-255; another value is a programming error):
//   general data coding groups 0x00-0x3F and, with automatic deletion, 0x40-0x7F: bits 3-2
//     (0 GSM, 1 8-bit, 2 UCS2, 3 reserved, answered as 3); compressed text (bit 5) is -1,
//     since no decompressor exists and the bytes would read as garbage;
//   0x80-0xBF (reserved groups): -1;
//   0xC0-0xDF (message waiting, discard or store): 0; 0xE0-0xEF (message waiting, UCS2): 2;
//   0xF0-0xFF (data coding and message class): bit 2 (0 GSM, 1 8-bit).
int QPX_Framework_SMS_DCStoAlphabet(int dataCodingScheme);

// --- Modem character sets (AT+CSCS) ---------------------------------------------------------

enum : int {
  QPX_Framework_Encoding_None = 0,
  QPX_Framework_Encoding_IRA = 1,
  QPX_Framework_Encoding_GSM = 2,
  QPX_Framework_Encoding_UCS2 = 3,
  QPX_Framework_Encoding_UCS2_0X81 = 4,
};

// The modem node's element holding the set of character-set names the modem offers.
extern const char* const QPX_Framework_ModemStorage_CSCS_Key;  // "CSCS"

// The best character set the modem offers: "UCS2" (3), else "UCS2_0X81" (4), else "GSM" (2),
// else "IRA" (1), else 0. Reads "CSCS" of the given node, or of the calling thread's current
// modem when none is given; a "CSCS" that is not a set is a programming error.
int QPX_Framework_SelectBestEncoding(const std::shared_ptr<QPX_Framework_Storage>& modem = nullptr);

// "IRA", "GSM", "UCS2" or "UCS2_0X81" for 1-4; another code is a programming error.
std::string QPX_Framework_Encoding_String(int encoding);

// Sends "AT+CSCS=\"<name>\"" to the calling thread's current modem; true when it accepted.
// Another code than 1-4 is a programming error.
bool QPX_Framework_Modem_SetEncoding(int encoding);

// How QPX_Framework_Modem_SetEncoding reaches the modem: the device layer's simple command
// call (true when a reply came and it was no error), installed by the device layer when it
// starts. Until then every call logs an error and answers false.
using QPX_Framework_Modem_SimpleCommandFunction = bool (*)(const char* command);
extern std::atomic<QPX_Framework_Modem_SimpleCommandFunction> QPX_Framework_Modem_SetEncoding_Runner;

// The 0x81 UCS2 coding of a SIM alpha field, as hexadecimal text: "81", the byte count, the
// base page, then one byte per character: its GSM code (an extension character gives the
// escape and its code), 0x80 plus the low 7 bits for a character of the base page, or the
// fallback byte. The base page (character >> 7) is the one holding most of the characters
// below U+8000 that have no GSM code (the first to reach the count wins a tie; 0 when there
// are none). The form counts its bytes in one octet, so a text is cut after the last whole
// character that fits in 255 bytes.
std::string QPX_Framework_Encode_UCS2_81(std::string_view text, std::uint8_t fallback);

// --- Validity period --------------------------------------------------------------------------

// The preference (in "/User Defaults") holding the relative validity period to request.
extern const char* const QPX_Framework_Preferences_SMS_ValidityPeriod;  // "QPX SMS Relative Validity"

// Seconds of a relative validity period (TS 23.040 TP-VP): 0-143 (n+1) x 5 minutes, 144-167
// 12 hours + (n-143) x 30 minutes, 168-196 (n-166) days, 197-255 (n-192) weeks; -1.0 for any
// other value.
double QPX_Framework_RelativeValidityPeriodToSeconds(int validityPeriod);

// The stored preference when it is a number from 0 to 255, else -1 (also when there is none
// or the storage tree has not been made).
int QPX_Framework_GetValidityPeriodPreference();

// --- UTF-16 --------------------------------------------------------------------------------

// UTF-8 of UTF-16 code units; a surrogate that is not half of a pair becomes U+FFFD.
std::string QPX_Framework_UTF16ToUTF8(std::u16string_view units);
