#include "platform/disk.h"

#include <cstdio>
#include <mutex>

#include "platform/device_sim.h"

namespace platform::disk {

namespace {
std::mutex& SessionMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<Session>& InstalledSession() {
  static std::shared_ptr<Session> session;
  return session;
}
}  // namespace

std::string DissentText(const Dissent& dissent) {
  if (!dissent.text.empty()) return dissent.text;
  switch (dissent.status) {
    case kDAReturnBusy:
      return "Resource busy";
    case kDAReturnExclusiveAccess:
      return "Exclusive access";
    case kDAReturnNotFound:
      return "No such disk";
    default: {
      char text[48];
      std::snprintf(text, sizeof text, "Error 0x%08x", static_cast<unsigned>(dissent.status));
      return text;
    }
  }
}

std::shared_ptr<Session> CurrentSession() {
  std::lock_guard<std::mutex> hold(SessionMutex());
  if (!InstalledSession()) InstalledSession() = SimulatedDevices::Shared();
  return InstalledSession();
}

void SetSession(std::shared_ptr<Session> session) {
  std::lock_guard<std::mutex> hold(SessionMutex());
  InstalledSession() = std::move(session);
}

}  // namespace platform::disk
