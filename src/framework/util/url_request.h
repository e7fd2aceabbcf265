#pragma once
// HTTP for the operator's services (connection tracking, registration, update checks) and
// for downloads of update archives and advertising images, over libcurl.
//
// Short requests run synchronously on worker threads. Long downloads run asynchronously on
// the run loop of the thread that starts them, report progress to a delegate and can resume
// a partial download with a range request.
//
// Time-outs are idle time-outs: a request ends with a time-out error when no byte has moved
// for the given time (connecting included), so a long download that keeps moving is never
// cut while a stalled one ends. Redirects are followed (http and https only).
//
// A response whose HTTP status is not a success completes with an error, so an error page
// is never mistaken for the data asked for; for a resumed download, 206 is a success only
// when its range continues the earlier data.

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace platform {
class Clock;
}

// "QPX Framework": errors of this framework's own making.
extern const char* const QPX_Framework_Error_Domain;
// "HTTP": the server answered with a status that is not a success; the code is the status.
extern const char* const QPX_Framework_HTTPError_Domain;
// "URL": the transfer failed (no connection, dropped connection, time-out, bad URL ...);
// the code is libcurl's error code.
extern const char* const QPX_Framework_URLError_Domain;

// Codes of QPX_Framework_Error_Domain.
enum : long {
  QPX_Framework_Error_Cancelled = 1,      // the loader was cancelled
  QPX_Framework_Error_RangeMismatch = 2,  // a 206 answer whose range does not continue the earlier data
};

struct QPX_Framework_Error {
  std::string domain;
  long code = 0;
  std::string description;  // may be empty

  // "<domain> <code>: <description>" (without ": ..." when there is no description).
  std::string Description() const;
  friend bool operator==(const QPX_Framework_Error& a, const QPX_Framework_Error& b) {
    return a.domain == b.domain && a.code == b.code;
  }
};

// --- Synchronous requests ------------------------------------------------------------------

// Sends a GET request and waits for the answer, giving up when the request is idle for
// `timeoutSeconds`. Answers the response body, or none when the URL cannot be made, the
// transfer failed or the server answered with status 400 or more. When `mimeType` is given
// it receives the response's MIME type (lower case, without parameters), or none on failure.
// A text that is no URL as it stands gets one more try with its unsafe bytes escaped as
// UTF-8. Calling it on the main thread is a programming error: it blocks.
std::optional<std::string> QPX_Framework_SendURL_WithTimeout(std::string_view url,
                                                             std::optional<std::string>* mimeType,
                                                             double timeoutSeconds, bool background);
// The same with a time-out of 60 seconds.
std::optional<std::string> QPX_Framework_SendURL(std::string_view url, std::optional<std::string>* mimeType,
                                                 bool background);

// With the flag, the request's packets are marked as background traffic (the lowest
// differentiated-services class), so they yield to what the user is doing. Without it the
// request keeps the system's default.
void QPX_Framework_NSMutableURLRequest_SetBackground(CURL* request, bool background);

// The text with every byte that may not stand in a URL percent-escaped ("%" too, unless it
// already starts an escape; "#" after the first one). What it gives is a URL when the text
// was one but for such bytes.
std::string QPX_Framework_URL_AddPercentEscapes(std::string_view text);

// --- Downloads -----------------------------------------------------------------------------

class QPX_Framework_LoadURL;

// Receives a loader's progress and its end, on the thread whose run loop runs the request.
// Both operations are optional: the defaults do nothing.
class QPX_Framework_LoadURL_Delegate {
 public:
  virtual ~QPX_Framework_LoadURL_Delegate() = default;
  // The data received so far and the expected total (QPX_Framework_LoadURL::UnknownSize when
  // the server gave none).
  virtual void QPX_Framework_LoadURL_ReceivedData(QPX_Framework_LoadURL& loader, const std::string& data,
                                                  std::uint64_t max);
  // The end of the request: the data of the last response and none, or the error.
  virtual void QPX_Framework_LoadURL_Data(QPX_Framework_LoadURL& loader, const std::string& data,
                                          const std::optional<QPX_Framework_Error>& error);
};

