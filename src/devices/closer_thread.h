#pragma once
// The closer: closes file descriptors away from the threads that used them. A serial port
// that goes away hands its descriptor here; the descriptor stays open one more second (so a
// select() still running on another thread never sees it reused), then it is closed on the
// closer's own system thread, which lives as long as the process.

#include <cstddef>

class QPX_Framework_CloserThread {
 public:
  // Queues the descriptor; the closer is made on first use. A number queued again before it
  // was closed is closed once.
  static void CloseHandle(int fd);

  // The pause before each close (1 s). Tests shorten it; answers the old value.
  static double SetCloseDelay(double seconds);
  // How many descriptors are waiting (tests).
  static std::size_t PendingCount();
};
