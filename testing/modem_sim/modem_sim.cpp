#include "testing/modem_sim/modem_sim.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace modem_sim {

namespace {

constexpr char kCtrlZ = 0x1a;
constexpr char kEscape = 0x1b;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void SetCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---- Response ----

Response& Response::Info(const std::string& line) { return Raw("\r\n" + line + "\r\n"); }

Response& Response::Raw(const std::string& bytes) {
  Item item;
  item.kind = Item::Kind::Bytes;
  item.bytes = bytes;
  items_.push_back(std::move(item));
  return *this;
}

Response& Response::Pause(double seconds) {
  Item item;
  item.kind = Item::Kind::Pause;
  item.seconds = seconds;
  items_.push_back(std::move(item));
  return *this;
}

Response& Response::Prompt(PayloadHandler handler, const std::string& prompt) {
  Raw("\r\n" + prompt);
  Item item;
  item.kind = Item::Kind::Prompt;
  item.payload = std::move(handler);
  items_.push_back(std::move(item));
  return *this;
}

Response& Response::Vanish() {
  Item item;
  item.kind = Item::Kind::Vanish;
  items_.push_back(std::move(item));
  return *this;
}

// ---- Modem ----

Modem::Modem(Options options) : options_(std::move(options)) {
  ports_.resize(options_.ports);
  for (Port& port : ports_) {
    char name[128] = {0};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&port.master, &port.slave, name, &raw, nullptr) != 0) {
      CloseAll();
      throw std::system_error(errno, std::generic_category(), "openpty");
    }
    SetCloseOnExec(port.master);
    SetCloseOnExec(port.slave);
    fcntl(port.master, F_SETFL, fcntl(port.master, F_GETFL) | O_NONBLOCK);
    port.path = name;
    port.echo = options_.echo;
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    CloseAll();
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  InstallDefaultHandlers();
  thread_ = std::thread([this] { Run(); });
}

Modem::~Modem() {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    stop_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  CloseAll();
  if (wakeFd_ >= 0) close(wakeFd_);
}

std::string Modem::PortPath(std::size_t port) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return port < ports_.size() ? ports_[port].path : std::string();
}

void Modem::On(const std::string& prefix, Handler handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  handlers_[Upper(prefix)] = std::move(handler);
}

void Modem::Remove(const std::string& prefix) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  handlers_.erase(Upper(prefix));
}

void Modem::SetChunking(std::size_t maxBytes, double pauseSeconds) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  chunkBytes_ = maxBytes;
  chunkPause_ = pauseSeconds;
}

void Modem::SetMute(bool mute) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  mute_ = mute;
}

void Modem::SendUnsolicited(const std::string& line, std::size_t port) {
  SendRaw("\r\n" + line + "\r\n", port);
}

void Modem::SendRaw(const std::string& bytes, std::size_t port) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (port >= ports_.size() || vanished_) return;
    Port& p = ports_[port];
    Output out;
    out.item.kind = Response::Item::Kind::Bytes;
    out.item.bytes = bytes;
    // Ahead of anything that waits, but never inside a line that is partly written.
    auto at = p.output.begin();
    if (at != p.output.end() && at->written > 0) ++at;
    p.output.insert(at, std::move(out));
    // Sent at once, even when the response it overtakes is pausing.
    p.resumeAt = 0;
  }
  Wake();
}

void Modem::Vanish() {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    CloseAll();
  }
  Wake();
}

bool Modem::Vanished() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return vanished_;
}

bool Modem::Echo(std::size_t port) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return port < ports_.size() && ports_[port].echo;
}

void Modem::SetEcho(std::size_t port, bool echo) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (port < ports_.size()) ports_[port].echo = echo;
}

bool Modem::DataMode(std::size_t port) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return port < ports_.size() && ports_[port].dataMode;
}

void Modem::SetDataMode(std::size_t port, bool dataMode) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (port < ports_.size()) ports_[port].dataMode = dataMode;
}

std::vector<Command> Modem::Commands() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return commands_;
}

std::size_t Modem::CommandCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return commands_.size();
}

std::string Modem::ReceivedBytes(std::size_t port) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return port < ports_.size() ? ports_[port].received : std::string();
}

bool Modem::WaitForCommands(std::size_t count, double timeoutSeconds) const {
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                           [&] { return commands_.size() >= count; });
}

bool Modem::WaitForIdle(double timeoutSeconds) const {
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
    return std::all_of(ports_.begin(), ports_.end(), [](const Port& p) { return p.output.empty(); });
  });
}

