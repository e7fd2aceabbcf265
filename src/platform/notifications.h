#pragma once
// The notification centre: named notices with an optional sender and a dictionary of
// details, for system notices (window resized, clock changed, wake-up ...) and notices
// between modules in one process. An observer picks a name and, optionally, a sender, and
// chooses where it is told: on the posting thread, as the notice is posted, or on its own
// thread (the one that added the observer), through that thread's run loop, without the
// poster waiting.
//
// Observations are RAII handles: dropping the handle ends the observation, and a notice
// already on its way to the observer's thread is then not delivered. An observation with
// ObserverThread delivery must end before its thread does.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/value.h"

namespace platform {

class RunLoop;

struct Notification {
  std::string name;
  // The object that posted it (compared by identity only; never dereferenced here).
  const void* sender = nullptr;
  Value userInfo;
};

class NotificationCenter {
 public:
  enum class Delivery {
    Posting,         // on the posting thread, inside Post
    ObserverThread,  // on the observer's thread (its run loop), after Post has returned
  };
  using Callback = std::function<void(const Notification&)>;

  class Observation {
   public:
    ~Observation();
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;

   private:
    friend class NotificationCenter;
    struct Entry;
    Observation(std::weak_ptr<NotificationCenter*> center, std::shared_ptr<Entry> entry);
    std::weak_ptr<NotificationCenter*> center_;
    std::shared_ptr<Entry> entry_;
  };

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process-wide centre.
  static NotificationCenter& Default();

  // Observes notices of the name (empty: every name) from the sender (null: any sender).
  // With ObserverThread delivery the calling thread's run loop receives them, so that
  // thread must run its loop.
  std::shared_ptr<Observation> AddObserver(const std::string& name, const void* sender, Callback callback,
                                           Delivery delivery = Delivery::Posting);
  // Tells every matching observer. Callable from any thread; observers added or removed by
  // a callback take effect for the next notice.
  void Post(const std::string& name, const void* sender = nullptr, const Value& userInfo = Value());
  void Post(const Notification& notification);

  std::size_t ObserverCount() const;

 private:
  void Remove(const std::shared_ptr<Observation::Entry>& entry);
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Observation::Entry>> entries_;
  std::shared_ptr<NotificationCenter*> self_;
};

}  // namespace platform
