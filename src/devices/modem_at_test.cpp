// The AT modem thread against the modem simulator: real threads, real pseudo-terminals.

#include "devices/modem_at.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "devices/at_command.h"
#include "devices/modem_at_test_support.h"
#include "framework/core/log.h"
#include "platform/assert.h"

namespace {

using namespace at_testing;
using modem_sim::Command;
using modem_sim::Response;
using StringList = std::vector<std::string>;

class ModemATTest : public EngineTest {};

std::mutex logMutex;
std::vector<std::string> logged;
void RecordLog(const char*, unsigned, const char*, const char*, double, int, const char* format,
               va_list args) {
  char message[1024] = "";
  if (format) std::vsnprintf(message, sizeof message, format, args);
  std::lock_guard<std::mutex> lock(logMutex);
  logged.push_back(message);
}

TEST_F(ModemATTest, CommandsRepliesAndLineEndings) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  modem.sim.On("AT+CGSN", [](const Command&, Response& r) { r.Info("351234567890123").Ok(); });
  modem.sim.On("AT+TWO", [](const Command&, Response& r) { r.Info("+TWO: 1").Info("+TWO: 2").Ok(); });

  client->Run([&] {
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT")), StringList{"OK"});
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT\r")), StringList{"OK"});
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand_Simple("ATZ"));
    EXPECT_FALSE(QPX_Framework_Modem_RunCommand_Simple("AT+UNKNOWN"));
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand("").isNull());

    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand_Response("AT+CGSN", 1)), StringList{"351234567890123"});
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand_Response("AT+TWO", 1).isNull());
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand_Response("AT+TWO", 0)),
              (StringList{"+TWO: 1", "+TWO: 2"}));
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand_Response("AT+UNKNOWN", 0).isNull());

    // "+++" goes out as three plus signs and nothing else; the modem echoes nothing for it.
    QPX_Framework_Modem_SetModemEcho(false);
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("+++")), StringList{"OK"});
    QPX_Framework_Modem_ResetModemEcho();
  });
  EXPECT_EQ(modem.sim.ReceivedBytes(0), "AT\rAT\rATZ\rAT+UNKNOWN\rAT+CGSN\rAT+TWO\rAT+TWO\rAT+UNKNOWN\r+++");
  client->Stop();
}

TEST_F(ModemATTest, EchoRules) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  modem.sim.SetEcho(0, false);
  // A stale "OK" before the echo, then the echo, then the answer.
  modem.sim.On("AT+LATE",
               [](const Command& c, Response& r) { r.Info("OK").Raw(c.text + "\r").Info("+LATE: 1").Ok(); });
  // An echo that differs from the command is not the echo.
  modem.sim.On("AT+ODD",
               [](const Command&, Response& r) { r.Raw("AT+EVEN\r").Info("OK").Raw("AT+ODD\r").Info("OK"); });

  client->Run([&] {
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT+LATE")), (StringList{"+LATE: 1", "OK"}));
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT+ODD")), StringList{"OK"});
    // Without echo: the first line after sending is collected.
    QPX_Framework_Modem_SetModemEcho(false);
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT+CGMM")), (StringList{"SIM-MODEM", "OK"}));
    QPX_Framework_Modem_ResetModemEcho();
  });
  client->Stop();
}

TEST_F(ModemATTest, SplitLinesNoiseAndUnclaimedLinesBetweenCommands) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  modem.sim.SetChunking(2, 0.0005);
  modem.sim.SendRaw("\r\n+NOISE: nobody wants this\r\n\x01\x02\r\n");
  client->Run([&] {
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("ATI")),
              (StringList{"Manufacturer: Simulated", "Model: SIM-MODEM", "Revision: 11.608.13.02.00",
                          "IMEI: 351234567890123", "OK"}));
  });
  client->Stop();
}