void Modem::Wake() const {
  if (wakeFd_ < 0) return;
  std::uint64_t one = 1;
  ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

void Modem::CloseAll() {
  for (Port& port : ports_) {
    if (port.master >= 0) close(port.master);
    if (port.slave >= 0) close(port.slave);
    port.master = port.slave = -1;
    port.output.clear();
    port.input.clear();
    port.promptActive = false;
    port.promptHandler = nullptr;
  }
  vanished_ = true;
  changed_.notify_all();
}

void Modem::Run() {
  std::vector<pollfd> fds;
  std::vector<std::size_t> owners;
  for (;;) {
    double wait = -1;
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      if (stop_) return;
      const double now = Now();
      fds.clear();
      owners.clear();
      fds.push_back({wakeFd_, POLLIN, 0});
      owners.push_back(ports_.size());
      for (std::size_t i = 0; i < ports_.size(); ++i) {
        Port& port = ports_[i];
        if (port.master < 0) continue;
        short events = POLLIN;
        if (!port.output.empty()) {
          if (port.resumeAt > now) {
            double until = port.resumeAt - now;
            wait = wait < 0 ? until : std::min(wait, until);
          } else {
            events |= POLLOUT;
          }
        }
        fds.push_back({port.master, events, 0});
        owners.push_back(i);
      }
    }
    int timeout = wait < 0 ? -1 : static_cast<int>(std::ceil(wait * 1000.0));
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) return;

    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (stop_) return;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      ssize_t ignored = read(wakeFd_, &count, sizeof count);
      (void)ignored;
    }
    for (std::size_t k = 1; k < fds.size(); ++k) {
      const std::size_t index = owners[k];
      Port& port = ports_[index];
      if (port.master != fds[k].fd) continue;  // closed meanwhile
      if (fds[k].revents & POLLIN) {
        char buffer[1024];
        ssize_t n = read(port.master, buffer, sizeof buffer);
        if (n > 0) HandleInput(index, buffer, static_cast<std::size_t>(n));
      }
    }
    const double now = Now();
    for (std::size_t i = 0; i < ports_.size(); ++i) {
      if (ports_[i].master < 0) continue;
      Flush(i, now);
      if (vanished_) break;
      TakeCommands(i);
      Flush(i, now);
    }
    changed_.notify_all();
  }
}

void Modem::HandleInput(std::size_t index, const char* bytes, std::size_t length) {
  Port& port = ports_[index];
  port.received.append(bytes, length);
  port.input.append(bytes, length);
  TakeCommands(index);
}

void Modem::TakeCommands(std::size_t index) {
  Port& port = ports_[index];
  // One command at a time: the next is taken once the answer to the last is out.
  while (port.master >= 0 && port.output.empty() && !port.input.empty()) {
    if (port.promptActive) {
      std::size_t end = port.input.find_first_of(std::string{kCtrlZ, kEscape});
      if (end == std::string::npos) {
        port.payload += port.input;
        port.input.clear();
        return;
      }
      port.payload += port.input.substr(0, end);
      const bool send = port.input[end] == kCtrlZ;
      port.input.erase(0, end + 1);
      port.promptActive = false;
      Response::PayloadHandler handler = std::move(port.promptHandler);
      port.promptHandler = nullptr;
      std::string payload = std::move(port.payload);
      port.payload.clear();
      Response response;
      if (send && handler)
        handler(payload, response);
      else
        response.Ok();
      Enqueue(index, response);
      continue;
    }
    if (port.dataMode) {
      std::size_t escape = port.input.find("+++");
      if (escape == std::string::npos) {
        // Data goes nowhere; keep a trailing '+' or two that may start the escape.
        std::size_t keep = 0;
        while (keep < 2 && keep < port.input.size() && port.input[port.input.size() - 1 - keep] == '+')
          ++keep;
        port.input.erase(0, port.input.size() - keep);
        return;
      }
      port.input.erase(0, escape + 3);
      port.dataMode = false;
      commands_.push_back({index, "+++", "+++"});
      if (!mute_) {
        Response response;
        response.Ok();
        Enqueue(index, response);
      }
      continue;
    }
    // "+++" is taken without a line end (the host sends no CR after it).
    if (StartsWith(port.input, "+++")) {
      port.input.erase(0, 3);
      commands_.push_back({index, "+++", "+++"});
      if (!mute_) {
        Response response;
        response.Ok();
        Enqueue(index, response);
      }
      continue;
    }
    std::size_t cr = port.input.find('\r');
    if (cr == std::string::npos) return;
    std::string line = port.input.substr(0, cr);
    port.input.erase(0, cr + 1);
    // A line feed after the host's CR, and anything before "AT", is not part of a command.
    std::size_t start = Upper(line).find("AT");
    if (start == std::string::npos) continue;
    line.erase(0, start);
    Execute(index, line);
  }
}

const Handler* Modem::FindHandler(const std::string& upper) const {
  const Handler* best = nullptr;
  std::size_t bestLength = 0;
  for (const auto& [prefix, handler] : handlers_) {
    if (prefix.size() >= bestLength && StartsWith(upper, prefix)) {
      best = &handler;
      bestLength = prefix.size();
    }
  }
  return best;
}

