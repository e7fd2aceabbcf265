// Many clients on several modems at once: every reply reaches its sender, in order, with
// nothing lost or duplicated.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devices/at_command.h"
#include "devices/modem_at_reply.h"
#include "devices/modem_at_test_support.h"
#include "devices/unsolicited.h"

namespace {

using namespace at_testing;

class ModemATStressTest : public EngineTest {};

TEST_F(ModemATStressTest, FourModemsManyClientsTenThousandCommands) {
  constexpr int kModems = 4;
  constexpr int kClientsPerModem = 4;
  constexpr int kCommandsPerClient = 625;  // 4 x 4 x 625 = 10,000
  const std::set<int> descriptorsBefore = OpenDescriptors();

  std::vector<std::unique_ptr<ModemUnderTest>> modems;
  for (int m = 0; m < kModems; ++m) {
    modems.push_back(std::make_unique<ModemUnderTest>(modem_sim::Options{}, false));
    // The modem answers with the tag of the command, now and then with an unsolicited code
    // in the middle or a line split across writes.
    auto counter = std::make_shared<std::atomic<int>>(0);
    modems.back()->sim.On("AT+TAG=", [counter](const modem_sim::Command& c, modem_sim::Response& r) {
      const std::string tag = c.text.substr(7);
      const int n = (*counter)++;
      if (n % 7 == 0) r.Unsolicited("+CREG: 1");
      if (n % 5 == 0)
        r.Raw("\r\n+TAG: ").Raw(tag + "\r\n").Ok();
      else
        r.Info("+TAG: " + tag).Ok();
    });
  }

  // What each client got back, in the order it got it.
  struct Received {
    std::mutex mutex;
    std::vector<std::string> replies;
    int nils = 0;
    std::promise<void> done;
  };
  // Each modem has a module that takes the unsolicited codes.
  std::vector<std::shared_ptr<Client>> clients;
  auto registrations = std::make_shared<std::atomic<int>>(0);
  for (int m = 0; m < kModems; ++m) {
    auto module = Client::Start(modems[m]->node);
    clients.push_back(module);
    module->Run([registrations] {
      QPX_Framework_Modem_RegisterUnsolicitedHandlerEx(
          "+CREG:", QPX_Framework_Invocation::Make([registrations](auto) {
            ++*registrations;
            return Value();
          }),
          nullptr, 0);
    });
  }
  std::vector<std::shared_ptr<Received>> received;
  std::vector<std::string> prefixes;
  for (int m = 0; m < kModems; ++m) {
    for (int c = 0; c < kClientsPerModem; ++c) {
      auto client = Client::Start(modems[m]->node);
      auto into = std::make_shared<Received>();
      const std::string prefix = std::to_string(m) + "." + std::to_string(c) + ".";
      clients.push_back(client);
      received.push_back(into);
      prefixes.push_back(prefix);
      auto record = [into](const Value& reply) {
        std::lock_guard<std::mutex> lock(into->mutex);
        if (reply.isNull())
          ++into->nils;
        else
          into->replies.push_back(Lines(reply).at(0));
        if (into->replies.size() + into->nils == kCommandsPerClient) into->done.set_value();
      };
      if (c == 1) {
        // Queues every package at once; the replies come back as completions on the client.
        client->Async([prefix, record] {
          auto thread = QPX_Framework_GetModem_Thread();
          for (int n = 0; n < kCommandsPerClient; ++n)
            thread->QPX_Framework_Thread_RunCommand(
                QPX_Framework_Modem_CreateATCommand("AT+TAG=" + prefix + std::to_string(n) + "\r"),
                QPX_Framework_Invocation::Make([record](QPX_Framework_Invocation::Arguments a) {
                  record(a.empty() ? Value() : a[0]);
                  return Value();
                }));
        });
      } else {
        // Synchronous commands; client 0 works in locked stretches of 25.
        const bool locking = c == 0;
        client->Async([prefix, record, locking] {
          for (int n = 0; n < kCommandsPerClient; ++n) {
            if (locking && n % 25 == 0) QPX_Framework_Modem_Lock();
            record(QPX_Framework_Modem_RunCommand("AT+TAG=" + prefix + std::to_string(n)));
            if (locking && n % 25 == 24) QPX_Framework_Modem_Unlock();
          }
        });
      }
    }
  }
  std::size_t total = 0;
  for (std::size_t k = 0; k < received.size(); ++k) {
    ASSERT_EQ(received[k]->done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    std::lock_guard<std::mutex> lock(received[k]->mutex);
    EXPECT_EQ(received[k]->nils, 0) << prefixes[k];
    ASSERT_EQ(received[k]->replies.size(), static_cast<std::size_t>(kCommandsPerClient)) << prefixes[k];
    for (int n = 0; n < kCommandsPerClient; ++n)
      EXPECT_EQ(received[k]->replies[n], "+TAG: " + prefixes[k] + std::to_string(n));
    total += received[k]->replies.size();
  }
  EXPECT_EQ(total, 10000u);
  // Every unsolicited code was delivered once (625 x 4 commands per modem, one code in 7).
  const int codes = kModems * ((kClientsPerModem * kCommandsPerClient + 6) / 7);
  EXPECT_TRUE(WaitFor([&] { return registrations->load() == codes; }));
  EXPECT_EQ(registrations->load(), codes);
  // Every command reached its modem exactly once, each client's in its order.
  for (int m = 0; m < kModems; ++m) {
    ASSERT_TRUE(modems[m]->sim.WaitForCommands(kClientsPerModem * kCommandsPerClient, 60));
    std::map<std::string, int> next;
    for (const auto& command : modems[m]->sim.Commands()) {
      const std::string tag = command.text.substr(7);
      const std::string client = tag.substr(0, tag.rfind('.') + 1);
      EXPECT_EQ(tag, client + std::to_string(next[client]++));
    }
    EXPECT_EQ(next.size(), static_cast<std::size_t>(kClientsPerModem));
    for (const auto& [client, count] : next) EXPECT_EQ(count, kCommandsPerClient) << client;
  }
  for (auto& client : clients) client->Stop();
  clients.clear();
  modems.clear();
  EXPECT_EQ(NewDescriptors(descriptorsBefore), std::set<int>{});
}

}  // namespace