TEST_F(ModemATTest, TimeoutsWithAndWithoutCollectedLines) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  modem.sim.On("AT+ECHOONLY", [](const Command&, Response&) {});
  modem.sim.On("AT+PART", [](const Command&, Response& r) { r.Info("+PART: 1"); });

  struct Case {
    const char* name;
    const char* command;
    bool mute;
    int collected;  // what the engine holds when the time-out comes (-1: no echo seen)
    bool hasResponse;
    StringList lines;
  } cases[] = {
      {"silent-modem", "AT+SILENT", true, -1, false, {}},
      {"echo-but-no-final", "AT+ECHOONLY", false, 0, true, {"TIMEOUT"}},
      {"partial-answer", "AT+PART", false, 1, true, {"+PART: 1", "TIMEOUT"}},
  };
  for (const Case& c : cases) {
    modem.sim.SetMute(c.mute);
    const std::size_t before = modem.sim.CommandCount();
    auto reply = client->Async([&] {
      QPX_Framework_Modem_SetTimeout(5);
      Value r = QPX_Framework_Modem_RunCommand(c.command);
      QPX_Framework_Modem_ResetTimeout();
      return r;
    });
    ASSERT_TRUE(modem.sim.WaitForCommands(before + 1)) << c.name;
    ASSERT_TRUE(WaitFor([&] {
      modem.thread->CheckTimeoutsNow();
      auto state = modem.thread->Inspect();
      return state.inFlight[0] && state.collected[0] == c.collected;
    })) << c.name;
    // Nothing happens before the time-out is due.
    modem.clock->Advance(4.9);
    modem.thread->CheckTimeoutsNow();
    EXPECT_TRUE(modem.thread->Inspect().inFlight[0]) << c.name;
    modem.clock->Advance(0.2);
    modem.thread->CheckTimeoutsNow();
    ASSERT_EQ(reply.wait_for(std::chrono::seconds(10)), std::future_status::ready) << c.name;
    Value result = reply.get();
    EXPECT_TRUE(result.get("Error").toBool()) << c.name;
    EXPECT_EQ(result.contains("Response"), c.hasResponse) << c.name;
    EXPECT_EQ(Lines(result), c.lines) << c.name;
  }
  modem.sim.SetMute(false);
  // The modem works again after the time-outs.
  client->Run([&] { EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT")), StringList{"OK"}); });
  client->Stop();
}

TEST_F(ModemATTest, SimBusyIsRetriedForUpToAMinute) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  auto busy = std::make_shared<int>(3);
  modem.sim.On("AT+CLCK", [busy](const Command&, Response& r) {
    if ((*busy)-- > 0)
      r.CmeError(14);
    else
      r.Ok();
  });
  modem.sim.On("AT+ALWAYSBUSY", [](const Command&, Response& r) { r.CmeError(14); });
  modem.sim.On("AT+CME140", [](const Command&, Response& r) { r.CmeError(140); });
  modem.sim.On("AT+CME3", [](const Command&, Response& r) { r.CmeError(3); });
  modem.sim.On("AT+CMEX", [](const Command&, Response& r) { r.Final("+CME ERROR: 1x"); });

  client->Run([&] {
    std::size_t before = modem.sim.CommandCount();
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT+CLCK=\"SC\",2")), StringList{"OK"});
    EXPECT_EQ(modem.sim.CommandCount() - before, 4u);
    EXPECT_EQ(QPX_Framework_Modem_LastCME(), -1);

    // Busy for ever: about once a second for a minute, then the error.
    before = modem.sim.CommandCount();
    const double start = modem.clock->Now();
    Value reply = QPX_Framework_Modem_RunCommand("AT+ALWAYSBUSY");
    EXPECT_TRUE(reply.get("Error").toBool());
    EXPECT_EQ(Lines(reply), StringList{"+CME ERROR: 14"});
    EXPECT_EQ(QPX_Framework_Modem_LastCME(), 14);
    EXPECT_GE(modem.clock->Now() - start, 60.0);
    EXPECT_LE(modem.clock->Now() - start, 62.0);
    EXPECT_GE(modem.sim.CommandCount() - before, 60u);

    // Other codes are final at once.
    for (const auto& [command, code] :
         std::vector<std::pair<const char*, int>>{{"AT+CME140", 140}, {"AT+CME3", 3}}) {
      before = modem.sim.CommandCount();
      EXPECT_FALSE(QPX_Framework_Modem_RunCommand_Simple(command));
      EXPECT_EQ(modem.sim.CommandCount() - before, 1u) << command;
      EXPECT_EQ(QPX_Framework_Modem_LastCME(), code) << command;
    }
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand_Simple("AT"));
    EXPECT_EQ(QPX_Framework_Modem_LastCME(), -1);
    EXPECT_FALSE(QPX_Framework_Modem_RunCommand_Simple("AT+CMEX"));
    EXPECT_EQ(QPX_Framework_Modem_LastCME(), -1);
  });
  EXPECT_EQ(modem.thread->Inspect().retryEntries, 0u);
  client->Stop();
}

