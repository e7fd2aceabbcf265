#include "devices/device_hooks.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "framework/core/log.h"

namespace {

struct Hooks {
  std::mutex mutex;
  platform::RunLoop* mainLoop = nullptr;
  std::thread::id mainThread;
  QPX_Framework_Devices_PrivilegedExecutor privileged;
  QPX_Framework_Devices_ProgressHook progress;
  std::function<void()> launchAppForDevice;
};

Hooks& TheHooks() {
  static Hooks hooks;
  return hooks;
}

}  // namespace

void QPX_Framework_Devices_BindMainThread(platform::RunLoop& loop) {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  hooks.mainLoop = &loop;
  hooks.mainThread = std::this_thread::get_id();
}

void QPX_Framework_Devices_UnbindMainThread() {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  hooks.mainLoop = nullptr;
  hooks.mainThread = std::thread::id();
}

platform::RunLoop* QPX_Framework_Devices_MainRunLoop() {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  return hooks.mainLoop;
}

bool QPX_Framework_Devices_IsMainThread() {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  return hooks.mainLoop != nullptr && hooks.mainThread == std::this_thread::get_id();
}

void QPX_Framework_Devices_PerformOnMain(std::function<void()> function) {
  platform::RunLoop* loop = QPX_Framework_Devices_MainRunLoop();
  if (!loop) {
    QPX_Log(QPX_LOG_ERROR, "The device layer has no main thread; a call is dropped");
    return;
  }
  loop->Post(std::move(function));
}

void QPX_Framework_Devices_SetPrivilegedExecute(QPX_Framework_Devices_PrivilegedExecutor executor) {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  hooks.privileged = std::move(executor);
}

Value QPX_Framework_Devices_PrivilegedExecute(const Value& request) {
  QPX_Framework_Devices_PrivilegedExecutor executor;
  {
    Hooks& hooks = TheHooks();
    std::lock_guard<std::mutex> hold(hooks.mutex);
    executor = hooks.privileged;
  }
  if (!executor) {
    QPX_Log(QPX_LOG_ERROR, "No privileged process for \"%s\"", request.get("Command").string().c_str());
    return Value();
  }
  return executor(request);
}

void QPX_Framework_Devices_SetProgressHook(QPX_Framework_Devices_ProgressHook hook) {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  hooks.progress = std::move(hook);
}

QPX_Framework_Devices_ProgressHook QPX_Framework_Devices_GetProgressHook() {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  return hooks.progress;
}

void QPX_Framework_Devices_SetLaunchAppForDeviceHook(std::function<void()> hook) {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  hooks.launchAppForDevice = std::move(hook);
}

std::function<void()> QPX_Framework_Devices_GetLaunchAppForDeviceHook() {
  Hooks& hooks = TheHooks();
  std::lock_guard<std::mutex> hold(hooks.mutex);
  return hooks.launchAppForDevice;
}

Value QPX_Framework_DeviceTimer_Value(std::shared_ptr<platform::Timer> timer) {
  if (!timer) return Value();
  return Value::Object(std::make_shared<QPX_Framework_DeviceTimer>(std::move(timer)));
}

std::shared_ptr<QPX_Framework_DeviceTimer> QPX_Framework_DeviceTimer_From(const Value& value) {
  return value.objectAs<QPX_Framework_DeviceTimer>();
}
