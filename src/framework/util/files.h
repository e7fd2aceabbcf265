#pragma once
// Independent helpers every subsystem calls from any thread: product options, safe file
// names, local users, removing and listing folders, property-list bytes and files, deep
// comparison of records, phone-number and object comparison, unique identifiers and the
// names of kernel return codes. Running other programs is in process.h.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace platform {
class Clock;
}
class QPX_Framework_Storage;

// --- Options ---------------------------------------------------------------------------------

// The product option: the key of the bundle's "QPX Options" first, then the user's
// persistent settings ("/User Defaults"); null when neither has it.
Value QPX_Framework_Option_Get(std::string_view key);
// The option as a flag; the default when there is none. A value that is not a number is a
// programming error when the bundle holds it; from the user's settings it is logged and
// the default is used.
bool QPX_Framework_Option_GetBool(std::string_view key, bool defaultValue);

// --- File names and folders ------------------------------------------------------------------

// True when every "/"-separated part is non-empty, not "." or "..", and made of ASCII
// letters, digits, blank, "_", "." and "-" only; without allowDirs there must be one part.
// So absolute paths, "//" and a trailing "/" are refused.
bool QPX_Framework_CheckSafeFilename(std::string_view path, bool allowDirs);

// The local users: a set of records {"name", "uid", "gid", "dir", "shell", "gecos"} (all
// texts), read from the system's user database. Without includeSystemUsers only regular
// accounts (first regular user ID 1000, not "nobody"). Null when the database cannot be read.
Value QPX_Framework_ListUsers(bool includeSystemUsers);

// Removes the file or folder with everything in it; symbolic links are removed, never
// followed. True when the path is gone (also when it never existed); a null or empty path
// gives false. Failures are logged at level 5.
bool QPX_Framework_RemoveDirectory(const char* path);

// The full paths ("<folder>/<entry>") of the regular files in the folder (links followed),
// in directory order. Null when the folder cannot be opened or read.
Value QPX_Framework_ReadDir(const std::string& folder);

// --- Property lists --------------------------------------------------------------------------

// The property list in the bytes (XML or binary); null, logged, when they hold none.
Value QPX_Framework_DecodePList(std::string_view bytes);
// The XML property-list bytes; none, logged, when the value holds something a property list
// cannot (null members, objects, text that is not UTF-8).
std::optional<std::string> QPX_Framework_CreatePList(const Value& plist);
// Writes the XML property list atomically (a reader sees the old file or the new one);
// true when written. An empty path is a programming error.
bool QPX_Framework_WritePList(const Value& plist, const std::string& path);

// --- Comparisons -----------------------------------------------------------------------------

// True when both dictionaries have the same keys with equal values: numbers compare by
// value whatever their kind (1, 1.0 and true are equal), nested dictionaries in depth.
// Arguments that are not dictionaries are programming errors.
bool QPX_Framework_IdenticalDictionaries(const Value& first, const Value& second);

// Two nulls are the same; a null and a value are not; otherwise comparable values are the
// same when they compare equal, other kinds when they are equal in depth.
bool QPX_Framework_SameObject(const Value& first, const Value& second);

// True when the texts denote the same subscriber: equal texts, or, both at least 6
// characters (UTF-16 units) long, what is left after their common tail is a local prefix
// ("" or "0") on one side and a country prefix ("+" and 1 to 5 more) on the other:
// "0301234567" and "+49301234567".
bool QPX_Framework_SamePhoneNumber(std::string_view first, std::string_view second);

// True when the modem node's "QPX CGMI" is that manufacturer text. No node: false.
bool QPX_Framework_IsCGMI(const std::shared_ptr<QPX_Framework_Storage>& modem, std::string_view manufacturer);

// --- Identifiers -----------------------------------------------------------------------------

// "<prefix> <16 lower-case hex digits>" (no prefix: the digits alone) of the current time
// in microseconds since 1970, strictly increasing within the process: an identifier asked
// for in the same microsecond as the last one, or after the clock went back, is the last
// one plus 1.
std::string QPX_Framework_UniqueID(const char* prefix = nullptr);
// The clock the identifiers read (null: the system clock again); also forgets the last
// identifier, so the next one comes from the clock. For tests.
void _QPX_Framework_UniqueID_SetClock(std::shared_ptr<platform::Clock> clock);

// The name of a kernel return code ("kIOReturnNoDevice"), or "0x%08lx" for another code.
std::string QPX_Framework_KernelErrorString(std::uint32_t code);
