#include "framework/util/url_request.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/core/globals.h"
#include "platform/assert.h"
#include "platform/run_loop.h"
#include "testing/test_support.h"

namespace {

std::string MakeBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return body;
}

// Lets a handler ask for a range answer of its own making: the server would otherwise cut
// the body to the requested range itself.
void TakeOverRanges(const httplib::Request& request) {
  const_cast<httplib::Request&>(request).ranges.clear();
}

// A real HTTP server on the loopback interface, in the test process.
class LoopbackServer {
 public:
  LoopbackServer() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LoopbackServer() {
    Release();
    server_.stop();
    thread_.join();
  }
  httplib::Server& server() { return server_; }
  std::string URL(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // A handler that stalls waits here until the test ends (bounded, so a fault cannot hang).
  void WaitForRelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    released_cv_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    released_cv_.notify_all();
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
};

class Recorder : public QPX_Framework_LoadURL_Delegate {
 public:
  struct Progress {
    std::size_t length;
    std::uint64_t max;
  };
  std::vector<Progress> progress;
  int completions = 0;
  std::string data;
  std::optional<QPX_Framework_Error> error;
  std::function<void(QPX_Framework_LoadURL&)> onProgress;
  std::function<void(QPX_Framework_LoadURL&)> onCompletion;

  void QPX_Framework_LoadURL_ReceivedData(QPX_Framework_LoadURL& loader, const std::string& received,
                                          std::uint64_t max) override {
    progress.push_back({received.size(), max});
    if (onProgress) onProgress(loader);
  }
  void QPX_Framework_LoadURL_Data(QPX_Framework_LoadURL& loader, const std::string& received,
                                  const std::optional<QPX_Framework_Error>& failure) override {
    ++completions;
    data = received;
    error = failure;
    if (onCompletion) onCompletion(loader);
  }
};

// Turns the calling thread's run loop until the recorder saw a completion (bounded, so a
// fault fails the test instead of hanging it).
void RunUntilComplete(const Recorder& recorder) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (recorder.completions == 0 && std::chrono::steady_clock::now() < giveUp)
    platform::RunLoop::Current().RunOnce(0.05);
}

// A loopback port where nobody listens.
class ClosedPort {
 public:
  ClosedPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~ClosedPort() { ::close(fd_); }
  std::string URL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class URLRequestTest : public ::testing::Test {
 protected:
  URLRequestTest() : body_(MakeBody(5000)) {
    auto& s = server_.server();
    s.Get("/file", [this](const httplib::Request& request, httplib::Response& response) {
      TakeOverRanges(request);
      ranges_.push_back(request.get_header_value("Range"));
      response.set_content(body_, "application/octet-stream");
    });
    s.Get("/text", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("hello", "Text/Plain; charset=utf-8");
    });
    s.Get("/empty", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content("not here", "text/plain");
    });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& response) {
      response.status = 500;
      response.set_content("oops", "text/plain");
    });
    s.Get("/old",
          [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/file"); });
    s.Get("/loop",
          [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/loop"); });
    s.Get(R"(/echo.*)", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(request.path + "|" + request.get_param_value("q"), "text/plain");
    });
    // No length: chunked in three parts.
    s.Get("/chunked", [this](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider(
          "application/octet-stream", [this](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= body_.size()) {
              sink.done();
              return true;
            }
            const std::size_t part = std::min<std::size_t>(2000, body_.size() - offset);
            sink.write(body_.data() + offset, part);
            return true;
          });
    });
    // Headers and a first part, then nothing.
    s.Get("/stall", [this](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("application/octet-stream",
                                            [this](std::size_t offset, httplib::DataSink& sink) {
                                              if (offset == 0) {
                                                sink.write(body_.data(), 100);
                                                return true;
                                              }
                                              server_.WaitForRelease();
                                              return false;
                                            });
    });
    // No answer at all.
    s.Get("/silent", [this](const httplib::Request&, httplib::Response& response) {
      server_.WaitForRelease();
      response.set_content("late", "text/plain");
    });
  }

  LoopbackServer server_;
  std::string body_;
  std::vector<std::string> ranges_;  // the Range header of each request of /file
};

