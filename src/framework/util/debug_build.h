#pragma once
// Whether the running bundle is a debug build: the information key "QPX Debug Build" is
// true, or the build ID begins with "DEBUG". Debug builds mark their windows and make some
// soft checks strict.

#include <string>

#include "platform/value.h"

// The main bundle's answer (the start-up's application information and Info.plist).
bool QPX_Framework_IsDebugBuild();
// The rule itself, for a given information dictionary and build ID.
bool QPX_Framework_IsDebugBuild(const Value& info, const std::string& buildID);
