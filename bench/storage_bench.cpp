// The storage tree as a state bus, each figure beside the bare limit measured in the same run:
//
// 1. Latency from an element write on one thread to its notice arriving on a subscriber's
//    worker thread (median and 99th percentile), beside a bare two-thread hand-off through a
//    mutex and condition variable and one through an eventfd woken poll(2) (what a worker
//    thread's run loop waits in), taken in turn in the same iterations. The ratio of the
//    medians is printed at the end. Each sample starts 50 us after the previous delivery, so
//    the receiver has gone back to sleep in every variant: a notice usually reaches an idle
//    thread, and a hand-off to a thread still awake would measure no wake-up at all.
// 3. Element writes per second with 0, 1 and 10 subscribers (each on its own worker thread,
//    every notice delivered: the writer lets the subscribers catch up every 1024 writes),
//    beside the bare equivalent: a write into a mutex-guarded map handed to 0, 1 or 10
//    threads through a mutex, a queue and a condition variable each.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/core/storage.h"
#include "framework/core/subscription.h"
#include "framework/core/thread.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

double medianNotice = 0, medianCondvar = 0, medianEventfd = 0;
double p99Notice = 0, p99Condvar = 0, p99Eventfd = 0;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

// Lets the receiver fall asleep again before the next hand-off (time spent here is not
// part of any sample).
void Idle() {
  const std::int64_t until = NowNs() + 50'000;
  while (NowNs() < until) {
  }
}

// Median and 99th percentile of the samples (nanoseconds), in microseconds.
void Summarise(std::vector<std::int64_t>& samples, double& median, double& p99) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  median = static_cast<double>(samples[samples.size() / 2]) / 1e3;
  p99 = static_cast<double>(samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]) / 1e3;
}

// A worker thread that counts its notices and stamps the arrival of the last one.
class CountingSubscriber : public QPX_Framework_Thread {
 public:
  void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr&, const std::string&,
                                             const Value&) override {
    arrivalNs.store(NowNs(), std::memory_order_relaxed);
    received.fetch_add(1, std::memory_order_release);
  }

  // Subscribes on its own thread and waits for the first notice (the current value).
  QPX_Framework_SubscriptionPtr SubscribeTo(const QPX_Framework_StoragePtr& node, const char* element) {
    QPX_Framework_SubscriptionPtr subscription;
    const long before = received.load();
    PerformSelector([&] { subscription = node->Subscribe(element); }, true);
    while (received.load(std::memory_order_acquire) == before) std::this_thread::yield();
    return subscription;
  }

  std::atomic<long> received{0};
  std::atomic<std::int64_t> arrivalNs{0};
};

std::shared_ptr<CountingSubscriber> LaunchSubscriber() {
  auto subscriber = std::make_shared<CountingSubscriber>();
  if (!subscriber->QPX_Framework_Thread_Launch()) return nullptr;
  return subscriber;
}

void Stop(const std::shared_ptr<CountingSubscriber>& subscriber) {
  subscriber->QPX_Framework_Thread_Quit();
  subscriber->WaitUntilFinished();
}

QPX_Framework_StoragePtr BenchNode(const char* name) {
  QPX_Framework_Storage::QPX_Framework_Init();
  return QPX_Framework_Storage_CreateNode(std::string("/Bench/") + name);
}

// ---- 1. Write to notice ----------------------------------------------------------------

