#pragma once
// Process-wide objects every subsystem uses. They exist from the start of the process, so
// nothing reads them half made, whatever runs first.

#include <mutex>

#include "platform/value.h"

// The process-wide recursive lock. It guards only the one-time creation of lazily made
// process-wide objects (cached paths, caches, locks), never long work.
std::recursive_mutex& QPX_Framework_GlobalMutex();

// One shared true value, stored wherever a true flag is needed (thread dictionaries, settings).
extern const Value QPX_Framework_ConstantYES;
// The one character U+00A0, UTF-8 encoded.
extern const char* const QPX_Framework_String_NonBreakingSpace;
// The run-loop modes in which delayed calls must also run while a menu or a drag is tracked.
extern const Value QPX_Framework_CommonRunLoopModes;

// Key of the main thread's mark in its thread dictionary.
extern const char* const _QPX_Framework_MainThread_Key;  // "Is Main Thread"

// Marks the calling thread as the main thread.
void _QPX_Framework_MarkMainThread();
