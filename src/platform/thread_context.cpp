#include "platform/thread_context.h"

namespace platform {

ThreadContext& CurrentThreadContext() {
  static thread_local ThreadContext context;
  return context;
}

}  // namespace platform