// The bare hand-offs: the sender stamps, hands over, and waits until the receiver has stamped.
class CondvarReceiver {
 public:
  CondvarReceiver()
      : thread_([this] {
          long last = 0;
          std::unique_lock<std::mutex> lock(mutex_);
          for (;;) {
            changed_.wait(lock, [&] { return stop_ || sent_ != last; });
            if (stop_) return;
            last = sent_;
            arrival_.store(NowNs(), std::memory_order_relaxed);
            seen_.store(last, std::memory_order_release);
          }
        }) {}
  ~CondvarReceiver() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stop_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  std::int64_t HandOff() {
    const std::int64_t start = NowNs();
    long n;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      n = ++sent_;
    }
    changed_.notify_one();
    while (seen_.load(std::memory_order_acquire) < n) {
    }
    return arrival_.load(std::memory_order_relaxed) - start;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long sent_ = 0;
  bool stop_ = false;
  std::atomic<long> seen_{0};
  std::atomic<std::int64_t> arrival_{0};
  std::thread thread_;
};

class EventfdReceiver {
 public:
  EventfdReceiver()
      : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), thread_([this] {
          long count = 0;
          while (!stop_.load()) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, -1) <= 0) continue;
            std::uint64_t value = 0;
            if (read(fd_, &value, sizeof value) != sizeof value) continue;
            arrival_.store(NowNs(), std::memory_order_relaxed);
            count += static_cast<long>(value);
            seen_.store(count, std::memory_order_release);
          }
        }) {}
  ~EventfdReceiver() {
    stop_.store(true);
    Signal();
    thread_.join();
    close(fd_);
  }
  std::int64_t HandOff() {
    const std::int64_t start = NowNs();
    const long n = ++sent_;
    Signal();
    while (seen_.load(std::memory_order_acquire) < n) {
    }
    return arrival_.load(std::memory_order_relaxed) - start;
  }

 private:
  void Signal() {
    const std::uint64_t one = 1;
    if (write(fd_, &one, sizeof one) != sizeof one) std::perror("eventfd");
  }

  int fd_;
  long sent_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long> seen_{0};
  std::atomic<std::int64_t> arrival_{0};
  std::thread thread_;
};

// The three are measured in turn within each iteration, so all of them meet the same load
// on the machine; each sample starts with an idle receiver.
void BM_WriteToNotice(benchmark::State& state) {
  const QPX_Framework_StoragePtr node = BenchNode("latency");
  auto subscriber = LaunchSubscriber();
  if (!subscriber) {
    state.SkipWithError("launch failed");
    return;
  }
  {
    CondvarReceiver condvar;
    EventfdReceiver eventfd;
    auto subscription = subscriber->SubscribeTo(node, "x");
    std::vector<std::int64_t> notice, bareCondvar, bareEventfd;
    notice.reserve(1 << 16);
    bareCondvar.reserve(1 << 16);
    bareEventfd.reserve(1 << 16);
    std::int32_t value = 0;
    for (auto _ : state) {
      Idle();
      const long expected = subscriber->received.load() + 1;
      const std::int64_t start = NowNs();
      node->setInteger(++value, "x");
      while (subscriber->received.load(std::memory_order_acquire) < expected) {
      }
      notice.push_back(subscriber->arrivalNs.load(std::memory_order_relaxed) - start);
      Idle();
      bareCondvar.push_back(condvar.HandOff());
      Idle();
      bareEventfd.push_back(eventfd.HandOff());
    }
    Summarise(notice, medianNotice, p99Notice);
    Summarise(bareCondvar, medianCondvar, p99Condvar);
    Summarise(bareEventfd, medianEventfd, p99Eventfd);
    state.counters["notice_median_us"] = medianNotice;
    state.counters["notice_p99_us"] = p99Notice;
    state.counters["condvar_median_us"] = medianCondvar;
    state.counters["condvar_p99_us"] = p99Condvar;
    state.counters["eventfd_median_us"] = medianEventfd;
    state.counters["eventfd_p99_us"] = p99Eventfd;
  }
  Stop(subscriber);
  node->RemoveNode();
}
BENCHMARK(BM_WriteToNotice)->Iterations(20000)->UseRealTime();

// ---- 3. Writes per second ---------------------------------------------------------------

