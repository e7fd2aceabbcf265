#include "devices/closer_thread.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <deque>
#include <thread>

#include "framework/core/globals.h"
#include "framework/core/log.h"

namespace {

std::atomic<double> g_closeDelay{1.0};

// The queue and its thread, made on first use and kept for the life of the process.
// Descriptors are closed in the order they came, each one the delay after it was queued
// (not one delay after the previous close, which would hold N descriptors for N delays).
struct Closer {
  using Clock = std::chrono::steady_clock;
  struct Pending {
    int fd;
    Clock::time_point due;
  };

  std::mutex mutex;
  std::condition_variable queued;
  std::deque<Pending> queue;

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
        // Only the head can be due first: later entries were queued later.
        while (Clock::now() < queue.front().due) queued.wait_until(hold, queue.front().due);
        fd = queue.front().fd;
        queue.pop_front();
      }
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
    // A number queued twice before it was closed is closed once.
    for (const Closer::Pending& pending : closer.queue)
      if (pending.fd == fd) return;
    const auto delay = std::chrono::duration_cast<Closer::Clock::duration>(
        std::chrono::duration<double>(std::max(0.0, g_closeDelay.load())));
    closer.queue.push_back({fd, Closer::Clock::now() + delay});
  }
  closer.queued.notify_one();
}

double QPX_Framework_CloserThread::SetCloseDelay(double seconds) { return g_closeDelay.exchange(seconds); }

std::size_t QPX_Framework_CloserThread::PendingCount() {
  Closer& closer = TheCloser();
  std::lock_guard<std::mutex> hold(closer.mutex);
  return closer.queue.size();
}
