#include "framework/util/url_request.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/util/process.h"
#include "framework/util/url_util.h"
#include "platform/run_loop.h"

extern char** environ;

const char* const QPX_Framework_Error_Domain = "QPX Framework";
const char* const QPX_Framework_HTTPError_Domain = "HTTP";
const char* const QPX_Framework_URLError_Domain = "URL";
const char* const QPX_Framework_VOQTracker_URL_Result = "Result";

std::string QPX_Framework_Error::Description() const {
  std::string text = domain + " " + std::to_string(code);
  if (!description.empty()) text += ": " + description;
  return text;
}

namespace {

constexpr long kMaxRedirects = 16;
// Differentiated-services class CS1, "lower effort" traffic.
constexpr int kBackgroundTrafficClass = 0x20;

void EnsureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Lowercase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string Trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end &&
         (text[begin] == ' ' || text[begin] == '\t' || text[begin] == '\r' || text[begin] == '\n'))
    ++begin;
  while (end > begin &&
         (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' || text[end - 1] == '\n'))
    --end;
  return std::string(text.substr(begin, end - begin));
}

// The header lines of one response. A status line starts a new response (a redirect or an
// interim answer came before), so only the last response's lines are kept.
struct HeaderLines {
  std::vector<std::string> lines;

  void Add(std::string_view raw) {
    std::string line = Trim(raw);
    if (line.rfind("HTTP/", 0) == 0) {
      lines.clear();
      return;
    }
    if (!line.empty()) lines.push_back(std::move(line));
  }
  std::optional<std::string> Get(std::string_view name) const {
    const std::string wanted = Lowercase(std::string(name));
    for (const std::string& line : lines) {
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      if (Lowercase(Trim(std::string_view(line).substr(0, colon))) == wanted)
        return Trim(std::string_view(line).substr(colon + 1));
    }
    return std::nullopt;
  }
};

int BackgroundSocketOption(void*, curl_socket_t fd, curlsocktype purpose) {
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return CURL_SOCKOPT_OK;
  const int value = kBackgroundTrafficClass;
  // Marking is a courtesy to the network; a system that refuses it still gets the request.
  if (address.ss_family == AF_INET)
    (void)::setsockopt(fd, IPPROTO_IP, IP_TOS, &value, sizeof value);
  else if (address.ss_family == AF_INET6)
    (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &value, sizeof value);
  return CURL_SOCKOPT_OK;
}

std::string UserAgent() {
  const std::string& name = QPX_Framework_ApplicationInfo.name;
  const std::string& build = QPX_Framework_ApplicationInfo.buildID;
  std::string agent = name.empty() ? std::string("Dashboard") : name;
  if (!build.empty()) agent += "/" + build;
  return agent;
}

// Options shared by both kinds of request. The idle time-out itself is watched by the
// caller; connecting gets the same limit.
void ConfigureEasy(CURL* easy, const std::string& url, double idleTimeout, bool background,
                   char* errorBuffer) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  const double ms = std::clamp(idleTimeout * 1000.0, 1.0, 86400000.0);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ms));
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
  const std::string agent = UserAgent();
  curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());  // copied by libcurl
  QPX_Framework_NSMutableURLRequest_SetBackground(easy, background);
}

QPX_Framework_Error CurlError(CURLcode code, const char* errorBuffer) {
  std::string text = (errorBuffer != nullptr && errorBuffer[0] != '\0')
                         ? std::string(errorBuffer)
                         : std::string(curl_easy_strerror(code));
  return QPX_Framework_Error{QPX_Framework_URLError_Domain, static_cast<long>(code), std::move(text)};
}

QPX_Framework_Error IdleTimeoutError(double seconds) {
  char text[96];
  std::snprintf(text, sizeof text, "No data moved for %g seconds", seconds);
  return QPX_Framework_Error{QPX_Framework_URLError_Domain, static_cast<long>(CURLE_OPERATION_TIMEDOUT),
                             text};
}

// "HTTP 200, text/html; charset=utf-8" for the log.
std::string DescribeResponse(CURL* easy) {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) return "(no response)";
  std::string text = "HTTP " + std::to_string(status);
  char* type = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr)
    text += std::string(", ") + type;
  return text;
}

