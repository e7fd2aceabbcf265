#pragma once
// Per-thread state: the thread dictionary (names such as "Is Main Thread", "QPX-ThreadName",
// "QPX Current Modem" live there as Values) and a slot for the worker thread that owns the
// calling system thread.

#include <memory>

#include "platform/value.h"

namespace platform {

struct ThreadContext {
  Value dictionary = Value::EmptyDictionary();
  // The worker-thread object running on this system thread, when there is one.
  std::weak_ptr<ValueObject> worker;
};

// The calling thread's context.
ThreadContext& CurrentThreadContext();

}  // namespace platform
