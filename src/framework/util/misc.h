#pragma once
// Small helpers with one job each: quoting a path for a command line shown to people,
// branch-specific resource files, the build time as text, merging and deep-copying property
// lists, the modem's disconnect ability, visible NUL characters, Base64, the system uptime
// and the UTF-8 checks the other helpers share. They keep no state beyond the few values
// made once per process named below, and may be called on any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

class QPX_Framework_Storage;

// --- Command lines shown to people ---------------------------------------------------------

// The path as one shell word: in single quotes, each embedded "'" written as '\'' . Every
// byte stands for itself inside, so a name holding blanks, ";", "$()", backquotes or line
// breaks stays one word. Only for display and logs: programs are started with argument
// vectors (process.h), never through a shell.
std::string QPX_Framework_SystemFilename(std::string_view path);

// --- Resource branches -----------------------------------------------------------------------

// The preference "QPX Resource Branch", read once per process; none when it is missing.
// A value that is not a string is logged and counts as no branch.
std::optional<std::string> QPX_Framework_GetResourceBranch();
// With a branch, "<folder>/[<branch>] <file name>" when a file exists there, else the path
// itself.
std::string QPX_Framework_ResourceBranchName(const std::string& path);
// Forgets the branch read before, so the next call reads the preference again (tests).
void _QPX_Framework_ResourceBranch_Reset();

// --- Build time ------------------------------------------------------------------------------

// The build time of the application information ("QPX Build Time") as "yyMMdd.HHmmss" in
// UTC, whatever the user's locale and time zone. Made once; empty while start-up has not
// read a build time yet.
std::string QPX_Framework_BuildTime_Compat();
// The same form for any moment (seconds since 1970).
std::string QPX_Framework_BuildTimeText(double unixTime);
// Forgets the text made before (tests).
void _QPX_Framework_BuildTime_Reset();

// --- Property lists --------------------------------------------------------------------------

// Merges the overrides into the target, key by key: a value that is not a dictionary
// replaces the target's; a dictionary is merged into the target's dictionary by the same
// rules, or stored as it is when the target has none there. A null target becomes a
// dictionary; overrides that are not a dictionary, or a target that is another kind, are
// programming errors.
void QPX_Framework_DictionaryOverride(Value& target, const Value& overrides);

// A copy that shares no container with the original: dictionaries, arrays and sets are
// rebuilt member by member; strings, data, numbers and dates are copied; objects stay the
// same object.
Value QPX_Framework_PList_MutableDeepCopy(const Value& value);

// --- Modems ----------------------------------------------------------------------------------

// True exactly when the node's "QPX Disconnect Ability" is the integer 2 (the modem can be
// disconnected). No node, no value, or any other value: false.
bool QPX_Framework_Modem_DisconnectOnQuit(const std::shared_ptr<QPX_Framework_Storage>& modem);

// --- Text ------------------------------------------------------------------------------------

// Every U+0000 replaced by U+2400, the visible symbol for NUL.
std::string QPX_Framework_String_ReplaceNul(std::string_view text);

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or code points
// above U+10FFFF).
bool QPX_Framework_IsValidUTF8(std::string_view bytes);
// UTF-16 code units of a UTF-8 text, the units in which text lengths are counted. A byte
// that starts no valid sequence stands for U+FFFD.
std::u16string QPX_Framework_UTF8ToUTF16(std::string_view text);

// Base64 (RFC 4648 standard alphabet, "=" padding, no line breaks).
std::string QPX_Framework_Base64_Encode(const std::uint8_t* bytes, std::size_t length);
std::string QPX_Framework_Base64_Encode_String(std::string_view text);

// --- System ----------------------------------------------------------------------------------

// Seconds since the system started (suspended time included); 0.0 when it cannot be read.
double QPX_Framework_GetSystemUptime();
