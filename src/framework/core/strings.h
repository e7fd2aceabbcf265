#pragma once
// Localized texts. All user-visible text comes from string tables in the bundle, one per
// language ("Resources/<code>.lproj/Strings", a property-list dictionary from decimal ID
// to text), looked up by numeric ID with a fall-back to English. A text may refer to
// another one as "$$<id>$$"; texts from GUI descriptions may name an ID ("STRING:<id>") or
// hold Unicode escapes ("U+00e9;").

#include <optional>
#include <string>

// The language this build falls back to: "en".
extern const char* const QPX_Framework_FallbackLanguage;

// The localized resource file of that name: the first "<language>.lproj/<name>" of the
// user's preferred languages (then the fall-back language, then "en"), else the file of
// that name directly in the resources folder; nullopt when there is none.
std::optional<std::string> QPX_Framework_FilePath(const char* name);
std::optional<std::string> QPX_Framework_FilePathString(const std::string& name);

// The language code of the folder the string table comes from; nullopt when the table lies
// outside a language folder or there is none.
std::optional<std::string> QPX_Framework_Localization_GetStringsLanguage();

// The text of an ID with its references expanded; "???" when no table has it (ID -100:
// the application's display name). Never fails for a valid ID; ID 0 is a programming
// error. The reference stays valid for the life of the process.
const std::string& QPX_Framework_GetString(int stringID);

// The language's numeric ID (text -1) and code (text -2).
int QPX_Framework_LanguageID();
std::string QPX_Framework_LanguageCode();

// The final form of a text from a GUI description: "STRING:<id>" (blanks allowed around the
// parts) gives that string; otherwise "U+<hex>;" escapes are replaced by their character.
std::string QPX_Framework_LocalizedString(const std::string& text);
// The same; null gives nullopt.
std::optional<std::string> QPX_Framework_LocalizedString(const char* text);

// Forgets the loaded tables and expansions, so the next lookup reads the tables of the
// current main bundle again (tests). Texts handed out earlier stay valid.
void _QPX_Framework_Strings_Reset();