void BM_ElementWrites(benchmark::State& state) {
  const QPX_Framework_StoragePtr node = BenchNode("throughput");
  std::vector<std::shared_ptr<CountingSubscriber>> subscribers;
  std::vector<QPX_Framework_SubscriptionPtr> subscriptions;
  for (long i = 0; i < state.range(0); ++i) {
    auto subscriber = LaunchSubscriber();
    if (!subscriber) {
      state.SkipWithError("launch failed");
      break;
    }
    subscriptions.push_back(subscriber->SubscribeTo(node, "x"));
    subscribers.push_back(std::move(subscriber));
  }
  std::vector<long> start;
  for (const auto& s : subscribers) start.push_back(s->received.load());
  auto catchUp = [&](long writes) {
    for (std::size_t i = 0; i < subscribers.size(); ++i) {
      while (subscribers[i]->received.load(std::memory_order_acquire) < start[i] + writes)
        std::this_thread::yield();
    }
  };
  long writes = 0;
  std::int32_t value = 0;
  for (auto _ : state) {
    node->setInteger(++value, "x");
    if ((++writes & 1023) == 0) catchUp(writes);
  }
  catchUp(writes);
  state.SetItemsProcessed(writes);
  subscriptions.clear();
  for (const auto& s : subscribers) Stop(s);
  node->RemoveNode();
}
BENCHMARK(BM_ElementWrites)->Arg(0)->Arg(1)->Arg(10)->UseRealTime();

// The bare limit beside the subscribed writes: the same write into a guarded map, then the
// value handed to each of N threads through its own mutex-guarded queue and condition
// variable, with the same catch-up every 1024 writes.
class BareConsumer {
 public:
  BareConsumer()
      : thread_([this] {
          std::unique_lock<std::mutex> lock(mutex_);
          for (;;) {
            changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            const long taken = static_cast<long>(queue_.size());
            queue_.clear();
            received.fetch_add(taken, std::memory_order_release);
          }
        }) {}
  ~BareConsumer() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stop_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  void Push(const Value& value) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      queue_.push_back(value);
    }
    changed_.notify_one();
  }
  std::atomic<long> received{0};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Value> queue_;
  bool stop_ = false;
  std::thread thread_;
};

void BM_BareWrites(benchmark::State& state) {
  std::recursive_mutex mutex;
  std::map<std::string, Value, std::less<>> table;
  std::vector<std::unique_ptr<BareConsumer>> consumers;
  for (long i = 0; i < state.range(0); ++i) consumers.push_back(std::make_unique<BareConsumer>());
  auto catchUp = [&](long writes) {
    for (const auto& c : consumers) {
      while (c->received.load(std::memory_order_acquire) < writes) std::this_thread::yield();
    }
  };
  long writes = 0;
  std::int32_t value = 0;
  for (auto _ : state) {
    const Value v(++value);
    {
      std::lock_guard<std::recursive_mutex> guard(mutex);
      const std::string_view key = "x";
      if (auto it = table.find(key); it != table.end())
        it->second = v;
      else
        table.emplace(std::string(key), v);
    }
    for (const auto& c : consumers) c->Push(v);
    if ((++writes & 1023) == 0) catchUp(writes);
  }
  catchUp(writes);
  state.SetItemsProcessed(writes);
}
BENCHMARK(BM_BareWrites)->Arg(0)->Arg(1)->Arg(10)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (medianNotice > 0 && medianCondvar > 0) {
    std::printf("\nwrite -> notice: median %.1f us, p99 %.1f us\n", medianNotice, p99Notice);
    std::printf("bare condvar hand-off: median %.1f us, p99 %.1f us (ratio of medians %.2f)\n", medianCondvar,
                p99Condvar, medianNotice / medianCondvar);
    if (medianEventfd > 0)
      std::printf("bare eventfd hand-off: median %.1f us, p99 %.1f us (ratio of medians %.2f)\n",
                  medianEventfd, p99Eventfd, medianNotice / medianEventfd);
  }
  return 0;
}