// One download at a time; each LoadURL begins with Reset, so a loader can run one request
// after another and a new request silently replaces a running one. Create it with
// std::make_shared and use it from the thread that starts its requests: every delegate call
// arrives on that thread's run loop, outside any call into the loader, so a delegate may
// cancel, restart or release the loader from its callbacks.
class QPX_Framework_LoadURL : public platform::ValueObject,
                              public std::enable_shared_from_this<QPX_Framework_LoadURL> {
 public:
  static constexpr std::uint64_t UnknownSize = UINT64_MAX;
  static constexpr double DefaultTimeout = 60.0;

  // The delegate is not owned: once it has gone, reports are skipped.
  explicit QPX_Framework_LoadURL(std::weak_ptr<QPX_Framework_LoadURL_Delegate> delegate);
  ~QPX_Framework_LoadURL() override;
  QPX_Framework_LoadURL(const QPX_Framework_LoadURL&) = delete;
  QPX_Framework_LoadURL& operator=(const QPX_Framework_LoadURL&) = delete;

  // Starts a GET request on the calling thread's run loop. With earlier data of non-zero
  // length, asks for the rest ("Range: bytes=<length>-"); a fitting 206 answer continues
  // the earlier data, a 200 answer starts afresh. Answers whether a request was started (no
  // URL can be made of the text: NO, and nothing is reported).
  bool LoadURL(std::string_view url, const std::optional<std::string>& earlier, bool background);
  // Stops the running request and completes it with QPX_Framework_Error_Cancelled. Does
  // nothing when no request is running (its end was reported already).
  void Cancel();
  // Stops and forgets the running request without a report; back to idle.
  void Reset();

  bool IsLoading() const { return transfer_ != nullptr; }
  // The data received for the current (or last) response.
  const std::string& Result() const { return result_; }
  std::uint64_t ExpectedSize() const { return expectedSize_; }
  // Seconds from the start of the request to its last event.
  double GetDuration() const { return loadDuration_; }

  void SetUserData(Value userData) { userData_ = std::move(userData); }
  const Value& GetUserData() const { return userData_; }

  // The idle time-out of the following requests (60 seconds). For tests.
  void SetIdleTimeout(double seconds) { idleTimeout_ = seconds; }

  std::string Description() const override;

  struct Transfer;  // one running request; defined in url_request.cpp

 private:
  friend struct Transfer;

  void ReportProgress();
  void ReportCompletion(const std::optional<QPX_Framework_Error>& error);
  void SetDuration();
  // The response is known (its first body byte or its end arrived): decide how its data
  // is taken. Changes state only; reports come afterwards.
  void HandleResponse();
  // After each call into libcurl: reports what happened, outside libcurl's callbacks.
  void AfterTransferEvents(const std::shared_ptr<Transfer>& transfer);
  void Finish(const std::shared_ptr<Transfer>& transfer, CURLcode code);
  void CheckIdle(const std::shared_ptr<Transfer>& transfer);

  std::weak_ptr<QPX_Framework_LoadURL_Delegate> delegate_;
  std::string existing_;  // earlier data offered for resuming
  std::string result_;
  std::shared_ptr<Transfer> transfer_;  // the running request ("connection")
  std::uint64_t expectedSize_ = UnknownSize;
  Value userData_;
  std::shared_ptr<platform::Clock> clock_;  // the run loop's clock
  std::optional<double> startTime_;         // monotonic, on that clock
  double loadDuration_ = 0;
  double idleTimeout_ = DefaultTimeout;
  bool accepted_ = false;                             // the current response's data is what was asked for
  std::optional<QPX_Framework_Error> responseError_;  // why it is not
  std::string url_;
};

// --- Helpers -------------------------------------------------------------------------------

// "Result": the tracking entry's key holding the server's answer (data).
extern const char* const QPX_Framework_VOQTracker_URL_Result;

class QPX_Framework_VOQTracker_OKChecker {
 public:
  // The tracker's check of a server answer: YES when the entry's "Result" begins with the
  // two bytes "OK". A "Result" that is missing or not data is a programming error.
  static bool QPX_Framework_VOQTracker_SentEntry(const Value& entry, const std::string& trackingKey);
};

// Opens the URL in the user's browser (xdg-open); without a URL, starts the default
// application for http URLs without a page. Answers whether the program was started.
bool QPX_Framework_Launch_Browser(const std::optional<std::string>& url);
// The program that opens URLs ("xdg-open"). For tests.
void _QPX_Framework_Launch_Browser_SetOpener(const std::string& program);
