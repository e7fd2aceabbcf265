#include "platform/clock.h"

#include <time.h>

namespace platform {

namespace {

double Seconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class SystemClock final : public Clock {
 public:
  double Now() const override { return Seconds(CLOCK_MONOTONIC); }
  double WallNow() const override { return Seconds(CLOCK_REALTIME); }
};

}  // namespace

std::shared_ptr<Clock> Clock::System() {
  static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

}  // namespace platform
