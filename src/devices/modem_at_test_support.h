#pragma once
// Test support of the AT engine: an AT modem thread on a simulated modem (two
// pseudo-terminals), and client worker threads that run test code on themselves, as the
// modules that use the engine do.

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devices/at_command.h"
#include "devices/closer_thread.h"
#include "devices/device_record.h"
#include "devices/device_thread.h"
#include "devices/modem_at.h"
#include "devices/serial_port.h"
#include "framework/core/storage.h"
#include "framework/core/thread.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "testing/modem_sim/modem_sim.h"

namespace at_testing {

// The open descriptors, by number.
inline std::set<int> OpenDescriptors() {
  std::set<int> fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::atoi(entry->d_name);
      if (fd != own) fds.insert(fd);
    }
    closedir(dir);
  }
  return fds;
}
// Descriptors open now that were not open before (after the closer has caught up).
inline std::set<int> NewDescriptors(const std::set<int>& before) {
  std::set<int> added;
  for (int round = 0; round < 1000; ++round) {
    added.clear();
    for (int fd : OpenDescriptors())
      if (!before.count(fd)) added.insert(fd);
    if (added.empty() && QPX_Framework_CloserThread::PendingCount() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return added;
}
// The system threads of the process, by ID. Compared as sets, not counted: threads of earlier
// tests may still be ending while a test runs, and IDs are not reused that soon.
inline std::set<int> SystemThreadIDs() {
  std::set<int> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
    closedir(dir);
  }
  return ids;
}
// Threads running now that were not running before.
inline std::set<int> NewSystemThreads(const std::set<int>& before) {
  std::set<int> added;
  for (int id : SystemThreadIDs())
    if (!before.count(id)) added.insert(id);
  return added;
}

// Waits (bounded) for a condition that other threads bring about.
template <class Condition>
bool WaitFor(Condition condition, double seconds = 20.0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A worker thread that runs test code on itself with a current modem.
class Client final : public QPX_Framework_Thread {
 public:
  static std::shared_ptr<Client> Start(const QPX_Framework_StoragePtr& modem) {
    auto client = std::make_shared<Client>();
    EXPECT_TRUE(client->QPX_Framework_Thread_Launch());
    client->Run([modem] { QPX_Framework_SetModem(modem); });
    return client;
  }
  ~Client() override = default;

  // Runs the function on the client thread and waits for it.
  template <class F>
  auto Run(F function) -> decltype(function()) {
    using Result = decltype(function());
    if constexpr (std::is_void_v<Result>) {
      PerformSelector([&] { function(); }, true);
    } else {
      Result result{};
      PerformSelector([&] { result = function(); }, true);
      return result;
    }
  }
  // Runs the function on the client thread; the future ends when it has.
  template <class F>
  auto Async(F function) -> std::future<decltype(function())> {
    using Result = decltype(function());
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = promise->get_future();
    PerformSelector(
        [promise, function]() mutable {
          if constexpr (std::is_void_v<Result>) {
            function();
            promise->set_value();
          } else {
            promise->set_value(function());
          }
        },
        false);
    return future;
  }
  void Stop() {
    QPX_Framework_Thread_Quit();
    WaitUntilFinished();
  }
};

// The texts of a reply's "Response" lines.
inline std::vector<std::string> Lines(const Value& reply) {
  std::vector<std::string> lines;
  const Value response = reply.isArray() ? reply : reply.get("Response");
  for (const Value& line : response.array()) {
    const auto& bytes = line.data();
    std::string text(bytes.begin(), bytes.end());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    lines.push_back(text);
  }
  return lines;
}

// An AT modem thread started on a simulated modem, without the USB side of the device
// layer: the record has the two port paths, as the port watcher leaves them.
class ModemUnderTest {
 public:
  // `beforeLaunch` runs with the modem node before the modem thread starts.
  explicit ModemUnderTest(modem_sim::Options options = {}, bool manualClock = true,
                          const std::function<void(const QPX_Framework_StoragePtr&)>& beforeLaunch = nullptr)
      : sim(std::move(options)), clock(std::make_shared<platform::ManualClock>()) {
    static std::atomic<int> serial{0};
    const int number = serial++;
    record = QPX_Framework_DeviceRecord::Make(Value{
        {"Key", Value("Simulated Modem " + std::to_string(number))},
        {"Application Port", Value(sim.PortPath(0))},
        {"Modem Port", Value(sim.PortCount() > 1 ? sim.PortPath(1) : std::string())},
    });
    char name[32];
    std::snprintf(name, sizeof name, "test%08x", number);
    node = QPX_Framework_Storage_CreateNode(std::string("/Modems/") + name);
    record->Set("Modem ID", Value(node->GetPath()));
    record->Set("Modem Storage", Value::Object(node));
    node->setObject(record->AsValue(), "Modem Device");
    thread = std::make_shared<QPX_Framework_Thread_Modem>();
    if (manualClock) {
      thread->SetClock(clock);
      thread->SetSleeper([clock = clock](double seconds) { clock->Advance(seconds); });
    }
    thread->SetRandomSeed(12345);
    if (beforeLaunch) beforeLaunch(node);
    EXPECT_TRUE(thread->QPX_Framework_Thread_Modem_Init(record));
    launched = thread->QPX_Framework_Thread_Launch();
    EXPECT_TRUE(launched);
  }
  // Ends the modem thread and every per-device thread it started. The modem thread only asks
  // those to quit; waiting for them too keeps their clean-up out of the next test.
  ~ModemUnderTest() {
    // A waiting perform runs once the thread is in its run loop, after it launched its
    // per-device threads (released at once when the thread has ended already).
    thread->PerformSelector([] {}, true);
    std::vector<std::shared_ptr<QPX_Framework_Thread>> perDevice;
    for (const Value& entry : record->Get("Per Device Threads").array())
      if (auto module = entry.objectAs<QPX_Framework_Thread>()) perDevice.push_back(std::move(module));
    thread->QPX_Framework_Thread_Quit();
    thread->WaitUntilFinished();
    for (const auto& module : perDevice) {
      module->QPX_Framework_Thread_Quit();
      module->WaitUntilFinished();
    }
  }

  modem_sim::Modem sim;
  std::shared_ptr<platform::ManualClock> clock;
  QPX_Framework_DeviceRecordPtr record;
  QPX_Framework_StoragePtr node;
  std::shared_ptr<QPX_Framework_Thread_Modem> thread;
  bool launched = false;
};

// Storage, "/Modems" and a closer that does not wait: what every engine test needs.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    ASSERT_TRUE(QPX_Framework_DeviceThread_Base::QPX_Framework_Init("QPX_Framework_Thread_Modem"));
    QPX_Framework_PerDeviceClasses_Clear();
    savedCloseDelay_ = QPX_Framework_CloserThread::SetCloseDelay(0);
    // The process-wide threads (and their descriptors) exist before a test counts anything.
    ASSERT_TRUE(_QPX_Framework_SerialPort::QPX_Framework_Init());
    QPX_Framework_CloserThread::PendingCount();
    platform::RunLoop::Current();
  }
  void TearDown() override { QPX_Framework_CloserThread::SetCloseDelay(savedCloseDelay_); }

 private:
  double savedCloseDelay_ = 0;
};

}  // namespace at_testing