std::string EffectiveURL(CURL* easy, const std::string& fallback) {
  char* url = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr) return url;
  return fallback;
}

// "<n> bytes: 4f 4b ..." with the first 30 bytes.
std::string SummariseBody(const std::string& body) {
  std::string text = std::to_string(body.size()) + " bytes:";
  const std::size_t shown = std::min<std::size_t>(body.size(), 30);
  char hex[8];
  for (std::size_t i = 0; i < shown; ++i) {
    std::snprintf(hex, sizeof hex, " %02x", static_cast<unsigned>(static_cast<unsigned char>(body[i])));
    text += hex;
  }
  if (body.size() > shown) text += "...";
  return text;
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool IsURLCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && std::strchr("-._~:/?#[]@!$&'()*+,;=", c) != nullptr;
}

// Reads "bytes <first>-<last>/<total>" exactly (already lower-cased).
bool ParseContentRange(const std::string& text, std::uint64_t& first, std::uint64_t& last,
                       std::uint64_t& total) {
  std::size_t at = 0;
  if (text.compare(0, 5, "bytes") != 0) return false;
  at = 5;
  if (at >= text.size() || text[at] != ' ') return false;
  while (at < text.size() && text[at] == ' ') ++at;
  auto number = [&](std::uint64_t& out) {
    const std::size_t start = at;
    std::uint64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      const std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
      if (value > (UINT64_MAX - digit) / 10) return false;
      value = value * 10 + digit;
      ++at;
    }
    out = value;
    return at > start;
  };
  if (!number(first) || at >= text.size() || text[at++] != '-') return false;
  if (!number(last) || at >= text.size() || text[at++] != '/') return false;
  if (!number(total)) return false;
  return at == text.size();
}

}  // namespace

// --- Synchronous requests ------------------------------------------------------------------

std::string QPX_Framework_URL_AddPercentEscapes(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  bool sawFragment = false;
  char hex[4];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    bool keep = IsURLCharacter(c);
    if (c == '#') {
      keep = !sawFragment;
      sawFragment = true;
    }
    if (c == '%') keep = i + 2 < text.size() && IsHex(text[i + 1]) && IsHex(text[i + 2]);
    if (keep) {
      escaped += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned>(c));
      escaped += hex;
    }
  }
  return escaped;
}

void QPX_Framework_NSMutableURLRequest_SetBackground(CURL* request, bool background) {
  if (request == nullptr) return;
  if (background) {
    curl_easy_setopt(request, CURLOPT_SOCKOPTFUNCTION, &BackgroundSocketOption);
  } else {
    curl_easy_setopt(request, CURLOPT_SOCKOPTFUNCTION, static_cast<curl_sockopt_callback>(nullptr));
  }
}

namespace {

struct SyncTransfer {
  std::string body;
  HeaderLines headers;
  double idleTimeout = 60.0;
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
  curl_off_t lastDown = 0;
  curl_off_t lastUp = 0;
  bool timedOut = false;

  static size_t Write(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<SyncTransfer*>(user);
    self->body.append(data, size * count);
    self->lastActivity = std::chrono::steady_clock::now();
    return size * count;
  }
  static size_t Header(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<SyncTransfer*>(user);
    self->headers.Add(std::string_view(data, size * count));
    self->lastActivity = std::chrono::steady_clock::now();
    return size * count;
  }
  static int Progress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* self = static_cast<SyncTransfer*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (downloaded != self->lastDown || uploaded != self->lastUp) {
      self->lastDown = downloaded;
      self->lastUp = uploaded;
      self->lastActivity = now;
      return 0;
    }
    if (std::chrono::duration<double>(now - self->lastActivity).count() >= self->idleTimeout) {
      self->timedOut = true;
      return 1;  // ends the transfer
    }
    return 0;
  }
};

