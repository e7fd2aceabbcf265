// Synchronous command round trip between two worker threads, beside the floor it is built
// on: a bare two-thread hand-off through a mutex and a condition variable, measured in the
// same run. Each iteration is timed on its own, so the median and the 99th percentile of the
// round trip are reported as counters (microseconds); at the end, the median and 99th
// percentile over every sample of the run are printed for both, with the ratio of medians.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/core/thread.h"

namespace {

// Every sample of the run, over all repetitions.
std::vector<double> allCommand;
std::vector<double> allBare;

class EchoThread : public QPX_Framework_Thread {
 public:
  EchoThread() { on("Echo", &EchoThread::Echo); }

 private:
  Value Echo(const Value& command) { return command.get("Value"); }
};

// Median and 99th percentile (seconds) of unsorted samples.
std::pair<double, double> Percentiles(std::vector<double>& samples) {
  if (samples.empty()) return {0, 0};
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]};
}

// Reports the samples as microsecond counters and keeps them for the summary.
void Report(benchmark::State& state, std::vector<double>& samples, std::vector<double>& all) {
  all.insert(all.end(), samples.begin(), samples.end());
  auto [median, p99] = Percentiles(samples);
  state.counters["median_us"] = median * 1e6;
  state.counters["p99_us"] = p99 * 1e6;
}

void BM_CommandRoundTrip(benchmark::State& state) {
  // The benchmark's thread becomes a worker thread, so the sender is one too.
  auto sender = std::make_shared<QPX_Framework_Thread>();
  sender->_QPX_Framework_Thread_Wrap("Bench Sender");
  auto target = std::make_shared<EchoThread>();
  if (!target->QPX_Framework_Thread_Launch()) {
    state.SkipWithError("launch failed");
    sender->_QPX_Framework_Thread_Unwrap();
    return;
  }
  const Value command = QPX_Framework_MakeCommand("Echo", {{"Value", 42}});
  std::vector<double> samples;
  samples.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Value reply = target->QPX_Framework_Thread_RunCommand(command);
    const auto end = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(reply);
    const double seconds = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(seconds);
    samples.push_back(seconds);
  }
  target->QPX_Framework_Thread_Quit();
  target->WaitUntilFinished();
  sender->_QPX_Framework_Thread_Unwrap();
  Report(state, samples, allCommand);
}

void BM_BareHandOffRoundTrip(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable requested, answered;
  bool request = false, answer = false, stop = false;
  int value = 0;
  std::thread responder([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      requested.wait(lock, [&] { return request || stop; });
      if (stop) return;
      request = false;
      ++value;
      answer = true;
      answered.notify_one();
    }
  });
  std::vector<double> samples;
  samples.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    {
      std::unique_lock<std::mutex> lock(mutex);
      request = true;
      requested.notify_one();
      answered.wait(lock, [&] { return answer; });
      answer = false;
    }
    const auto end = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(seconds);
    samples.push_back(seconds);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  requested.notify_one();
  responder.join();
  benchmark::DoNotOptimize(value);
  Report(state, samples, allBare);
}

BENCHMARK(BM_CommandRoundTrip)->UseManualTime();
BENCHMARK(BM_BareHandOffRoundTrip)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto [commandMedian, commandP99] = Percentiles(allCommand);
  auto [bareMedian, bareP99] = Percentiles(allBare);
  if (commandMedian > 0 && bareMedian > 0) {
    std::printf(
        "All samples: command round trip median %.2f us, p99 %.2f us; bare hand-off median %.2f us, "
        "p99 %.2f us; ratio of medians %.2f\n",
        commandMedian * 1e6, commandP99 * 1e6, bareMedian * 1e6, bareP99 * 1e6, commandMedian / bareMedian);
  }
  return 0;
}
