// Several writers, a thread that removes and re-creates nodes, and subscriber threads that
// keep subscribing and letting go, all at once. Checks that every subscription sees exactly
// one notice per write of what it watches, in the order of the writes, that its last notice
// equals the stored value once everything has settled, and that no notice reaches a target
// object after it was released.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/core/command.h"
#include "framework/core/storage.h"
#include "framework/core/subscription.h"
#include "framework/core/thread.h"

namespace {

constexpr int kWriters = 4;
constexpr int kSubscriberThreads = 3;
constexpr int kChurnRounds = 300;
// Writers advance with the churn, so writes and subscription changes interleave whatever
// the speed of the machine (or of a sanitizer build).
constexpr int kWritesPerRound = 10;
constexpr int kWritesPerWriter = kChurnRounds * kWritesPerRound;
constexpr int kRemovalsPerRound = 2;
const std::vector<std::string> kChildNames = {"c0", "c1", "c2", "c3"};

// Which targets exist: an invocation whose target was released must never run.
class TargetRegistry {
 public:
  void Add(int id) {
    std::lock_guard<std::mutex> guard(mutex_);
    live_.insert(id);
  }
  void Remove(int id) {
    std::lock_guard<std::mutex> guard(mutex_);
    live_.erase(id);
  }
  bool Live(int id) {
    std::lock_guard<std::mutex> guard(mutex_);
    return live_.count(id) != 0;
  }
  bool Empty() {
    std::lock_guard<std::mutex> guard(mutex_);
    return live_.empty();
  }

 private:
  std::mutex mutex_;
  std::set<int> live_;
};

TargetRegistry targets;
std::atomic<int> callsIntoReleasedTargets{0};
std::atomic<long> noticesDelivered{0};

enum class Kind { ElementOfParent, AllOfParent, ChildrenNamed, ChildrenAll, ChildList, ElementOfChild };

// One subscription and what it has seen; touched only on its subscriber thread.
struct Recorder {
  Recorder(int id_, Kind kind_) : id(id_), kind(kind_) { targets.Add(id); }
  ~Recorder() { targets.Remove(id); }

  void Record(const QPX_Framework_StoragePtr& node, const Value& element, const Value& value) {
    ++noticesDelivered;
    if (kind == Kind::ChildList) {
      RecordChildList(value);
      return;
    }
    if (value.isDictionary() || (!value.isNull() && !value.isNumber())) {
      errors.push_back("unexpected value " + value.Description());
      return;
    }
    std::vector<std::int64_t>& seen = sequences[{node, element.string()}];
    const std::int64_t v = value.toInt64();
    // One notice per write, in order: each value is the previous one plus one.
    if (!seen.empty() && v != seen.back() + 1)
      errors.push_back(node->GetPath() + " " + element.string() + ": " + std::to_string(seen.back()) +
                       " then " + std::to_string(v));
    seen.push_back(v);
  }

  void RecordChildList(const Value& change) {
    if (first) {
      first = false;
      for (const auto& [name, node] : change.get("Added Nodes").dictionary()) children.insert(name);
      return;
    }
    for (const auto& [name, node] : change.get("Added Nodes").dictionary()) {
      if (!children.insert(name).second) errors.push_back("added twice: " + name);
    }
    for (const auto& [name, node] : change.get("Removed Nodes").dictionary()) {
      if (children.erase(name) == 0) errors.push_back("removed but never added: " + name);
    }
  }

