#include "devices/closer_thread.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "framework/core/globals.h"
#include "framework/core/log.h"

namespace {

std::atomic<double> g_closeDelay{1.0};

// The queue and its thread, made on first use and kept for the life of the process.
struct Closer {
  std::mutex mutex;
  std::condition_variable queued;
  // A set: a number queued twice before the closer gets to it is closed once.
  std::set<int> queue;

  Closer() {
    std::thread([this] { Run(); }).detach();
  }

  [[noreturn]] void Run() {
    QPX_Framework_SetThreadName(std::string("Closer"));
    for (;;) {
      int fd = -1;
      {
        std::unique_lock<std::mutex> hold(mutex);
        queued.wait(hold, [this] { return !queue.empty(); });
        fd = *queue.begin();
        queue.erase(queue.begin());
      }
      const double delay = g_closeDelay.load();
      if (delay > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      QPX_Log(QPX_LOG_TRACE, "About to close filehandle %d", fd);
      if (::close(fd) == 0)
        QPX_Log(QPX_LOG_TRACE, "Closed filehandle %d", fd);
      else
        QPX_Log(QPX_LOG_TRACE, "Failed to close filehandle %d: %s", fd, std::strerror(errno));
    }
  }
};

Closer& TheCloser() {
  static Closer* closer = [] {
    std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
    return new Closer;
  }();
  return *closer;
}

}  // namespace

void QPX_Framework_CloserThread::CloseHandle(int fd) {
  Closer& closer = TheCloser();
  {
    std::lock_guard<std::mutex> hold(closer.mutex);
    closer.queue.insert(fd);
  }
  closer.queued.notify_one();
}

double QPX_Framework_CloserThread::SetCloseDelay(double seconds) { return g_closeDelay.exchange(seconds); }

std::size_t QPX_Framework_CloserThread::PendingCount() {
  Closer& closer = TheCloser();
  std::lock_guard<std::mutex> hold(closer.mutex);
  return closer.queue.size();
}