TEST_F(ModemATTest, PromptAndPayloadOfAnSMSSend) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  modem.sim.On("AT+CMGS=", [](const Command&, Response& r) {
    r.Prompt([](const std::string& payload, Response& answer) {
      if (payload.size() == 48)
        answer.Info("+CMGS: 42").Ok();
      else
        answer.CmsError(304);
    });
  });
  const std::string pdu = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";
  client->Run([&] {
    QPX_Framework_Modem_SetModemPrompt("> ", pdu + "\x1a");
    Value reply = QPX_Framework_Modem_RunCommand("AT+CMGS=23");
    QPX_Framework_Modem_ResetModemPrompt();
    EXPECT_EQ(Lines(reply), (StringList{"+CMGS: 42", "OK"}));
    EXPECT_FALSE(reply.get("Error").toBool());
  });
  EXPECT_EQ(modem.sim.ReceivedBytes(0), "AT+CMGS=23\r" + pdu + "\x1a");
  client->Stop();
}

TEST_F(ModemATTest, LockKeepsOtherClientsWaitingUntilUnlock) {
  ModemUnderTest modem;
  auto a = Client::Start(modem.node);
  auto b = Client::Start(modem.node);
  a->Run([] { QPX_Framework_Modem_Lock(); });
  auto fromB = b->Async([] { return QPX_Framework_Modem_RunCommand("AT+CGMI"); });
  ASSERT_TRUE(WaitFor([&] { return modem.thread->Inspect().queuedPackages == 1; }));
  a->Run([&] {
    for (const char* command : {"AT+A1", "AT+A2", "AT+A3"}) QPX_Framework_Modem_RunCommand(command);
  });
  // Still A's: B's command has not been written.
  EXPECT_EQ(modem.sim.CommandCount(), 3u);
  EXPECT_EQ(fromB.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  a->Run([] { QPX_Framework_Modem_Unlock(); });
  ASSERT_EQ(fromB.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(Lines(fromB.get()), (StringList{"Simulated", "OK"}));
  StringList order;
  for (const auto& command : modem.sim.Commands()) order.push_back(command.text);
  EXPECT_EQ(order, (StringList{"AT+A1", "AT+A2", "AT+A3", "AT+CGMI"}));
  EXPECT_FALSE(modem.thread->Inspect().owned);
  a->Stop();
  b->Stop();
}

TEST_F(ModemATTest, SeededDrawInterleavesSendersAndKeepsEachSendersOrder) {
  ModemUnderTest modem;
  modem.sim.On("AT+N=", [](const Command& c, Response& r) { r.Info("+N: " + c.text.substr(5)).Ok(); });
  auto holder = Client::Start(modem.node);
  std::vector<std::shared_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Client::Start(modem.node));
  holder->Run([] { QPX_Framework_Modem_Lock(); });

  // Each client queues ten commands at once (replies come back as completions), so every
  // FIFO is full before the draw begins.
  std::mutex mutex;
  std::map<int, StringList> replies;
  for (int i = 0; i < 3; ++i) {
    clients[i]->Run([&, i] {
      auto thread = QPX_Framework_GetModem_Thread();
      for (int n = 0; n < 10; ++n) {
        const std::string command = "AT+N=" + std::to_string(i) + "." + std::to_string(n) + "\r";
        thread->QPX_Framework_Thread_RunCommand(QPX_Framework_Modem_CreateATCommand(command),
                                                QPX_Framework_Invocation::Make([&, i](auto arguments) {
                                                  std::lock_guard<std::mutex> lock(mutex);
                                                  replies[i].push_back(Lines(arguments[0]).at(0));
                                                  return Value();
                                                }));
      }
    });
  }
  ASSERT_TRUE(WaitFor([&] { return modem.thread->Inspect().queuedPackages == 30; }));
  holder->Run([] { QPX_Framework_Modem_Unlock(); });
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return replies[0].size() + replies[1].size() + replies[2].size() == 30;
  }));
  for (int i = 0; i < 3; ++i) {
    StringList expected;
    for (int n = 0; n < 10; ++n) expected.push_back("+N: " + std::to_string(i) + "." + std::to_string(n));
    EXPECT_EQ(replies[i], expected) << "client " << i;
  }
  // No sender was served to the end before the others started.
  std::set<char> firstTen;
  auto commands = modem.sim.Commands();
  ASSERT_EQ(commands.size(), 30u);
  for (int k = 0; k < 10; ++k) firstTen.insert(commands[k].text[5]);
  EXPECT_GE(firstTen.size(), 2u);
  for (auto& client : clients) client->Stop();
  holder->Stop();
}

