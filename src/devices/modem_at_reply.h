#pragma once
// Pure functions over what an AT modem says and what we say to it: the final-line rules of
// the AT engine, the CME error code of a reply, decimal lines, and the masking of secrets in
// logged commands. No port, thread or object behind them; the engine calls them and the
// tests call them with captured replies.
//
// A line, as the serial port hands it over, is the line's bytes followed by one NUL byte
// (a Value of kind data). The functions accept lines with or without that NUL.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

// What the last collected line says about the command in flight.
enum class QPX_Framework_Modem_FinalLine {
  None,     // not a final line: keep collecting
  Success,  // "OK"
  Error,    // "ERROR", "COMMAND NOT SUPPORT", "TOO MANY PARAMETERS", CMS and CME errors
  Retry,    // "+CME ERROR: 14" (SIM busy): the command may be tried again
};

// The text of a line without its terminating NUL (and anything after a NUL inside it).
std::string_view QPX_Framework_Modem_LineText(const Value& line);
std::string_view QPX_Framework_Modem_LineText(std::string_view bytes);
// A line as the engine stores it: the text plus one NUL byte, as data.
Value QPX_Framework_Modem_MakeLine(std::string_view text);

// The built-in completion rule, applied to the last collected line.
QPX_Framework_Modem_FinalLine QPX_Framework_Modem_ClassifyFinalLine(std::string_view lineText);

// The code of a "+CME ERROR: <digits>" line: only digits after the colon and blank, at
// least one, and a value that fits; empty otherwise.
std::optional<int> QPX_Framework_Modem_ParseCMECode(std::string_view lineText);

// QPX_Framework_IntFromData: the decimal value of a line that is a whole number (an
// optional sign, digits, nothing after them); 0 for null, for no digits or for trailing
// characters.
long QPX_Framework_IntFromData(const Value& line);

// The command as it may be logged: the PIN, PUK and password arguments of the commands
// that carry them are replaced by "****". Other commands are returned unchanged.
std::string QPX_Framework_Modem_MaskSecrets(std::string_view command);
