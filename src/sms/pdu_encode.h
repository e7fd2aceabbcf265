#pragma once
// Encoding outgoing messages into SMS-SUBMIT TPDUs (3GPP TS 23.040), one list of parts per
// recipient, and telling the compose window how many parts and characters a text needs.
//
// The text goes out in the GSM 7-bit default alphabet when that takes no more parts than
// UCS2, else in UCS2; Unicode normalisation (NFC, and NFKC when asked to prefer short
// messages or when UCS2 cannot carry the text) decides what the text is. Long texts are cut
// into concatenated parts with an 8-bit reference per destination, counted in the storage
// tree ("/SMS/SMS IDs", element "Concatenated SMS"). A GSM part never ends between an escape
// and the character it introduces: such a part ends one septet earlier, and part counts and
// capacity count the same way.
//
// Everything may be called from any thread; only the reference counter is shared state, and
// it is read and written back as one step under its node's element lock.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/value.h"

// What a text takes when sent.
struct QPX_Framework_SMS_EncodeInfo {
  std::uint32_t parts = 0;     // SMS parts
  std::uint32_t alphabet = 0;  // 0 GSM 7-bit, 2 UCS2
  bool converted = false;      // compatibility normalisation changed the text to fit
  // Characters that fit in that many parts: GSM 160, or 153 per part less the septets left
  // empty where a part ends before an escape pair; UCS2 70, or 67 per part.
  std::uint32_t capacity = 0;
  std::uint32_t length = 0;  // UTF-16 code units of the text below
  std::string text;          // the normalised text that will be sent
};

// Set once at class initialisation from the option "QPX SMS: Prefer short" (default false):
// try compatibility normalisation to fit a text into fewer GSM parts than UCS2 would take.
extern std::atomic<bool> QPX_Framework_Option_SMS_PreferShortEncoding;

// The class initialiser of "_QPX_Framework_SMS_Options": reads the option; always true.
struct _QPX_Framework_SMS_Options {
  static bool QPX_Framework_Init(const std::string& className = "_QPX_Framework_SMS_Options");
};
// Enters "_QPX_Framework_SMS_Options" in the class registry.
void QPX_Framework_SMS_Codec_RegisterClasses();

// Encodes the message record's "TP-UD" for every recipient. Stores "TP-VP" (for a validity
// period of 0-255; -1 means none) and "TP-SRR" first, then, when every recipient could be
// encoded, "Send Parts New" (per recipient, in order, an array of TPDUs as data) and, with a
// status report, "Message References" (empty) and "Message References New" (one empty array
// per recipient). False, with nothing else stored, for a text or a number that cannot be
// encoded or no recipients. A record that already holds "Send Parts New" answers true
// unchanged; one that holds the older "Send Parts" is a programming error.
bool QPX_Framework_SMS_Encode(Value& record, bool statusReport, int validityPeriod);

// Fills the information for the record's "TP-UD" (absent: empty); false when the text cannot
// be encoded (not a string, characters neither alphabet carries, or more than 255 parts).
bool QPX_Framework_SMS_GetEncodeInfo(const Value& record, QPX_Framework_SMS_EncodeInfo& info);

// "TP-DAs" when it is an array, else a one-element array of "TP-DA", else null.
Value QPX_Framework_SMS_GetRecipients(const Value& record);

// Writes the address field of the address's number ("Number", or a number holder's):
// semi-octet count, type of address 0x91 ("+" first, international) or 0x81, then the
// digits low nibble first with a filler 0xF after an odd count. Answers its length in octets
// (digits/2 rounded up + 2), or 0, with `out` empty, when the number cannot be encoded: "+"
// elsewhere than first, a character outside "0123456789*#abc", more than 20 digits, or no
// decimal digit.
int QPX_Framework_SMS_EncodeNumber(const Value& address, std::vector<std::uint8_t>& out);