TEST_F(ModemATTest, LockOfAThreadThatEndedIsReleased) {
  ModemUnderTest modem;
  auto a = Client::Start(modem.node);
  auto b = Client::Start(modem.node);
  a->Run([] { QPX_Framework_Modem_Lock(); });
  a->Stop();  // ends without Unlock
  Value reply = b->Run([] { return QPX_Framework_Modem_RunCommand("AT"); });
  EXPECT_EQ(Lines(reply), StringList{"OK"});
  EXPECT_FALSE(modem.thread->Inspect().owned);
  b->Stop();
}

TEST_F(ModemATTest, PortVanishingMidCommand) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  modem.sim.On("AT+GONE", [](const Command&, Response& r) { r.Info("+GONE: 1").Pause(0.02).Vanish(); });
  client->Run([&] {
    Value reply = QPX_Framework_Modem_RunCommand("AT+GONE");
    EXPECT_TRUE(reply.get("Error").toBool());
    // What the device wrote just before it went away may be lost with it.
    StringList lines = Lines(reply);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "UNAVAILABLE");
    if (lines.size() > 1) {
      EXPECT_EQ(lines, (StringList{"+GONE: 1", "UNAVAILABLE"}));
    }
    // Later commands are answered at once.
    reply = QPX_Framework_Modem_RunCommand("AT");
    EXPECT_TRUE(reply.get("Error").toBool());
    EXPECT_EQ(Lines(reply), StringList{"UNAVAILABLE"});
  });
  client->Stop();
}

TEST_F(ModemATTest, ModemPortCommandsAndMissingPort) {
  modem_sim::Options oneAppPort;
  oneAppPort.ports = 1;
  ModemUnderTest modem(oneAppPort);
  auto client = Client::Start(modem.node);
  client->Run([] {
    QPX_Framework_Modem_SetPort(2);
    Value reply = QPX_Framework_Modem_RunCommand("AT");
    QPX_Framework_Modem_ResetPort();
    EXPECT_TRUE(reply.get("Error").toBool());
    EXPECT_EQ(Lines(reply), StringList{"UNAVAILABLE"});
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT")), StringList{"OK"});
  });
  client->Stop();

  ModemUnderTest twoPorts;
  auto second = Client::Start(twoPorts.node);
  second->Run([] {
    QPX_Framework_Modem_SetPort(2);
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT+CGMM")), (StringList{"SIM-MODEM", "OK"}));
    QPX_Framework_Modem_ResetPort();
  });
  EXPECT_EQ(twoPorts.sim.ReceivedBytes(1), "AT+CGMM\r");
  EXPECT_EQ(twoPorts.sim.ReceivedBytes(0), "");
  EXPECT_EQ(twoPorts.node->objectForKey("Modem Port")
                .objectAs<_QPX_Framework_SerialPort>()
                ->QPX_Framework_SerialPort_Path(),
            twoPorts.sim.PortPath(1));
  second->Stop();
}