std::optional<QPX_Framework_URL> MakeURL(std::string_view text, bool escapeOnFailure) {
  std::optional<QPX_Framework_URL> url = QPX_Framework_URL::FromString(text);
  if (!url && escapeOnFailure) url = QPX_Framework_URL::FromString(QPX_Framework_URL_AddPercentEscapes(text));
  return url;
}

}  // namespace

std::optional<std::string> QPX_Framework_SendURL_WithTimeout(std::string_view urlText,
                                                             std::optional<std::string>* mimeType,
                                                             double timeoutSeconds, bool background) {
  QPX_Assert(!QPX_Framework_IsMainThread());
  if (mimeType != nullptr) mimeType->reset();
  const std::optional<QPX_Framework_URL> url = MakeURL(urlText, true);
  if (!url) {
    QPX_Log(QPX_LOG_ERROR, "No URL can be made of \"%s\"", std::string(urlText).c_str());
    return std::nullopt;
  }
  const std::string& address = url->absoluteString();

  EnsureCurlInitialised();
  std::unique_ptr<CURL, void (*)(CURL*)> easy(curl_easy_init(), &curl_easy_cleanup);
  if (!easy) {
    QPX_Log(QPX_LOG_ERROR, "Unable to make a request for \"%s\"", address.c_str());
    return std::nullopt;
  }
  char errorBuffer[CURL_ERROR_SIZE] = {};
  SyncTransfer transfer;
  transfer.idleTimeout = timeoutSeconds > 0 ? timeoutSeconds : QPX_Framework_LoadURL::DefaultTimeout;
  ConfigureEasy(easy.get(), address, transfer.idleTimeout, background, errorBuffer);
  // Short service answers may come compressed; libcurl decodes them.
  curl_easy_setopt(easy.get(), CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &SyncTransfer::Write);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, &SyncTransfer::Header);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy.get(), CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy.get(), CURLOPT_XFERINFOFUNCTION, &SyncTransfer::Progress);
  curl_easy_setopt(easy.get(), CURLOPT_XFERINFODATA, &transfer);

  QPX_Log(QPX_LOG_MILESTONE, "Retrieving \"%s\"", address.c_str());
  const CURLcode code = curl_easy_perform(easy.get());

  std::optional<QPX_Framework_Error> error;
  if (transfer.timedOut)
    error = IdleTimeoutError(transfer.idleTimeout);
  else if (code != CURLE_OK)
    error = CurlError(code, errorBuffer);
  long status = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  // An error page is not the answer that was asked for.
  if (!error && status >= 400) error = QPX_Framework_Error{QPX_Framework_HTTPError_Domain, status, {}};

  QPX_Log(QPX_LOG_MILESTONE, "%s -> %s/%s (%s)", address.c_str(), DescribeResponse(easy.get()).c_str(),
          error ? error->Description().c_str() : "(no error)", SummariseBody(transfer.body).c_str());
  if (error) return std::nullopt;

  if (mimeType != nullptr) {
    char* type = nullptr;
    if (curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) {
      std::string mime = type;
      const std::size_t semicolon = mime.find(';');
      if (semicolon != std::string::npos) mime.erase(semicolon);
      *mimeType = Lowercase(Trim(mime));
    }
  }
  return std::move(transfer.body);
}

std::optional<std::string> QPX_Framework_SendURL(std::string_view url, std::optional<std::string>* mimeType,
                                                 bool background) {
  return QPX_Framework_SendURL_WithTimeout(url, mimeType, QPX_Framework_LoadURL::DefaultTimeout, background);
}

// --- Downloads -----------------------------------------------------------------------------

void QPX_Framework_LoadURL_Delegate::QPX_Framework_LoadURL_ReceivedData(QPX_Framework_LoadURL&,
                                                                        const std::string&, std::uint64_t) {}
void QPX_Framework_LoadURL_Delegate::QPX_Framework_LoadURL_Data(QPX_Framework_LoadURL&, const std::string&,
                                                                const std::optional<QPX_Framework_Error>&) {}