void Modem::Execute(std::size_t index, const std::string& line) {
  Command command{index, line, Upper(line)};
  commands_.push_back(command);
  if (mute_) return;
  Port& port = ports_[index];
  if (port.echo) {
    Response echo;
    echo.Raw(line + "\r");
    Enqueue(index, echo);
  }
  Response response;
  if (const Handler* handler = FindHandler(command.upper)) {
    Handler copy = *handler;  // the handler may change the table
    copy(command, response);
  } else {
    response.Error();
  }
  Enqueue(index, response);
}

void Modem::Enqueue(std::size_t index, Response& response) {
  Port& port = ports_[index];
  for (Response::Item& item : response.items_) {
    Output out;
    out.item = std::move(item);
    port.output.push_back(std::move(out));
  }
  response.items_.clear();
}

double Modem::Flush(std::size_t index, double now) {
  Port& port = ports_[index];
  while (port.master >= 0 && !port.output.empty()) {
    if (port.resumeAt > now) return port.resumeAt - now;
    Output& out = port.output.front();
    switch (out.item.kind) {
      case Response::Item::Kind::Pause:
        port.resumeAt = now + out.item.seconds;
        port.output.pop_front();
        continue;
      case Response::Item::Kind::Vanish:
        CloseAll();
        return -1;
      case Response::Item::Kind::Prompt:
        port.promptActive = true;
        port.promptHandler = std::move(out.item.payload);
        port.payload.clear();
        port.output.pop_front();
        continue;
      case Response::Item::Kind::Bytes:
        break;
    }
    std::size_t remaining = out.item.bytes.size() - out.written;
    std::size_t length = chunkBytes_ > 0 ? std::min(remaining, chunkBytes_) : remaining;
    ssize_t n = length == 0 ? 0 : write(port.master, out.item.bytes.data() + out.written, length);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return 0;
      // The terminal is gone.
      port.output.clear();
      return -1;
    }
    out.written += static_cast<std::size_t>(n);
    if (out.written >= out.item.bytes.size()) port.output.pop_front();
    if (chunkBytes_ > 0 && chunkPause_ > 0 && !port.output.empty()) port.resumeAt = now + chunkPause_;
  }
  return -1;
}

void Modem::InstallDefaultHandlers() {
  // The fallback for every AT command no longer prefix matches: plain "AT" is OK, anything
  // unknown is an error.
  handlers_["AT"] = [](const Command& c, Response& r) {
    if (c.upper == "AT")
      r.Ok();
    else
      r.Error();
  };
  handlers_["ATE"] = [this](const Command& c, Response& r) {
    const std::string arg = c.upper.substr(3);
    if (arg.empty() || arg == "0") {
      ports_[c.port].echo = false;
    } else if (arg == "1") {
      ports_[c.port].echo = true;
    } else {
      r.Error();
      return;
    }
    r.Ok();
  };
  handlers_["ATZ"] = [](const Command&, Response& r) { r.Ok(); };
  handlers_["AT&F"] = [](const Command&, Response& r) { r.Ok(); };
  handlers_["ATH"] = [](const Command&, Response& r) { r.Ok(); };
  handlers_["AT+CMEE"] = [](const Command&, Response& r) { r.Ok(); };
  handlers_["ATI"] = [this](const Command&, Response& r) {
    r.Info("Manufacturer: " + options_.manufacturer)
        .Info("Model: " + options_.model)
        .Info("Revision: " + options_.revision)
        .Info("IMEI: " + options_.imei)
        .Ok();
  };
  handlers_["AT+CGMI"] = [this](const Command&, Response& r) { r.Info(options_.manufacturer).Ok(); };
  handlers_["AT+CGMM"] = [this](const Command&, Response& r) { r.Info(options_.model).Ok(); };
  handlers_["AT+CGMR"] = [this](const Command&, Response& r) { r.Info(options_.revision).Ok(); };
  handlers_["AT+CGSN"] = [this](const Command&, Response& r) { r.Info(options_.imei).Ok(); };
  handlers_["ATD"] = [this](const Command& c, Response& r) {
    ports_[c.port].dataMode = true;
    r.Final("CONNECT");
  };
  auto messageReference = std::make_shared<int>(0);
  auto textEntry = [messageReference](const std::string& reply) {
    return [messageReference, reply](const Command&, Response& r) {
      r.Prompt([messageReference, reply](const std::string& payload, Response& answer) {
        if (payload.empty()) {
          answer.CmsError(304);
          return;
        }
        answer.Info(reply + std::to_string(++*messageReference)).Ok();
      });
    };
  };
  handlers_["AT+CMGS="] = textEntry("+CMGS: ");
  handlers_["AT+CMGW="] = textEntry("+CMGW: ");
}

}  // namespace modem_sim
