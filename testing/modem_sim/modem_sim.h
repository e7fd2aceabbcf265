#pragma once
// A simulated USB modem that speaks AT commands on pseudo-terminals, the way a real modem
// speaks on its ttys. Each port of the modem is one pseudo-terminal: the simulator holds the
// master side and answers there; the code under test opens the slave path (PortPath) like
// any serial port.
//
// The modem has a small state model that grows with the features it serves: echo per port
// (ATE0/ATE1), identity (ATI, +CGMI, +CGMM, +CGMR, +CGSN), data mode (ATD ... CONNECT and
// "+++"), the "> " prompt of text-entry commands (+CMGS, +CMGW) and whatever handlers a test
// or a later feature adds. On top of that it can misbehave as real modems do: answer slowly
// or not at all, split lines across writes, send unsolicited codes at any moment (also in
// the middle of a response), send line noise, and vanish, as a modem that is unplugged in
// the middle of a command.
//
//   modem_sim::Modem modem;                     // two ports: application and modem port
//   modem.On("AT+CSQ", [](const modem_sim::Command&, modem_sim::Response& r) {
//     r.Info("+CSQ: 20,99").Ok();
//   });
//   open(modem.PortPath(0).c_str(), O_RDWR | O_NOCTTY);
//
// Handlers run on the simulator's own thread, one command at a time per port; a port takes
// its next command only after the previous response has been written completely.

#include <poll.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace modem_sim {

class Modem;

// One command line the modem received (without its CR).
struct Command {
  std::size_t port = 0;
  std::string text;
  // The command text in upper case, for matching.
  std::string upper;
};

// What the modem writes in answer to one command. Lines are framed as a modem in verbose
// mode frames them: CR LF text CR LF.
class Response {
 public:
  using PayloadHandler = std::function<void(const std::string& payload, Response& response)>;

  Response& Info(const std::string& line);
  Response& Ok() { return Final("OK"); }
  Response& Error() { return Final("ERROR"); }
  Response& CmeError(int code) { return Final("+CME ERROR: " + std::to_string(code)); }
  Response& CmsError(int code) { return Final("+CMS ERROR: " + std::to_string(code)); }
  Response& Final(const std::string& line) { return Info(line); }
  // An unsolicited code in the middle of the response (framed like any line).
  Response& Unsolicited(const std::string& line) { return Info(line); }
  // Exactly these bytes, no framing.
  Response& Raw(const std::string& bytes);
  // Whatever follows is written that many seconds later.
  Response& Pause(double seconds);
  // Writes CR LF and the prompt, then collects what the host types until Ctrl-Z (the
  // handler then answers) or ESC (cancelled: "OK"). Nothing may follow a prompt.
  Response& Prompt(PayloadHandler handler, const std::string& prompt = "> ");
  // The modem goes away at this point of the response: every port closes.
  Response& Vanish();
  // Nothing more is written for this command, and the port does not wait for anything.
  bool empty() const { return items_.empty(); }

 private:
  friend class Modem;
  struct Item {
    enum class Kind { Bytes, Pause, Prompt, Vanish } kind = Kind::Bytes;
    std::string bytes;
    double seconds = 0;
    PayloadHandler payload;
  };
  std::vector<Item> items_;
};

using Handler = std::function<void(const Command& command, Response& response)>;

struct Options {
  // Port 0 is the application port, port 1 the modem (data) port.
  std::size_t ports = 2;
  std::string manufacturer = "Simulated";
  std::string model = "SIM-MODEM";
  std::string revision = "11.608.13.02.00";
  std::string imei = "351234567890123";
  bool echo = true;
};

class Modem {
 public:
  explicit Modem(Options options = {});
  // Stops the simulator thread and closes every descriptor it holds.
  ~Modem();
  Modem(const Modem&) = delete;
  Modem& operator=(const Modem&) = delete;

  const Options& options() const { return options_; }
  std::size_t PortCount() const { return ports_.size(); }
  // The slave path of the port's pseudo-terminal ("/dev/pts/N").
  std::string PortPath(std::size_t port) const;

  // Commands are matched by the longest registered prefix (case-insensitive); a later
  // registration of the same prefix replaces the earlier one. Unmatched commands get ERROR.
  void On(const std::string& prefix, Handler handler);
  void Remove(const std::string& prefix);

  // ---- Misbehaviour ----

  // Writes at most `maxBytes` per write and waits `pauseSeconds` between writes, so lines
  // reach the host in pieces. 0 restores whole writes.
  void SetChunking(std::size_t maxBytes, double pauseSeconds);
  // A mute modem swallows what it receives: no echo, no answer (the commands are still
  // recorded).
  void SetMute(bool mute);
  // Sends an unsolicited line on the port at once (before output still waiting for a
  // pause to end, never inside a partly written line).
  void SendUnsolicited(const std::string& line, std::size_t port = 0);
  // Sends raw bytes the same way (line noise, partial lines).
  void SendRaw(const std::string& bytes, std::size_t port = 0);
  // The modem goes away: every port's pseudo-terminal is closed; reads on the host side
  // then see end of file and the slave paths disappear.
  void Vanish();
  bool Vanished() const;

  // ---- State the commands change ----

  bool Echo(std::size_t port) const;
  void SetEcho(std::size_t port, bool echo);
  // In data mode a port swallows everything until "+++", which answers OK.
  bool DataMode(std::size_t port) const;
  void SetDataMode(std::size_t port, bool dataMode);

  // ---- What the modem received ----

  std::vector<Command> Commands() const;
  std::size_t CommandCount() const;
  // Every byte received on the port, in order.
  std::string ReceivedBytes(std::size_t port) const;
  // Waits (at most `timeoutSeconds`) until at least `count` commands were received.
  bool WaitForCommands(std::size_t count, double timeoutSeconds = 10.0) const;
  // Waits until every port has written all of its pending output.
  bool WaitForIdle(double timeoutSeconds = 10.0) const;

 private:
  struct Output {
    Response::Item item;
    std::size_t written = 0;  // bytes of a Bytes item already written
  };
  struct Port {
    int master = -1;
    int slave = -1;  // held open so the terminal survives the host closing and reopening it
    std::string path;
    bool echo = true;
    bool dataMode = false;
    std::string input;     // received bytes not yet taken as a command
    std::string received;  // every byte received
    std::deque<Output> output;
    double resumeAt = 0;  // monotonic seconds; output waits until then
    bool promptActive = false;
    Response::PayloadHandler promptHandler;
    std::string payload;
  };

  void Run();
  void Wake() const;
  void HandleInput(std::size_t index, const char* bytes, std::size_t length);
  void TakeCommands(std::size_t index);
  void Execute(std::size_t index, const std::string& line);
  void Enqueue(std::size_t index, Response& response);
  // Writes what is due; answers the seconds until the next due output (or -1).
  double Flush(std::size_t index, double now);
  void CloseAll();
  void InstallDefaultHandlers();
  const Handler* FindHandler(const std::string& upper) const;

  const Options options_;
  // Recursive: handlers run under it and may change the modem's state.
  mutable std::recursive_mutex mutex_;
  mutable std::condition_variable_any changed_;
  std::vector<Port> ports_;
  std::map<std::string, Handler> handlers_;  // by upper-case prefix
  std::vector<Command> commands_;
  std::size_t chunkBytes_ = 0;
  double chunkPause_ = 0;
  bool mute_ = false;
  bool vanished_ = false;
  bool stop_ = false;
  int wakeFd_ = -1;
  std::thread thread_;
};

// The monotonic clock of the simulator, in seconds.
double Now();

}  // namespace modem_sim