// One running request: a libcurl multi handle driven by the starting thread's run loop. Its
// sockets become run-loop sources and libcurl's timer a run-loop timer, so every callback
// runs on that thread. libcurl's own callbacks only change state; the loader reports after
// libcurl has returned.
struct QPX_Framework_LoadURL::Transfer {
  std::weak_ptr<Transfer> self;
  std::weak_ptr<QPX_Framework_LoadURL> loader;
  QPX_Framework_LoadURL* owner = nullptr;  // valid while libcurl runs: the loader drives it
  platform::RunLoop* loop = nullptr;
  std::shared_ptr<platform::Clock> clock;
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* requestHeaders = nullptr;
  bool added = false;
  std::map<curl_socket_t, std::shared_ptr<platform::FdSource>> sources;
  std::shared_ptr<platform::Timer> curlTimer;
  std::shared_ptr<platform::Timer> idleTimer;
  HeaderLines headers;
  bool responseHandled = false;
  bool progressPending = false;
  double lastActivity = 0;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    Stop();
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (multi != nullptr) curl_multi_cleanup(multi);
    if (requestHeaders != nullptr) curl_slist_free_all(requestHeaders);
    for (auto& entry : sources) entry.second->Invalidate();
    sources.clear();
  }

  // Ends the exchange: no socket, timer or libcurl callback follows.
  void Stop() {
    if (added) {
      added = false;
      curl_multi_remove_handle(multi, easy);
    }
    if (curlTimer) curlTimer->Invalidate();
    if (idleTimer) idleTimer->Invalidate();
    for (auto& entry : sources) entry.second->Invalidate();
    sources.clear();
  }

  void Touch() { lastActivity = clock->Now(); }

  // Runs libcurl for a ready socket or its time-out, then lets the loader report.
  static void Drive(const std::shared_ptr<Transfer>& transfer, curl_socket_t socket, int events) {
    std::shared_ptr<QPX_Framework_LoadURL> loader = transfer->loader.lock();
    if (!loader || loader->transfer_ != transfer || !transfer->added) return;
    int running = 0;
    curl_multi_socket_action(transfer->multi, socket, events, &running);
    loader->AfterTransferEvents(transfer);
  }

  static int SocketCallback(CURL*, curl_socket_t socket, int what, void* user, void*) {
    auto* transfer = static_cast<Transfer*>(user);
    auto found = transfer->sources.find(socket);
    if (found != transfer->sources.end()) {
      found->second->Invalidate();
      transfer->sources.erase(found);
    }
    if (what == CURL_POLL_REMOVE) return 0;
    unsigned events = 0;
    if (what & CURL_POLL_IN) events |= platform::RunLoop::Readable;
    if (what & CURL_POLL_OUT) events |= platform::RunLoop::Writable;
    std::weak_ptr<Transfer> weak = transfer->self;
    transfer->sources[socket] = transfer->loop->AddFd(socket, events, [weak, socket](unsigned ready) {
      std::shared_ptr<Transfer> strong = weak.lock();
      if (!strong) return;
      int flags = 0;
      if (ready & platform::RunLoop::Readable) flags |= CURL_CSELECT_IN;
      if (ready & platform::RunLoop::Writable) flags |= CURL_CSELECT_OUT;
      Drive(strong, socket, flags);
    });
    return 0;
  }

  static int TimerCallback(CURLM*, long milliseconds, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->curlTimer) transfer->curlTimer->Invalidate();
    transfer->curlTimer.reset();
    if (milliseconds < 0) return 0;
    std::weak_ptr<Transfer> weak = transfer->self;
    transfer->curlTimer =
        transfer->loop->AddTimer(static_cast<double>(milliseconds) / 1000.0, [weak](platform::Timer&) {
          if (std::shared_ptr<Transfer> strong = weak.lock()) Drive(strong, CURL_SOCKET_TIMEOUT, 0);
        });
    return 0;
  }

  static size_t Write(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    QPX_Framework_LoadURL& loader = *transfer->owner;
    transfer->Touch();
    if (!transfer->responseHandled) loader.HandleResponse();
    loader.result_.append(data, size * count);
    loader.SetDuration();
    transfer->progressPending = true;
    return size * count;
  }

  static size_t Header(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    transfer->Touch();
    transfer->headers.Add(std::string_view(data, size * count));
    return size * count;
  }
};

