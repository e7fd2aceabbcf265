#include "framework/util/url_util.h"

#include <gtest/gtest.h>

#include "platform/assert.h"

namespace {

TEST(URL, Parts) {
  const auto url = QPX_Framework_URL::FromString("https://user:pw@example.com:8443/a/b?x=1&y=2#top");
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_EQ(url->user(), "user:pw");
  EXPECT_EQ(url->host(), "example.com");
  EXPECT_EQ(url->port(), 8443);
  EXPECT_EQ(url->path(), "/a/b");
  EXPECT_EQ(url->query(), "x=1&y=2");
  EXPECT_EQ(url->fragment(), "top");
  EXPECT_EQ(url->resourceSpecifier(), "//user:pw@example.com:8443/a/b?x=1&y=2#top");

  const auto ipv6 = QPX_Framework_URL::FromString("http://[fe80::1]:8080/");
  ASSERT_TRUE(ipv6.has_value());
  EXPECT_EQ(ipv6->host(), "fe80::1");
  EXPECT_EQ(ipv6->port(), 8080);

  // "host:port" without "//" reads as a scheme and a path, not a host.
  const auto bare = QPX_Framework_URL::FromString("example.com:8080/path");
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(bare->scheme(), "example.com");
  EXPECT_FALSE(bare->host().has_value());
}

TEST(URL, TextsThatAreNoURL) {
  for (const char* text : {"", "has space.com", "quote\".com", "a<b>", "caf\xC3\xA9.de", "50%.com", "a#b#c",
                           "http://[::1/", "http://ho[st/", "http://host/pa]th"}) {
    EXPECT_FALSE(QPX_Framework_URL::FromString(text).has_value()) << text;
  }
}

TEST(URLGuess, Table) {
  constexpr std::uint32_t keep = QPX_Framework_URL_KeepPort;
  struct Case {
    const char* text;
    std::uint32_t port;
    const char* result;  // null: no URL
  } const cases[] = {
      {"example.com/path", 8080, "http://example.com:8080/path"},
      {"example.com/path", keep, "http://example.com/path"},
      {"example.com/path", 0, "http://example.com/path"},
      {"example.com:1234/path", 0, "http://example.com/path"},
      {"example.com:1234/path", 8080, "http://example.com:8080/path"},
      {"example.com:1234/path", keep, "http://example.com:1234/path"},
      {"http://example.com:abc/path", 8080, "http://example.com:abc/path"},
      {"example.com:abc/path", 0, "http://example.com:abc/path"},
      {"https://example.com/x?q=1#f", 443, "https://example.com:443/x?q=1#f"},
      {"192.168.1.1", 80, "http://192.168.1.1:80"},
      {"localhost:8080", 0, "http://localhost"},
      {"http://admin@192.168.8.1:80/html/", 8000, "http://admin@192.168.8.1:8000/html/"},
      {"http://[fe80::1]:80/", 81, "http://[fe80::1]:81/"},
      {"ftp://files.example.com", keep, "ftp://files.example.com"},
      {"", keep, nullptr},
      {"has space", 80, nullptr},
      {"/only/a/path", 80, nullptr},
  };
  for (const Case& c : cases) {
    const auto url = QPX_Framework_URL_Guess(c.text, c.port);
    if (!c.result) {
      EXPECT_FALSE(url.has_value()) << c.text;
      continue;
    }
    ASSERT_TRUE(url.has_value()) << c.text;
    EXPECT_EQ(url->absoluteString(), c.result) << c.text << " port " << c.port;
  }

  const auto guessed = QPX_Framework_URL_Guess("example.com/path", 8080);
  ASSERT_TRUE(guessed.has_value());
  EXPECT_EQ(guessed->scheme(), "http");
  EXPECT_EQ(guessed->host(), "example.com");
  EXPECT_EQ(guessed->port(), 8080);
  EXPECT_EQ(guessed->path(), "/path");

  EXPECT_THROW(QPX_Framework_URL_Guess("example.com", 65536), platform::AssertionFailure);
}

TEST(URLfromString, AddsHttpOnlyWithoutScheme) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://example.com/", "https://example.com/"},
      {"mailto:someone@example.com", "mailto:someone@example.com"},
      {"www.example.com/a", "http://www.example.com/a"},
      {"10.0.0.138", "http://10.0.0.138"},
  };
  for (const auto& [text, result] : cases) {
    const auto url = QPX_Framework_URLfromString(text);
    ASSERT_TRUE(url.has_value()) << text;
    EXPECT_EQ(url->absoluteString(), result);
  }
  EXPECT_FALSE(QPX_Framework_URLfromString("no url").has_value());
}

}  // namespace
