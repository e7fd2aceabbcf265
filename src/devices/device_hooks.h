#pragma once
// What the device layer needs from its surroundings: the main thread it lives on (all
// device notifications, records and timers belong there), the privileged process (driver
// loads, the web-interface switch) and the project object's optional hooks. The layers
// above install them; without them the device layer still runs and says so in the log.

#include <functional>
#include <memory>
#include <string>

#include "platform/run_loop.h"
#include "platform/value.h"

// --- The main thread ---

// Makes the calling thread the device layer's main thread, with its run loop. The device
// manager binds the thread that creates it; tests bind their own.
void QPX_Framework_Devices_BindMainThread(platform::RunLoop& loop);
// Forgets the binding (tests).
void QPX_Framework_Devices_UnbindMainThread();
// The main run loop, or null before binding.
platform::RunLoop* QPX_Framework_Devices_MainRunLoop();
// True on the bound main thread.
bool QPX_Framework_Devices_IsMainThread();
// Runs the function on the main thread at its next run-loop turn, without waiting (dropped,
// and logged, before binding).
void QPX_Framework_Devices_PerformOnMain(std::function<void()> function);

// --- The privileged process ---

using QPX_Framework_Devices_PrivilegedExecutor = std::function<Value(const Value& request)>;
// The application frame installs QPX_Framework_Privileged_Execute here.
void QPX_Framework_Devices_SetPrivilegedExecute(QPX_Framework_Devices_PrivilegedExecutor executor);
// Runs a request synchronously; null (logged) when no privileged process is available.
Value QPX_Framework_Devices_PrivilegedExecute(const Value& request);

// --- Optional hooks of the project object ---

// QPX_Framework_Device_Progress:Info: (code, information); empty: not implemented.
using QPX_Framework_Devices_ProgressHook = std::function<void(int code, const Value& info)>;
void QPX_Framework_Devices_SetProgressHook(QPX_Framework_Devices_ProgressHook hook);
QPX_Framework_Devices_ProgressHook QPX_Framework_Devices_GetProgressHook();
// LaunchAppForDevice (heavy launcher); empty: not implemented.
void QPX_Framework_Devices_SetLaunchAppForDeviceHook(std::function<void()> hook);
std::function<void()> QPX_Framework_Devices_GetLaunchAppForDeviceHook();

// --- Timers kept in records ---

// A run-loop timer as a record value.
class QPX_Framework_DeviceTimer final : public platform::ValueObject {
 public:
  explicit QPX_Framework_DeviceTimer(std::shared_ptr<platform::Timer> timer) : timer_(std::move(timer)) {}
  const std::shared_ptr<platform::Timer>& timer() const { return timer_; }
  void Invalidate() {
    if (timer_) timer_->Invalidate();
  }
  bool IsValid() const { return timer_ && timer_->IsValid(); }
  std::string Description() const override { return IsValid() ? "<timer>" : "<invalid timer>"; }

 private:
  std::shared_ptr<platform::Timer> timer_;
};
Value QPX_Framework_DeviceTimer_Value(std::shared_ptr<platform::Timer> timer);
std::shared_ptr<QPX_Framework_DeviceTimer> QPX_Framework_DeviceTimer_From(const Value& value);