// --- Synchronous requests ------------------------------------------------------------------

TEST_F(URLRequestTest, SendURLAnswersTheBodyAndItsMimeType) {
  std::optional<std::string> mime = "stale";
  EXPECT_EQ(QPX_Framework_SendURL(server_.URL("/text"), &mime, false), "hello");
  EXPECT_EQ(mime, "text/plain");

  EXPECT_EQ(QPX_Framework_SendURL(server_.URL("/empty"), &mime, false), "");
  EXPECT_EQ(QPX_Framework_SendURL_WithTimeout(server_.URL("/old"), nullptr, 10, true), body_);
}

TEST_F(URLRequestTest, SendURLAnswersNoneForFailures) {
  ClosedPort closed;
  struct Case {
    const char* name;
    std::string url;
  } cases[] = {
      {"404", server_.URL("/missing")},
      {"500", server_.URL("/broken")},
      {"endless redirects", server_.URL("/loop")},
      {"nobody listening", closed.URL()},
      {"scheme that is not http", "ftp://127.0.0.1/file"},
      {"no URL at all", ""},
  };
  for (const Case& c : cases) {
    std::optional<std::string> mime = "stale";
    EXPECT_EQ(QPX_Framework_SendURL_WithTimeout(c.url, &mime, 10, false), std::nullopt) << c.name;
    EXPECT_EQ(mime, std::nullopt) << c.name;
  }
}

TEST_F(URLRequestTest, SendURLEscapesATextThatIsNoURLAsItStands) {
  EXPECT_EQ(QPX_Framework_SendURL(server_.URL("/echo a b?q=Grüße 100%"), nullptr, false),
            "/echo a b|Grüße 100%");
}

TEST_F(URLRequestTest, SendURLGivesUpOnAServerThatNeverAnswers) {
  EXPECT_EQ(QPX_Framework_SendURL_WithTimeout(server_.URL("/silent"), nullptr, 0.3, false), std::nullopt);
}

TEST_F(URLRequestTest, SendURLOnTheMainThreadIsAProgrammingError) {
  std::thread([&] {
    // The main thread is whichever thread start-up marked; mark a fresh one.
    _QPX_Framework_MarkMainThread();
    EXPECT_THROW(QPX_Framework_SendURL(server_.URL("/text"), nullptr, false), platform::AssertionFailure);
  }).join();
}

TEST(URLEscapes, EscapesOnlyWhatCannotStandInAURL) {
  struct Case {
    const char* text;
    const char* escaped;
  } cases[] = {
      {"http://host/a?b=c&d=e#f", "http://host/a?b=c&d=e#f"},      {"http://host/a b", "http://host/a%20b"},
      {"http://host/%41%zz%4", "http://host/%41%25zz%254"},        {"http://host/#a#b", "http://host/#a%23b"},
      {"http://host/\xc3\xbc\"<>", "http://host/%C3%BC%22%3C%3E"},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_URL_AddPercentEscapes(c.text), c.escaped) << c.text;
}

// --- Downloads -----------------------------------------------------------------------------

TEST_F(URLRequestTest, DownloadReportsProgressAndTheWholeDocument) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  loader->SetUserData(Value("mine"));
  ASSERT_TRUE(loader->LoadURL(server_.URL("/file"), std::nullopt, false));
  EXPECT_TRUE(loader->IsLoading());
  RunUntilComplete(*recorder);

  EXPECT_EQ(recorder->completions, 1);
  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_EQ(recorder->data, body_);
  EXPECT_FALSE(loader->IsLoading());
  EXPECT_EQ(loader->Result(), body_);
  EXPECT_EQ(loader->ExpectedSize(), 5000u);
  EXPECT_GE(loader->GetDuration(), 0.0);
  EXPECT_EQ(loader->GetUserData(), Value("mine"));
  ASSERT_GE(recorder->progress.size(), 2u);
  for (const auto& p : recorder->progress) EXPECT_EQ(p.max, 5000u);
  EXPECT_EQ(recorder->progress.back().length, 5000u);
  EXPECT_EQ(ranges_, std::vector<std::string>{""});
}

