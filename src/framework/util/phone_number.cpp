#include "framework/util/phone_number.h"

#include <set>

#include "framework/util/files.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The number a list member stands for: a string as it is, or the "Number" of a number
// holder, one level deeper when that is itself a dictionary.
std::optional<std::string> NumberFromObject(const Value& object) {
  Value number = object;
  if (number.isDictionary()) {
    number = number.get("Number");
    if (number.isDictionary()) number = number.get("Number");
  }
  if (!number.isString()) return std::nullopt;
  return number.string();
}

std::set<std::string> NumberSet(const Value& list) {
  std::set<std::string> numbers;
  if (!list.isArray() && !list.isSet()) return numbers;
  for (const Value& member : list.array()) {
    if (auto number = NumberFromObject(member)) numbers.insert(std::move(*number));
  }
  return numbers;
}

}  // namespace

bool QPX_Framework_StringIsPhoneNumber(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (IsDigit(c) || c == '*' || c == '#' || (c == '+' && i == 0)) continue;
    return false;
  }
  return true;
}

std::optional<std::string> QPX_Framework_PhoneNumber_Clean(std::string_view text) {
  std::string kept;
  bool parenthesisTaken = false;  // one "(" per number, and only before anything was kept
  bool parenthesisOpen = false;   // a ")" needs an open "("
  bool afterDigit = false;        // the previous character read was a digit
  bool hasDigit = false;
  for (char c : text) {
    bool digit = IsDigit(c);
    if (c == ' ') {
      // skipped
    } else if (c == '+' && kept.empty()) {
      kept.push_back(c);
    } else if (c == '(' && kept.empty() && !parenthesisTaken) {
      parenthesisTaken = parenthesisOpen = true;
    } else if (digit) {
      kept.push_back(c);
      hasDigit = true;
    } else if ((c == '-' || c == '/') && afterDigit) {
      // dropped
    } else if (c == ')' && afterDigit && parenthesisOpen) {
      parenthesisOpen = false;
    } else {
      break;
    }
    afterDigit = digit;
  }
  if (!hasDigit) return std::nullopt;
  return kept;
}

bool QPX_Framework_PhoneNumberArraysAreEqual(const Value& first, const Value& second) {
  std::set<std::string> left = NumberSet(first);
  std::set<std::string> right = NumberSet(second);
  while (!left.empty()) {
    std::string x = *left.begin();
    bool found = false;
    for (auto it = right.begin(); it != right.end();) {
      if (QPX_Framework_SamePhoneNumber(x, *it)) {
        it = right.erase(it);
        found = true;
      } else {
        ++it;
      }
    }
    if (!found) return false;
    for (auto it = left.begin(); it != left.end();) {
      if (QPX_Framework_SamePhoneNumber(x, *it))
        it = left.erase(it);
      else
        ++it;
    }
  }
  return right.empty();
}