QPX_Framework_LoadURL::QPX_Framework_LoadURL(std::weak_ptr<QPX_Framework_LoadURL_Delegate> delegate)
    : delegate_(std::move(delegate)) {}

QPX_Framework_LoadURL::~QPX_Framework_LoadURL() {
  Reset();
  userData_ = Value();
}

std::string QPX_Framework_LoadURL::Description() const {
  return "<QPX_Framework_LoadURL " + (url_.empty() ? std::string("idle") : url_) + ">";
}

void QPX_Framework_LoadURL::Reset() {
  if (transfer_) {
    std::shared_ptr<Transfer> transfer = std::move(transfer_);
    transfer->Stop();
  }
  result_.clear();
  existing_.clear();
  startTime_.reset();
  expectedSize_ = UnknownSize;
  loadDuration_ = 0;
  accepted_ = false;
  responseError_.reset();
}

void QPX_Framework_LoadURL::Cancel() {
  if (!transfer_) return;
  std::shared_ptr<QPX_Framework_LoadURL> keepAlive = weak_from_this().lock();
  std::shared_ptr<Transfer> transfer = std::move(transfer_);
  transfer->Stop();
  SetDuration();
  ReportCompletion(
      QPX_Framework_Error{QPX_Framework_Error_Domain, QPX_Framework_Error_Cancelled, "Cancelled"});
}

bool QPX_Framework_LoadURL::LoadURL(std::string_view urlText, const std::optional<std::string>& earlier,
                                    bool background) {
  Reset();
  // The run loop's callbacks find the loader through a weak reference.
  QPX_Assert(!weak_from_this().expired());
  const std::optional<QPX_Framework_URL> url = QPX_Framework_URL::FromString(urlText);
  if (!url) {
    QPX_Log(QPX_LOG_ERROR, "No URL can be made of \"%s\"", std::string(urlText).c_str());
    return false;
  }
  url_ = url->absoluteString();

  EnsureCurlInitialised();
  auto transfer = std::make_shared<Transfer>();
  transfer->self = transfer;
  transfer->loader = weak_from_this();
  transfer->owner = this;
  transfer->loop = &platform::RunLoop::Current();
  transfer->clock = transfer->loop->clock();
  transfer->multi = curl_multi_init();
  transfer->easy = curl_easy_init();
  if (transfer->multi == nullptr || transfer->easy == nullptr) {
    QPX_Log(QPX_LOG_ERROR, "Unable to make a request for \"%s\"", url_.c_str());
    return false;
  }
  CURL* easy = transfer->easy;
  ConfigureEasy(easy, url_, idleTimeout_, background, transfer->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::Write);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::Header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
  if (earlier && !earlier->empty()) {
    existing_ = *earlier;
    char range[64];
    std::snprintf(range, sizeof range, "Range: bytes=%" PRIu64 "-",
                  static_cast<std::uint64_t>(existing_.size()));
    transfer->requestHeaders = curl_slist_append(nullptr, range);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->requestHeaders);
  }
  curl_multi_setopt(transfer->multi, CURLMOPT_SOCKETFUNCTION, &Transfer::SocketCallback);
  curl_multi_setopt(transfer->multi, CURLMOPT_SOCKETDATA, transfer.get());
  curl_multi_setopt(transfer->multi, CURLMOPT_TIMERFUNCTION, &Transfer::TimerCallback);
  curl_multi_setopt(transfer->multi, CURLMOPT_TIMERDATA, transfer.get());

  clock_ = transfer->clock;
  startTime_ = clock_->Now();
  transfer->lastActivity = *startTime_;
  if (curl_multi_add_handle(transfer->multi, easy) != CURLM_OK) {
    QPX_Log(QPX_LOG_ERROR, "Unable to start the request for \"%s\"", url_.c_str());
    startTime_.reset();
    return false;
  }
  transfer->added = true;
  const double timeout = idleTimeout_;
  std::weak_ptr<Transfer> weak = transfer;
  transfer->idleTimer = transfer->loop->AddTimer(timeout, [weak](platform::Timer&) {
    std::shared_ptr<Transfer> strong = weak.lock();
    if (!strong) return;
    if (std::shared_ptr<QPX_Framework_LoadURL> loader = strong->loader.lock()) loader->CheckIdle(strong);
  });
  transfer_ = transfer;
  return true;
}