TEST_F(URLRequestTest, WithoutALengthTheSizeIsUnknownUntilTheEnd) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/chunked"), std::nullopt, false));
  RunUntilComplete(*recorder);

  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_EQ(recorder->data, body_);
  EXPECT_EQ(loader->ExpectedSize(), QPX_Framework_LoadURL::UnknownSize);
  ASSERT_GE(recorder->progress.size(), 2u);
  for (std::size_t i = 0; i + 1 < recorder->progress.size(); ++i)
    EXPECT_EQ(recorder->progress[i].max, QPX_Framework_LoadURL::UnknownSize);
  EXPECT_EQ(recorder->progress.back().max, 5000u);
  EXPECT_EQ(recorder->progress.back().length, 5000u);
}

TEST_F(URLRequestTest, RedirectsAreFollowed) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/old"), std::nullopt, true));
  RunUntilComplete(*recorder);
  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_EQ(recorder->data, body_);
}

TEST_F(URLRequestTest, AnErrorStatusCompletesWithAnErrorAndTheErrorPage) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/missing"), std::nullopt, false));
  RunUntilComplete(*recorder);
  ASSERT_TRUE(recorder->error.has_value());
  EXPECT_EQ(recorder->error->domain, QPX_Framework_HTTPError_Domain);
  EXPECT_EQ(recorder->error->code, 404);
  EXPECT_EQ(recorder->data, "not here");
}

TEST_F(URLRequestTest, TransferFailuresCompleteWithAnError) {
  ClosedPort closed;
  for (const std::string& url : {closed.URL(), server_.URL("/loop"), std::string("ftp://127.0.0.1/")}) {
    auto recorder = std::make_shared<Recorder>();
    auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
    ASSERT_TRUE(loader->LoadURL(url, std::nullopt, false)) << url;
    RunUntilComplete(*recorder);
    EXPECT_EQ(recorder->completions, 1) << url;
    ASSERT_TRUE(recorder->error.has_value()) << url;
    EXPECT_EQ(recorder->error->domain, QPX_Framework_URLError_Domain) << url;
  }
}

TEST_F(URLRequestTest, ATextThatIsNoURLStartsNothing) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  EXPECT_FALSE(loader->LoadURL("http://host/a b", std::nullopt, false));
  EXPECT_FALSE(loader->IsLoading());
  platform::RunLoop::Current().RunOnce(0);
  EXPECT_EQ(recorder->completions, 0);
}

// The server's answer to a request for the rest of a 5000-byte document after 1000 bytes.
struct RangeCase {
  const char* name;
  int status;
  const char* contentRange;  // null: none
  std::size_t from;          // the body is the document from this byte on
  bool accepted;
};

class ResumeTest : public URLRequestTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(ResumeTest, TheServersRangeDecidesWhetherTheEarlierDataIsContinued) {
  const RangeCase& c = GetParam();
  std::string asked;
  server_.server().Get("/ranged", [&](const httplib::Request& request, httplib::Response& response) {
    TakeOverRanges(request);
    asked = request.get_header_value("Range");
    response.status = c.status;
    if (c.contentRange != nullptr) response.set_header("Content-Range", c.contentRange);
    response.set_content(body_.substr(c.from), "application/octet-stream");
  });
  // Earlier data that differs from the document shows whether it was kept.
  const std::string earlier(1000, 'X');
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/ranged"), earlier, false));
  RunUntilComplete(*recorder);

