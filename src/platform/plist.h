#pragma once
// Reading and writing property lists (XML and binary) through libplist, converting to and
// from Value with no loss: every property-list kind, nesting, Unicode, dates, data, 64-bit
// signed and unsigned integers, reals and booleans. Values of the object kind cannot be
// written: they are skipped with a logged error. What the formats themselves cannot hold:
// XML dates have whole seconds (binary ones keep the double), XML has no negative zero,
// and text stops at a NUL character (logged when written). A set is written as an array.
//
// Input from outside is never trusted: malformed, cyclic, too deeply nested (over 512
// containers) or explosively shared input gives an empty result, never a crash.

#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace platform::plist {

enum class Format { Xml, Binary };

// Parses XML or binary (recognised by content). Empty on malformed input.
std::optional<Value> Parse(std::string_view bytes);
std::optional<Value> ReadFile(const std::string& path);

std::string Serialize(const Value& value, Format format);
std::string ToXml(const Value& value);
std::string ToBinary(const Value& value);

// Writes to a temporary file in the same folder and renames it over the target, so a
// reader sees the old file or the new one, never half of one. False on failure (errno kept).
bool WriteFileAtomically(const std::string& path, const Value& value, Format format = Format::Xml,
                         unsigned mode = 0644);

}  // namespace platform::plist
