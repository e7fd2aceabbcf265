#include "framework/core/globals.h"

#include "platform/thread_context.h"

std::recursive_mutex& QPX_Framework_GlobalMutex() {
  // A function-local static exists from its first use on, before any start-up step ran.
  static std::recursive_mutex mutex;
  return mutex;
}

const Value QPX_Framework_ConstantYES(true);
const char* const QPX_Framework_String_NonBreakingSpace = "\u00A0";
const Value QPX_Framework_CommonRunLoopModes(Value::Array{Value("kCFRunLoopCommonModes")});

const char* const _QPX_Framework_MainThread_Key = "Is Main Thread";

void _QPX_Framework_MarkMainThread() {
  platform::CurrentThreadContext().dictionary.set(_QPX_Framework_MainThread_Key, QPX_Framework_ConstantYES);
}