  EXPECT_EQ(asked, "bytes=1000-");
  if (c.accepted) {
    EXPECT_EQ(recorder->error, std::nullopt);
    const std::size_t kept = c.status == 206 ? c.from : 0;
    EXPECT_EQ(recorder->data, earlier.substr(0, kept) + body_.substr(c.from));
    EXPECT_EQ(loader->ExpectedSize(), 5000u);
  } else {
    ASSERT_TRUE(recorder->error.has_value());
    EXPECT_EQ(recorder->error->domain, QPX_Framework_Error_Domain);
    EXPECT_EQ(recorder->error->code, QPX_Framework_Error_RangeMismatch);
    EXPECT_EQ(recorder->data.find('X'), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ResumeTest,
    ::testing::Values(RangeCase{"continues", 206, "bytes 1000-4999/5000", 1000, true},
                      RangeCase{"restarts", 206, "bytes 0-4999/5000", 0, true},
                      RangeCase{"upper case", 206, "BYTES 1000-4999/5000", 1000, true},
                      RangeCase{"whole document instead", 200, nullptr, 0, true},
                      RangeCase{"stops short of the end", 206, "bytes 1000-4998/5000", 1000, false},
                      RangeCase{"leaves a gap", 206, "bytes 1500-4999/5000", 1500, false},
                      RangeCase{"unknown total", 206, "bytes 1000-4999/*", 1000, false},
                      RangeCase{"trailing text", 206, "bytes 1000-4999/5000 x", 1000, false},
                      RangeCase{"no range header", 206, nullptr, 1000, false}),
    [](const ::testing::TestParamInfo<RangeCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (ch == ' ') ch = '_';
      return name;
    });

TEST_F(URLRequestTest, ADroppedDownloadResumesWhereItStopped) {
  std::vector<std::string> asked;
  server_.server().Get("/flaky", [&](const httplib::Request& request, httplib::Response& response) {
    TakeOverRanges(request);
    const std::string range = request.get_header_value("Range");
    asked.push_back(range);
    if (range.empty()) {
      // Promises 5000 bytes, sends 2000 and drops the connection.
      response.set_content_provider(5000, "application/octet-stream",
                                    [this](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                      if (offset >= 2000) return false;
                                      sink.write(body_.data() + offset,
                                                 std::min<std::size_t>(length, 2000 - offset));
                                      return true;
                                    });
      return;
    }
    const std::size_t from = std::stoul(range.substr(6));
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(from) + "-4999/5000");
    response.set_content(body_.substr(from), "application/octet-stream");
  });

  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/flaky"), std::nullopt, false));
  RunUntilComplete(*recorder);
  ASSERT_TRUE(recorder->error.has_value());
  EXPECT_EQ(recorder->error->domain, QPX_Framework_URLError_Domain);
  ASSERT_EQ(recorder->data, body_.substr(0, 2000));

  const std::string partial = recorder->data;
  recorder->completions = 0;
  ASSERT_TRUE(loader->LoadURL(server_.URL("/flaky"), partial, false));
  RunUntilComplete(*recorder);
  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_EQ(recorder->data, body_);
  EXPECT_EQ(asked, (std::vector<std::string>{"", "bytes=2000-"}));
}

TEST_F(URLRequestTest, CancelCompletesOnceWithTheCancelError) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  recorder->onProgress = [](QPX_Framework_LoadURL& l) { l.Cancel(); };
  ASSERT_TRUE(loader->LoadURL(server_.URL("/stall"), std::nullopt, false));
  RunUntilComplete(*recorder);
  ASSERT_TRUE(recorder->error.has_value());
  EXPECT_EQ(recorder->error->domain, "QPX Framework");
  EXPECT_EQ(recorder->error->code, 1);
  EXPECT_FALSE(loader->IsLoading());

  // Nothing more arrives, and cancelling an ended request reports nothing.
  for (int i = 0; i < 5; ++i) platform::RunLoop::Current().RunOnce(0.02);
  loader->Cancel();
  EXPECT_EQ(recorder->completions, 1);
  EXPECT_EQ(recorder->progress.size(), 1u);
}

TEST_F(URLRequestTest, ANewRequestSilentlyReplacesTheRunningOne) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/stall"), std::nullopt, false));
  for (int i = 0; i < 3; ++i) platform::RunLoop::Current().RunOnce(0.02);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/file"), std::nullopt, false));
  RunUntilComplete(*recorder);
  EXPECT_EQ(recorder->completions, 1);
  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_EQ(recorder->data, body_);
}

TEST_F(URLRequestTest, AStalledDownloadEndsWithATimeOut) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  loader->SetIdleTimeout(0.3);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/stall"), std::nullopt, false));
  RunUntilComplete(*recorder);
  ASSERT_TRUE(recorder->error.has_value());
  EXPECT_EQ(recorder->error->domain, QPX_Framework_URLError_Domain);
  EXPECT_EQ(recorder->error->code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(recorder->data, body_.substr(0, 100));
}