void QPX_Framework_LoadURL::CheckIdle(const std::shared_ptr<Transfer>& transfer) {
  if (transfer_ != transfer) return;
  const double idle = transfer->clock->Now() - transfer->lastActivity;
  if (idle >= idleTimeout_) {
    std::shared_ptr<QPX_Framework_LoadURL> keepAlive = shared_from_this();
    transfer_.reset();
    transfer->Stop();
    QPX_Log(QPX_LOG_TRACE, "%s stalled for %g seconds", url_.c_str(), idle);
    SetDuration();
    ReportCompletion(IdleTimeoutError(idleTimeout_));
    return;
  }
  std::weak_ptr<Transfer> weak = transfer;
  transfer->idleTimer = transfer->loop->AddTimer(idleTimeout_ - idle, [weak](platform::Timer&) {
    std::shared_ptr<Transfer> strong = weak.lock();
    if (!strong) return;
    if (std::shared_ptr<QPX_Framework_LoadURL> loader = strong->loader.lock()) loader->CheckIdle(strong);
  });
}

void QPX_Framework_LoadURL::SetDuration() {
  if (!startTime_) return;
  if (clock_) loadDuration_ = clock_->Now() - *startTime_;
}

void QPX_Framework_LoadURL::HandleResponse() {
  Transfer& transfer = *transfer_;
  transfer.responseHandled = true;
  QPX_Log(QPX_LOG_CALLS, "%s", DescribeResponse(transfer.easy).c_str());
  SetDuration();
  result_.clear();
  accepted_ = false;
  responseError_.reset();

  long status = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  QPX_Log(QPX_LOG_TRACE, "%s -> %ld", EffectiveURL(transfer.easy, url_).c_str(), status);
  if (status >= 200 && status < 300 && status != 206) {
    // The whole document; earlier data, if any was offered, is not continued.
    curl_off_t length = -1;
    curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    expectedSize_ = length >= 0 ? static_cast<std::uint64_t>(length) : UnknownSize;
    accepted_ = true;
  } else if (status == 206) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
    const std::optional<std::string> range = transfer.headers.Get("Content-Range");
    if (!existing_.empty() && range && ParseContentRange(Lowercase(*range), first, last, total) &&
        last != UINT64_MAX && last + 1 == total && first <= last && first <= existing_.size()) {
      result_.assign(existing_, 0, static_cast<std::size_t>(first));
      expectedSize_ = total;
      accepted_ = true;
    } else {
      QPX_Log(QPX_LOG_ERROR, "%s: range \"%s\" does not continue %zu earlier bytes", url_.c_str(),
              range ? range->c_str() : "", existing_.size());
      responseError_ = QPX_Framework_Error{QPX_Framework_Error_Domain, QPX_Framework_Error_RangeMismatch,
                                           "The answer does not continue the earlier data"};
    }
  } else {
    responseError_ = QPX_Framework_Error{QPX_Framework_HTTPError_Domain, status, {}};
  }
  if (accepted_) transfer.progressPending = true;
}

void QPX_Framework_LoadURL::AfterTransferEvents(const std::shared_ptr<Transfer>& transfer) {
  std::shared_ptr<QPX_Framework_LoadURL> keepAlive = shared_from_this();
  bool done = false;
  CURLcode code = CURLE_OK;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(transfer->multi, &left)) {
    if (message->msg == CURLMSG_DONE) {
      done = true;
      code = message->data.result;
    }
  }
  if (transfer->progressPending) {
    transfer->progressPending = false;
    ReportProgress();
    if (transfer_ != transfer) return;  // the delegate cancelled or restarted
  }
  if (done) Finish(transfer, code);
}