  // Once everything has settled: the last notice of each watched element is its value.
  void Verify(const QPX_Framework_StoragePtr& parent) {
    auto expectLast = [&](const QPX_Framework_StoragePtr& node, const std::string& element) {
      const std::int64_t stored = node->integerForKey(element);
      auto it = sequences.find({node, element});
      if (it == sequences.end()) {
        if (stored != 0) errors.push_back("no notice for " + node->GetPath() + " " + element);
      } else if (it->second.back() != stored) {
        errors.push_back("last notice " + std::to_string(it->second.back()) + " for " + node->GetPath() +
                         " " + element + ", stored " + std::to_string(stored));
      }
    };
    std::lock_guard<QPX_Framework_Storage::Lock> guard(parent->NodeLock());
    switch (kind) {
      case Kind::ElementOfParent:
        expectLast(parent, "p");
        break;
      case Kind::AllOfParent:
        expectLast(parent, "p");
        expectLast(parent, "q");
        break;
      case Kind::ChildrenNamed:
      case Kind::ChildrenAll:
        for (const auto& [name, child] : parent->GetChildren()) expectLast(child, "n");
        break;
      case Kind::ChildList: {
        std::set<std::string> current;
        for (const auto& [name, child] : parent->GetChildren()) current.insert(name);
        if (current != children) errors.push_back("child list replay differs from the children");
        break;
      }
      case Kind::ElementOfChild:
        expectLast(watched, "n");
        break;
    }
  }

  const int id;
  const Kind kind;
  QPX_Framework_StoragePtr watched;  // ElementOfChild
  QPX_Framework_SubscriptionPtr subscription;
  std::map<std::pair<QPX_Framework_StoragePtr, std::string>, std::vector<std::int64_t>> sequences;
  std::set<std::string> children;
  bool first = true;
  std::vector<std::string> errors;
};

class Subscriber : public QPX_Framework_Thread {
 public:
  Subscriber(QPX_Framework_StoragePtr parent, unsigned seed) : parent_(std::move(parent)), random_(seed) {
    on("Churn", &Subscriber::HandleChurn);
    on("Sync", &Subscriber::HandleSync);
    on("Verify", &Subscriber::HandleVerify);
    on("Release", &Subscriber::HandleRelease);
  }

  // Every subscription here is diverted to its recorder; nothing reaches the thread's hook.
  void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr&, const std::string& element,
                                             const Value&) override {
    errors_.push_back("notice without invocation for " + element);
  }

 private:
  Value HandleChurn(const Value&) {
    if (recorders_.size() < 3 || (recorders_.size() < 8 && random_() % 2 == 0)) {
      Add();
    } else {
      auto victim = recorders_.begin() + static_cast<long>(random_() % recorders_.size());
      Keep((*victim)->errors);
      recorders_.erase(victim);  // the target and the handle go; queued notices are skipped
    }
    return Value();
  }

  void Add() {
    static std::atomic<int> nextId{0};
    const Kind kind = static_cast<Kind>(random_() % 6);
    auto recorder = std::make_shared<Recorder>(nextId++, kind);
    switch (kind) {
      case Kind::ElementOfParent:
        recorder->subscription = parent_->Subscribe("p");
        break;
      case Kind::AllOfParent:
        recorder->subscription = parent_->Subscribe(Value());
        break;
      case Kind::ChildrenNamed:
        recorder->subscription = parent_->SubscribeForChildren(Value("n"));
        break;
      case Kind::ChildrenAll:
        recorder->subscription = parent_->SubscribeForChildren(Value());
        break;
      case Kind::ChildList:
        recorder->subscription = parent_->Subscribe();
        break;
      case Kind::ElementOfChild:
        recorder->watched = parent_->GetNode(kChildNames[random_() % kChildNames.size()]);
        if (!recorder->watched) return;
        recorder->subscription = recorder->watched->Subscribe("n");
        break;
    }
    const int id = recorder->id;
    Recorder* raw = recorder.get();
    recorder->subscription->SetInvocation(
        QPX_Framework_Invocation::Make(recorder, [id, raw](QPX_Framework_Invocation::Arguments args) {
          // Checked before touching the recorder: a released target must never be called.
          if (!targets.Live(id)) {
            ++callsIntoReleasedTargets;
            return Value();
          }
          raw->Record(args[0].objectAs<QPX_Framework_Storage>(), args[1], args[2]);
          return Value();
        }));
    recorders_.push_back(std::move(recorder));
  }

  Value HandleSync(const Value&) { return Value(true); }

  Value HandleVerify(const Value&) {
    for (const auto& recorder : recorders_) {
      recorder->Verify(parent_);
      Keep(recorder->errors);
    }
    Value errors = Value::EmptyArray();
    for (const std::string& e : errors_) errors.append(Value(e));
    return errors;
  }

