#pragma once
// Phone-number strings as users type them and phone books and messages hold them: the
// test for a plain number, the clean-up of a typed number, and the comparison of two
// recipient lists (a conversation with several recipients is recognised by its numbers,
// whatever form each number was written in).

#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

// True when every character is a digit, "*" or "#", or "+" at the first position. The empty
// string counts as a phone number. A number typed with blanks in it does not.
bool QPX_Framework_StringIsPhoneNumber(std::string_view text);

// Reads the number at the start of a typed text, keeping digits and a leading "+": blanks
// are skipped, one "(" is dropped while nothing has been kept yet, and "-", "/" or (after
// that "(") ")" are dropped when they come right after a digit. Any other character, or one
// of these where it is not allowed, ends the reading. Empty when no digit was kept.
//   "(0) 1-2" -> "012", "+4 5 6" -> "+456", "12 -3" -> "12", "12+3" -> "12", "()1" -> empty
std::optional<std::string> QPX_Framework_PhoneNumber_Clean(std::string_view text);

// True when both lists name the same numbers. Members are number strings or number holders
// (a dictionary whose "Number" is the string, or a dictionary whose "Number" is a dictionary
// holding it); members without a number are skipped. Numbers match when they are the same
// subscriber allowing local and country prefixes, so "0301234567" and "+49301234567" match;
// every number of each list must match one of the other. Arrays and sets are accepted; any
// other value counts as an empty list.
bool QPX_Framework_PhoneNumberArraysAreEqual(const Value& first, const Value& second);