void QPX_Framework_LoadURL::Finish(const std::shared_ptr<Transfer>& transfer, CURLcode code) {
  if (code == CURLE_OK && !transfer->responseHandled) HandleResponse();  // a response without body
  transfer_.reset();
  transfer->Stop();
  SetDuration();
  if (code != CURLE_OK) {
    const QPX_Framework_Error error = CurlError(code, transfer->errorBuffer);
    QPX_Log(QPX_LOG_TRACE, "%s failed: %s", url_.c_str(), error.Description().c_str());
    ReportCompletion(error);
    return;
  }
  QPX_Log(QPX_LOG_TRACE, "%s finished: %zu bytes in %.3f s", url_.c_str(), result_.size(), loadDuration_);
  if (!accepted_) {
    ReportCompletion(responseError_);
    return;
  }
  if (std::shared_ptr<QPX_Framework_LoadURL_Delegate> delegate = delegate_.lock()) {
    delegate->QPX_Framework_LoadURL_ReceivedData(*this, result_, result_.size());
    if (transfer_ || startTime_ == std::nullopt) return;  // the delegate started again or reset
  }
  ReportCompletion(std::nullopt);
}

void QPX_Framework_LoadURL::ReportProgress() {
  if (std::shared_ptr<QPX_Framework_LoadURL_Delegate> delegate = delegate_.lock())
    delegate->QPX_Framework_LoadURL_ReceivedData(*this, result_, expectedSize_);
}

void QPX_Framework_LoadURL::ReportCompletion(const std::optional<QPX_Framework_Error>& error) {
  if (error)
    QPX_Log(QPX_LOG_ERROR, "%s", error->Description().c_str());
  else
    QPX_Log(QPX_LOG_CALLS, "%s completed", url_.c_str());
  if (std::shared_ptr<QPX_Framework_LoadURL_Delegate> delegate = delegate_.lock())
    delegate->QPX_Framework_LoadURL_Data(*this, result_, error);
}

// --- Helpers -------------------------------------------------------------------------------

bool QPX_Framework_VOQTracker_OKChecker::QPX_Framework_VOQTracker_SentEntry(const Value& entry,
                                                                            const std::string& trackingKey) {
  QPX_Log(QPX_LOG_CALLS, "%s -> %s", trackingKey.c_str(), entry.Description().c_str());
  const Value result = entry.get(QPX_Framework_VOQTracker_URL_Result);
  QPX_Assert_Detail(result.isData(), Value("tracking entry without data under \"Result\""));
  const Value::Bytes& bytes = result.data();
  return bytes.size() >= 2 && bytes[0] == 'O' && bytes[1] == 'K';
}

namespace {

std::mutex& OpenerMutex() {
  static std::mutex mutex;
  return mutex;
}
std::string& OpenerProgram() {
  static std::string program = "xdg-open";
  return program;
}

// Starts the program without waiting for it; a detached thread reaps it.
bool SpawnDetached(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return false;
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to start %s: %s", QPX_Framework_CommandLineForDisplay(argv).c_str(),
            std::strerror(error));
    return false;
  }
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace

void _QPX_Framework_Launch_Browser_SetOpener(const std::string& program) {
  std::lock_guard<std::mutex> lock(OpenerMutex());
  OpenerProgram() = program.empty() ? std::string("xdg-open") : program;
}

bool QPX_Framework_Launch_Browser(const std::optional<std::string>& url) {
  QPX_Log(QPX_LOG_CALLS, "%s", url ? url->c_str() : "(no URL)");
  if (url) {
    std::string opener;
    {
      std::lock_guard<std::mutex> lock(OpenerMutex());
      opener = OpenerProgram();
    }
    return SpawnDetached({opener, *url});
  }
  // The application that would open a loopback http address, started without a page.
  const std::optional<std::string> desktop =
      QPX_Framework_RunCommand_Sync({"xdg-mime", "query", "default", "x-scheme-handler/http"});
  if (!desktop) return false;
  std::string id = Trim(*desktop);
  const std::string suffix = ".desktop";
  if (id.size() > suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0)
    id.erase(id.size() - suffix.size());
  if (id.empty()) {
    QPX_Log(QPX_LOG_ERROR, "No default application for http addresses");
    return false;
  }
  return SpawnDetached({"gtk-launch", id});
}