  Value HandleRelease(const Value&) {
    recorders_.clear();
    return Value(true);
  }

  void Keep(const std::vector<std::string>& errors) {
    for (const std::string& e : errors) {
      if (errors_.size() < 20) errors_.push_back(e);
    }
  }

  QPX_Framework_StoragePtr parent_;
  std::mt19937 random_;
  std::vector<std::shared_ptr<Recorder>> recorders_;
  std::vector<std::string> errors_;
};

// Adds one to an element as one step under the node's element lock, so concurrent writers
// of one element still write consecutive values.
void Increment(const QPX_Framework_StoragePtr& node, const char* element) {
  std::lock_guard<QPX_Framework_Storage::Lock> guard(node->ElementLock());
  node->setInteger(static_cast<std::int32_t>(node->integerForKey(element) + 1), element);
}

TEST(StorageStressTest, NoticesStayExactAndOrderedUnderChurn) {
  ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
  const QPX_Framework_StoragePtr parent = QPX_Framework_Storage_CreateNode("/StorageStressTest/parent");
  for (const std::string& name : kChildNames) parent->CreateNode(name);

  std::vector<std::shared_ptr<Subscriber>> subscribers;
  for (int i = 0; i < kSubscriberThreads; ++i) {
    subscribers.push_back(std::make_shared<Subscriber>(parent, 1000u + static_cast<unsigned>(i)));
    ASSERT_TRUE(subscribers.back()->QPX_Framework_Thread_Launch());
  }

  std::atomic<int> round{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      std::mt19937 random(static_cast<unsigned>(w));
      QPX_Framework_StoragePtr held;  // sometimes a node that has been removed meanwhile
      for (int i = 0; i < kWritesPerWriter; ++i) {
        while (round.load() < i / kWritesPerRound) std::this_thread::yield();
        switch (random() % 4) {
          case 0:
            Increment(parent, random() % 2 ? "p" : "q");
            break;
          case 1:
            if (held) Increment(held, "n");
            break;
          default:
            if (auto child = parent->GetNode(kChildNames[random() % kChildNames.size()])) {
              Increment(child, "n");
              held = child;
            }
        }
      }
    });
  }

  // Removes and re-creates children while the others work; every node made stays alive
  // until the end, so no two nodes ever share an address in the recorders' tables.
  std::vector<QPX_Framework_StoragePtr> made;
  std::thread remover([&] {
    std::mt19937 random(77);
    for (int i = 0; i < kChurnRounds * kRemovalsPerRound; ++i) {
      while (round.load() < i / kRemovalsPerRound) std::this_thread::yield();
      const std::string& name = kChildNames[random() % kChildNames.size()];
      if (auto child = parent->GetNode(name)) {
        switch (random() % 3) {
          case 0:
            parent->RemoveChild(name);
            break;
          case 1:
            child->RemoveNode();
            break;
          default:
            child->RemoveNodeIfNoChildren();
        }
      } else {
        made.push_back(parent->CreateNode(name));
        if (random() % 4 == 0) made.back()->CreateNode("grandchild");
      }
    }
  });

  for (int i = 0; i < kChurnRounds; ++i) {
    for (const auto& subscriber : subscribers)
      subscriber->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Churn"));
    round.store(i + 1);
  }
  for (auto& writer : writers) writer.join();
  remover.join();

  // Every write has been announced; a synchronous command queues behind the notices.
  for (const auto& subscriber : subscribers)
    subscriber->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Sync"));
  for (const auto& subscriber : subscribers) {
    const Value errors = subscriber->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Verify"));
    EXPECT_TRUE(errors.isArray());
    EXPECT_EQ(errors.size(), 0u) << errors.Description();
  }
  EXPECT_EQ(callsIntoReleasedTargets.load(), 0);
  EXPECT_GT(noticesDelivered.load(), kWriters * kWritesPerWriter / 4);

  for (const auto& subscriber : subscribers) {
    subscriber->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand("Release"));
    subscriber->QPX_Framework_Thread_Quit();
    subscriber->WaitUntilFinished();
  }
  EXPECT_TRUE(targets.Empty());
  parent->GetParent()->RemoveNode();
}

}  // namespace
