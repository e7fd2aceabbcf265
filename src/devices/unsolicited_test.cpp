// Unsolicited result codes through the AT engine and the modem simulator.

#include "devices/unsolicited.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "devices/modem_at_reply.h"
#include "devices/modem_at_test_support.h"
#include "platform/assert.h"

namespace {

using namespace at_testing;
using modem_sim::Command;
using modem_sim::Response;
using StringList = std::vector<std::string>;

// A module that collects the messages delivered to it, on its own thread.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  struct Message {
    std::string line;
    StringList more;
    std::thread::id thread;
  };

  void Message(const Value& line, const Value& /*record*/, const Value& more) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(
        {std::string(QPX_Framework_Modem_LineText(line)), Lines(more), std::this_thread::get_id()});
  }
  // The "+CDS:" status report is followed by one line.
  std::int32_t ReportLength(const Value& line, const Value&) {
    return QPX_Framework_Modem_LineText(line).substr(0, 5) == "+CDS:" ? 1 : 0;
  }
  std::vector<struct Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<struct Message> messages_;
};

class UnsolicitedTest : public EngineTest {};

TEST(UnsolicitedMatch, PrefixRules) {
  auto record = [](const char* prefix) { return Value{{"Prefix", QPX_Framework_Modem_MakeLine(prefix)}}; };
  struct Case {
    const char* name;
    Value record;
    const char* line;
    bool matches;
  } cases[] = {
      {"prefix", record("+CMTI:"), "+CMTI: \"SM\",1", true},
      {"exact", record("RING"), "RING", true},
      {"shorter-line", record("+CMTI:"), "+CMT", false},
      {"other", record("+CMTI:"), "+CMT: ,24", false},
      {"empty-prefix", record(""), "anything", false},
      {"no-prefix", Value::EmptyDictionary(), "anything", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QPX_Framework_Unsolicited_LineIsForHandler(QPX_Framework_Modem_MakeLine(c.line), c.record),
              c.matches)
        << c.name;
}

TEST_F(UnsolicitedTest, MessagesReachTheirHandlersOnTheirThreadsBetweenCommands) {
  ModemUnderTest modem;
  auto module = Client::Start(modem.node);
  auto listener = std::make_shared<Listener>();
  Value cmti, cds;
  module->Run([&] {
    cmti = QPX_Framework_Modem_CreateUnsolicitedHandlerEx("+CMTI:", listener, &Listener::Message, 0);
    cds = QPX_Framework_Modem_CreateUnsolicitedHandlerCB("+CDS:", listener, &Listener::Message,
                                                         &Listener::ReportLength);
  });
  ASSERT_FALSE(cmti.isNull());
  ASSERT_FALSE(cds.isNull());
  EXPECT_EQ(modem.thread->Inspect().handlers[0], 2u);

  // Messages in the middle of a response, one of them with its continuation line.
  modem.sim.On("AT+CLCC", [](const Command&, Response& r) {
    r.Info("+CLCC: 1")
        .Unsolicited("+CMTI: \"SM\",3")
        .Info("+CLCC: 2")
        .Unsolicited("+CDS: 25")
        .Raw("\r\n0791448720003023\r\n")
        .Ok();
  });
  auto client = Client::Start(modem.node);
  Value reply = client->Run([] { return QPX_Framework_Modem_RunCommand("AT+CLCC"); });
  EXPECT_EQ(Lines(reply), (StringList{"+CLCC: 1", "+CLCC: 2", "OK"}));

  // And one between commands.
  modem.sim.SendUnsolicited("+CMTI: \"ME\",4");
  ASSERT_TRUE(WaitFor([&] { return listener->Count() == 3; }));
  auto messages = listener->Messages();
  EXPECT_EQ(messages[0].line, "+CMTI: \"SM\",3");
  EXPECT_EQ(messages[0].more, StringList{});
  EXPECT_EQ(messages[1].line, "+CDS: 25");
  EXPECT_EQ(messages[1].more, StringList{"0791448720003023"});
  EXPECT_EQ(messages[2].line, "+CMTI: \"ME\",4");
  for (const auto& message : messages) EXPECT_EQ(message.thread, module->GetSystemThread());

  // Removed handlers get nothing more; the lines are then ordinary unclaimed lines.
  module->Run([&] {
    QPX_Framework_Modem_RemoveUnsolicitedHandler(cmti);
    QPX_Framework_Modem_RemoveUnsolicitedHandler(cds);
  });
  EXPECT_EQ(modem.thread->Inspect().handlers[0], 0u);
  modem.sim.SendUnsolicited("+CMTI: \"ME\",5");
  EXPECT_EQ(Lines(client->Run([] { return QPX_Framework_Modem_RunCommand("AT"); })), StringList{"OK"});
  EXPECT_EQ(listener->Count(), 3u);
  client->Stop();
  module->Stop();
}

TEST_F(UnsolicitedTest, DeliveryWaitsWhileTheModemIsOwned) {
  ModemUnderTest modem;
  auto module = Client::Start(modem.node);
  auto owner = Client::Start(modem.node);
  auto listener = std::make_shared<Listener>();
  module->Run(
      [&] { QPX_Framework_Modem_CreateUnsolicitedHandlerEx("RING", listener, &Listener::Message, 0); });

  owner->Run([&] {
    QPX_Framework_Modem_Lock();
    modem.sim.SendUnsolicited("RING");
    // The ring arrives before this answer on the same port, so it has been recognised.
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT")), StringList{"OK"});
  });
  EXPECT_EQ(modem.thread->Inspect().unsolicitedQueued[0], 1u);
  EXPECT_EQ(listener->Count(), 0u);
  owner->Run([] { QPX_Framework_Modem_Unlock(); });
  ASSERT_TRUE(WaitFor([&] { return listener->Count() == 1; }));
  EXPECT_EQ(modem.thread->Inspect().unsolicitedQueued[0], 0u);
  owner->Stop();
  module->Stop();
}

TEST_F(UnsolicitedTest, TwoHandlersForOneCodeEachGetItOnce) {
  ModemUnderTest modem;
  auto module = Client::Start(modem.node);
  auto first = std::make_shared<Listener>();
  auto second = std::make_shared<Listener>();
  module->Run([&] {
    QPX_Framework_Modem_CreateUnsolicitedHandlerEx("+CREG:", first, &Listener::Message, 0);
    QPX_Framework_Modem_CreateUnsolicitedHandlerEx("+CREG:", second, &Listener::Message, 0);
  });
  modem.sim.SendUnsolicited("+CREG: 1");
  ASSERT_TRUE(WaitFor([&] { return first->Count() == 1 && second->Count() == 1; }));
  // A command round makes sure nothing else was on its way.
  auto client = Client::Start(modem.node);
  client->Run([] { QPX_Framework_Modem_RunCommand("AT"); });
  module->Run([] {});
  EXPECT_EQ(first->Count(), 1u);
  EXPECT_EQ(second->Count(), 1u);
  client->Stop();
  module->Stop();
}

TEST_F(UnsolicitedTest, HandlerOfAGoneModuleIsSkipped) {
  ModemUnderTest modem;
  auto module = Client::Start(modem.node);
  auto listener = std::make_shared<Listener>();
  std::weak_ptr<Listener> weak = listener;
  module->Run([&] {
    QPX_Framework_Modem_CreateUnsolicitedHandlerCB("+CDS:", listener, &Listener::Message,
                                                   &Listener::ReportLength);
  });
  listener.reset();
  EXPECT_TRUE(weak.expired());
  // The line count of a gone handler is 0, so the next line is an ordinary response line.
  modem.sim.On("AT+X", [](const Command&, Response& r) { r.Unsolicited("+CDS: 1").Info("+X: 1").Ok(); });
  auto client = Client::Start(modem.node);
  EXPECT_EQ(Lines(client->Run([] { return QPX_Framework_Modem_RunCommand("AT+X"); })),
            (StringList{"+X: 1", "OK"}));
  client->Stop();
  module->Stop();
}

TEST_F(UnsolicitedTest, RegistrationRules) {
  auto none = Client::Start(nullptr);
  none->Run([] {
    auto invocation = QPX_Framework_Invocation::Make([](auto) { return Value(); });
    EXPECT_TRUE(QPX_Framework_Modem_RegisterUnsolicitedHandlerEx("RING", invocation, nullptr, 0).isNull());
    EXPECT_THROW(QPX_Framework_Modem_RegisterUnsolicitedHandlerEx("RING", invocation, invocation, 1),
                 platform::AssertionFailure);
    QPX_Framework_Modem_RemoveUnsolicitedHandler(Value());
  });
  none->Stop();

  ModemUnderTest modem;
  auto module = Client::Start(modem.node);
  module->Run([] {
    QPX_Framework_Modem_SetPort(2);
    auto invocation = QPX_Framework_Invocation::Make([](auto) { return Value(); });
    Value record = QPX_Framework_Modem_RegisterUnsolicitedHandlerEx("^MODE:", invocation, nullptr, 2);
    QPX_Framework_Modem_ResetPort();
    EXPECT_EQ(record.get("Lines").toInt(), 2);
    EXPECT_EQ(QPX_Framework_Modem_LineText(record.get("Prefix")), "^MODE:");
    const Value::Bytes prefix = record.get("Prefix").data();
    ASSERT_FALSE(prefix.empty());
    EXPECT_EQ(prefix.back(), 0);
    EXPECT_TRUE(record.contains("Thread"));
  });
  auto state = modem.thread->Inspect();
  EXPECT_EQ(state.handlers[0], 0u);
  EXPECT_EQ(state.handlers[1], 1u);
  module->Stop();
}

}  // namespace
