#pragma once
// Reply parsing: one shared matcher for the regular expressions that modules write as
// constants, with a process-wide cache of the compiled expressions, accessors for the
// matched groups, and the parser for the quoted lists that test commands ("AT+CSCS=?")
// return between parentheses.
//
// Expressions are POSIX extended and ignore case. Compiling and every execution of a
// cached expression are serialised by one lock; building the result happens outside it.
//
// Patterns are constants of the program: one that is not UTF-8 or does not compile, or has
// more groups than the matcher has room for, is a broken invariant (assertion). Subjects
// come from modems and are never trusted: whatever they hold gives a match, no match, or a
// logged parse failure with an empty result, never an assertion.

#include <regex.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

// Room for the whole match and 31 groups.
constexpr int QPX_Framework_Regex_MaxMatches = 32;

// The compiled expression for the pattern (REG_EXTENDED | REG_ICASE), compiled on first use
// and kept for the life of the process. Execute it only through the match functions below,
// which hold the cache lock while it runs.
const regex_t& QPX_Framework_GetCompiledRegex(const char* pattern);

// Matches the subject against the pattern. End of the subject is not an end of line
// (REG_NOTEOL), so a pattern anchored with "$" never matches there.
//
// Result: null when the subject does not match; otherwise an array with one entry for the
// whole match followed by one per group of the pattern, in group order. An entry is data
// holding the matched bytes followed by one terminating zero byte, or null when its group
// did not take part in the match. Read entries with the accessors below.
//
// A null subject is a broken invariant.
Value QPX_Framework_Regex_Match_CString(const char* pattern, const char* subject);
// The same for a buffer. Matching stops at the first zero byte, as for a C string.
Value QPX_Framework_Regex_Match_Data(const char* pattern, std::string_view subject);
Value QPX_Framework_Regex_Match_Data(const char* pattern, const Value::Bytes& subject);

// The group read as an unsigned decimal number. Empty (and a logged parse failure) when the
// group did not take part, is empty, is not a number, has characters after the number, is
// negative or does not fit. A null match or an index past the pattern's groups is a
// programming error (assertion).
std::optional<std::uint64_t> QPX_Framework_Regex_GetInteger(const Value& match, std::size_t index);

// The group's bytes as a UTF-8 string. Empty when the group did not take part; empty and a
// logged parse failure when the bytes are not UTF-8. Null match or index out of range:
// assertion, as above.
std::optional<std::string> QPX_Framework_Regex_GetString(const Value& match, std::size_t index);

// Parses a comma-separated list of double-quoted strings, such as
//   "GSM", "IRA","UCS2"
// into a set of strings (duplicates collapse; an empty text gives an empty set). Blanks
// between items are skipped; two items with no comma between them are accepted. A leading,
// doubled or trailing comma, an unclosed quote, any other character outside quotes, or text
// that is not UTF-8 makes the text malformed: a logged parse failure and a null result.
Value QPX_Framework_ParseList(std::string_view text);

// Numbers from data files. A value that is not a string is returned unchanged. A string is
// read as a signed long with automatic base ("0x" hexadecimal, leading "0" octal, else
// decimal; leading blanks and a sign are allowed). An empty string, characters left over
// after the number, or a number that does not fit give a logged parse failure and null.
Value QPX_Framework_StringToNumber(const Value& object);