TEST_F(URLRequestTest, ADownloadThatKeepsMovingOutlastsTheIdleTimeOut) {
  // 25 parts, 50 ms apart: longer than the idle time-out in all, never idle for long.
  server_.server().Get("/trickle", [this](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("application/octet-stream",
                                          [this](std::size_t offset, httplib::DataSink& sink) {
                                            if (offset >= 2500) {
                                              sink.done();
                                              return true;
                                            }
                                            std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                            sink.write(body_.data() + offset, 100);
                                            return true;
                                          });
  });
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  loader->SetIdleTimeout(1.0);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/trickle"), std::nullopt, false));
  RunUntilComplete(*recorder);
  EXPECT_EQ(recorder->error, std::nullopt);
  EXPECT_EQ(recorder->data, body_.substr(0, 2500));
}

TEST_F(URLRequestTest, TheDelegateMayReleaseTheLoaderInItsCompletion) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  std::weak_ptr<QPX_Framework_LoadURL> weak = loader;
  recorder->onCompletion = [&loader](QPX_Framework_LoadURL&) { loader.reset(); };
  ASSERT_TRUE(loader->LoadURL(server_.URL("/file"), std::nullopt, false));
  RunUntilComplete(*recorder);
  EXPECT_EQ(recorder->data, body_);
  EXPECT_TRUE(weak.expired());
}

TEST_F(URLRequestTest, AGoneDelegateIsNotCalled) {
  auto recorder = std::make_shared<Recorder>();
  auto loader = std::make_shared<QPX_Framework_LoadURL>(recorder);
  ASSERT_TRUE(loader->LoadURL(server_.URL("/file"), std::nullopt, false));
  recorder.reset();
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (loader->IsLoading() && std::chrono::steady_clock::now() < giveUp)
    platform::RunLoop::Current().RunOnce(0.05);
  EXPECT_EQ(loader->Result(), body_);
}

// --- Helpers -------------------------------------------------------------------------------

TEST(VOQTrackerOKChecker, AcceptsAnAnswerThatBeginsWithOK) {
  struct Case {
    const char* answer;
    bool ok;
  } cases[] = {{"OK", true}, {"OK 1234\n", true}, {"O", false}, {"ok", false}, {"", false}, {"NOK", false}};
  for (const Case& c : cases) {
    Value entry{{"Result", Value::Data(std::string_view(c.answer))}};
    EXPECT_EQ(QPX_Framework_VOQTracker_OKChecker::QPX_Framework_VOQTracker_SentEntry(entry, "key"), c.ok)
        << c.answer;
  }
  EXPECT_THROW(
      QPX_Framework_VOQTracker_OKChecker::QPX_Framework_VOQTracker_SentEntry(Value::EmptyDictionary(), "key"),
      platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_VOQTracker_OKChecker::QPX_Framework_VOQTracker_SentEntry(
                   Value{{"Result", Value("OK")}}, "key"),
               platform::AssertionFailure);
}

TEST(LaunchBrowser, HandsTheURLToTheOpenerAsOneArgument) {
  testing_support::TempDir dir;
  const std::string script = dir / "opener";
  const std::string out = dir / "args";
  testing_support::WriteFile(script, "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" + out + ".tmp' && mv '" +
                                         out + ".tmp' '" + out + "'\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  _QPX_Framework_Launch_Browser_SetOpener(script);
  EXPECT_TRUE(QPX_Framework_Launch_Browser(std::string("http://example.test/a b;$(x)")));
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!testing_support::FileExists(out) && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(testing_support::ReadFile(out), "1|http://example.test/a b;$(x)|");

  _QPX_Framework_Launch_Browser_SetOpener(dir / "no-such-program");
  EXPECT_FALSE(QPX_Framework_Launch_Browser(std::string("http://example.test/")));
  _QPX_Framework_Launch_Browser_SetOpener("");
}

}  // namespace
