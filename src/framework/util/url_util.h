#pragma once
// URLs as the user types them: a parsed URL (RFC 3986 generic syntax), completing a text
// without a scheme to an "http" URL, and setting or removing the port of a typed address.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A parsed absolute or relative URL. Made only from a text that is a well-formed URL
// reference: ASCII letters, digits and "-._~:/?#[]@!$&'()*+,;=", with "%" only before two
// hexadecimal digits and at most one "#". Blanks, quotes, angle brackets and non-ASCII bytes
// make no URL; such a text has to be escaped first.
class QPX_Framework_URL {
 public:
  static std::optional<QPX_Framework_URL> FromString(std::string_view text);

  // The text the URL was made from.
  const std::string& absoluteString() const { return text_; }
  // "http" of "http://host/"; none without a scheme.
  const std::optional<std::string>& scheme() const { return scheme_; }
  // Everything after "<scheme>:" (the whole text without a scheme).
  std::string resourceSpecifier() const;
  // The host without the brackets of an IPv6 literal; none without an authority or with an
  // empty host.
  std::optional<std::string> host() const;
  // The port when the authority has ":" followed by digits only (and at most 65535).
  std::optional<std::uint16_t> port() const;
  // The user information before "@" in the authority, when there is one.
  const std::optional<std::string>& user() const { return userInfo_; }
  const std::string& path() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  friend bool operator==(const QPX_Framework_URL& a, const QPX_Framework_URL& b) {
    return a.text_ == b.text_;
  }

 private:
  friend std::optional<QPX_Framework_URL> QPX_Framework_URL_Guess(std::string_view text, std::uint32_t port);

  std::string text_;
  std::optional<std::string> scheme_;
  bool hasAuthority_ = false;
  std::optional<std::string> userInfo_;
  std::string hostText_;                 // as written, IPv6 brackets included
  std::optional<std::string> portText_;  // after the ":" that follows the host
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
  std::size_t restStart_ = 0;  // where the part after the authority (the path) starts in text_
};

// The port argument that leaves a URL's port as it is.
constexpr std::uint32_t QPX_Framework_URL_KeepPort = 0xFFFFFFFFu;

// An address the user typed, as a URL: the text itself when it has a scheme and a host,
// else "http://" followed by the text; none when neither has both. Then, unless the port is
// QPX_Framework_URL_KeepPort, the port is set (1 to 65535) or removed (0); a text whose ":"
// after the host is followed by something other than digits is left as it is. User
// information in front of the host is kept. Any other port argument is a programming error.
std::optional<QPX_Framework_URL> QPX_Framework_URL_Guess(std::string_view text, std::uint32_t port);

// The text as a URL, or, when it has no scheme (or is no URL), "http://" followed by it.
std::optional<QPX_Framework_URL> QPX_Framework_URLfromString(std::string_view text);
