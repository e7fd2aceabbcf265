// Commands per second through the AT engine (QPX_Framework_Modem_RunCommand of "AT",
// answered "OK" at once by the modem simulator) beside a bare write/read round trip on the
// same kind of pseudo-terminal with the same simulator, in the same run.
//
//   build/bench/at_engine_bench
//
// The engine's road is longer (client thread -> modem thread -> serial-port thread -> tty
// and back); the goal is at least half the bare rate.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "devices/at_command.h"
#include "devices/closer_thread.h"
#include "devices/device_record.h"
#include "devices/device_thread.h"
#include "devices/modem_at.h"
#include "framework/core/storage.h"
#include "framework/core/thread.h"
#include "testing/modem_sim/modem_sim.h"

namespace {

// Reads from the descriptor until the text ends with `until`.
bool ReadUntil(int fd, const std::string& until, std::string& buffer) {
  buffer.clear();
  char bytes[256];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    ssize_t n = read(fd, bytes, sizeof bytes);
    if (n <= 0) return false;
    buffer.append(bytes, static_cast<std::size_t>(n));
    if (buffer.size() >= until.size() &&
        buffer.compare(buffer.size() - until.size(), until.size(), until) == 0)
      return true;
  }
}

void BM_BareRoundTrip(benchmark::State& state) {
  modem_sim::Modem modem;
  int fd = open(modem.PortPath(0).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);
  std::string buffer;
  for (auto _ : state) {
    if (write(fd, "AT\r", 3) != 3 || !ReadUntil(fd, "OK\r\n", buffer)) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
}

void BM_EngineRunCommand(benchmark::State& state) {
  QPX_Framework_Storage::QPX_Framework_Init();
  QPX_Framework_DeviceThread_Base::QPX_Framework_Init("QPX_Framework_Thread_Modem");
  QPX_Framework_CloserThread::SetCloseDelay(0);
  modem_sim::Modem modem;

  auto record = QPX_Framework_DeviceRecord::Make(Value{{"Key", Value("Bench Modem")},
                                                       {"Application Port", Value(modem.PortPath(0))},
                                                       {"Modem Port", Value(modem.PortPath(1))}});
  auto node = QPX_Framework_Storage_CreateNode("/Modems/bench");
  record->Set("Modem ID", Value(node->GetPath()));
  record->Set("Modem Storage", Value::Object(node));
  node->setObject(record->AsValue(), "Modem Device");
  auto thread = std::make_shared<QPX_Framework_Thread_Modem>();
  thread->QPX_Framework_Thread_Modem_Init(record);
  if (!thread->QPX_Framework_Thread_Launch()) {
    state.SkipWithError("modem thread did not start");
    return;
  }

  // The benchmark's own thread becomes a worker thread, as every client of the engine is.
  auto self = std::make_shared<QPX_Framework_Thread>();
  self->_QPX_Framework_Thread_Wrap("AT Bench Client");
  QPX_Framework_SetModem(node);
  for (auto _ : state) {
    if (!QPX_Framework_Modem_RunCommand_Simple("AT")) {
      state.SkipWithError("command failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  QPX_Framework_SetModem(nullptr);
  self->_QPX_Framework_Thread_Unwrap();
  thread->QPX_Framework_Thread_Quit();
  thread->WaitUntilFinished();
}

BENCHMARK(BM_BareRoundTrip)->UseRealTime();
BENCHMARK(BM_EngineRunCommand)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