TEST_F(ModemATTest, CustomCompletionChecker) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  modem.sim.On("AT+LIST",
               [](const Command&, Response& r) { r.Info("+LIST: 1").Info("+LIST: 2").Info("END"); });
  client->Run([&] {
    QPX_Framework_Modem_SetCompletionChecker(
        std::make_shared<QPX_Framework_Modem_CompletionChecker>([](const Value& lines, Value& reply) {
          if (Lines(lines).back() != "END") return false;
          reply = Value{{"Done", Value(true)}};
          return true;
        }));
    Value reply = QPX_Framework_Modem_RunCommand("AT+LIST");
    QPX_Framework_Modem_ResetCompletionChecker();
    EXPECT_TRUE(reply.get("Done").toBool());
    EXPECT_EQ(Lines(reply), (StringList{"+LIST: 1", "+LIST: 2", "END"}));
  });
  client->Stop();
}

TEST_F(ModemATTest, EndOfTheThreadAnswersEverythingItHolds) {
  auto modem = std::make_unique<ModemUnderTest>();
  auto client = Client::Start(modem->node);
  auto other = Client::Start(modem->node);
  modem->sim.SetMute(true);
  auto inFlight = client->Async([] { return QPX_Framework_Modem_RunCommand("AT+NEVER"); });
  ASSERT_TRUE(modem->sim.WaitForCommands(1));
  auto queued = other->Async([] { return QPX_Framework_Modem_RunCommand("AT+QUEUED"); });
  ASSERT_TRUE(WaitFor([&] { return modem->thread->Inspect().queuedPackages == 1; }));

  const std::string id = modem->record->Get("Modem ID").string();
  modem->thread->QPX_Framework_Thread_Quit();
  modem->thread->WaitUntilFinished();
  ASSERT_EQ(inFlight.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_EQ(queued.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(inFlight.get().isNull());
  EXPECT_TRUE(queued.get().isNull());
  // The clean-up took the thread out of the record and the node out of the tree.
  EXPECT_FALSE(modem->record->Contains("Modem Thread"));
  EXPECT_EQ(QPX_Framework_Storage_GetNode(id), nullptr);
  EXPECT_TRUE(modem->node->objectForKey("Modem Device").isNull());
  // Without the modem thread there is no reply and no CME code.
  client->Run([] { EXPECT_TRUE(QPX_Framework_Modem_RunCommand("AT").isNull()); });
  client->Stop();
  other->Stop();
}

TEST_F(ModemATTest, SecretsNeverReachTheLog) {
  ModemUnderTest modem;
  auto client = Client::Start(modem.node);
  modem.sim.On("AT+CPIN=", [](const Command&, Response& r) { r.Ok(); });
  modem.sim.On("AT+CLCK=", [](const Command&, Response& r) { r.Ok(); });
  {
    std::lock_guard<std::mutex> lock(logMutex);
    logged.clear();
  }
  QPX_Framework_Log_UserLog = &RecordLog;
  client->Run([] {
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand_Simple("AT+CPIN=\"12345678\",\"2468\""));
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand_Simple("AT+CLCK=\"SC\",1,\"1357\""));
  });
  QPX_Framework_Log_UserLog = nullptr;
  // The modem got the real bytes.
  EXPECT_EQ(modem.sim.Commands().at(0).text, "AT+CPIN=\"12345678\",\"2468\"");
  std::lock_guard<std::mutex> lock(logMutex);
  int masked = 0;
  for (const std::string& entry : logged) {
    for (const char* secret : {"12345678", "2468", "1357"})
      EXPECT_EQ(entry.find(secret), std::string::npos) << entry;
    if (entry.find("****") != std::string::npos) ++masked;
  }
  EXPECT_GE(masked, 4);  // each command sent and echoed
  client->Stop();
}

TEST_F(ModemATTest, NoCurrentModem) {
  auto client = Client::Start(nullptr);
  client->Run([] {
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand("AT").isNull());
    EXPECT_FALSE(QPX_Framework_Modem_RunCommand_Simple("AT"));
    EXPECT_TRUE(QPX_Framework_Modem_RunCommand_Response("AT", 0).isNull());
    QPX_Framework_Modem_Lock();
    QPX_Framework_Modem_Unlock();
    EXPECT_EQ(QPX_Framework_GetModem_Thread(), nullptr);
  });
  client->Stop();
}

}  // namespace
