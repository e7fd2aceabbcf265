#include "framework/util/url_util.h"

#include <cstring>

#include "framework/core/log.h"

namespace {

bool IsAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

// Characters a URL reference may hold as they are (RFC 3986 unreserved, general and sub
// delimiters); "%" is checked separately.
bool IsURLCharacter(char c) {
  return IsAlpha(c) || IsDigit(c) || (c != '\0' && std::strchr("-._~:/?#[]@!$&'()*+,;=", c) != nullptr);
}

}  // namespace

std::optional<QPX_Framework_URL> QPX_Framework_URL::FromString(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int hashes = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !IsHex(text[i + 1]) || !IsHex(text[i + 2])) return std::nullopt;
      i += 2;
      continue;
    }
    if (!IsURLCharacter(c)) return std::nullopt;
    if (c == '#' && ++hashes > 1) return std::nullopt;
  }

  QPX_Framework_URL url;
  url.text_ = std::string(text);
  std::size_t pos = 0;
  if (IsAlpha(text[0])) {
    std::size_t i = 1;
    while (i < text.size() &&
           (IsAlpha(text[i]) || IsDigit(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.'))
      ++i;
    if (i < text.size() && text[i] == ':') {
      url.scheme_ = std::string(text.substr(0, i));
      pos = i + 1;
    }
  }

  if (text.substr(pos, 2) == "//") {
    url.hasAuthority_ = true;
    const std::size_t start = pos + 2;
    std::size_t end = text.find_first_of("/?#", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view authority = text.substr(start, end - start);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
      url.userInfo_ = std::string(authority.substr(0, at));
      authority.remove_prefix(at + 1);
    }
    if (!authority.empty() && authority[0] == '[') {
      const std::size_t close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      url.hostText_ = std::string(authority.substr(0, close + 1));
      const std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        url.portText_ = std::string(after.substr(1));
      }
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
      url.hostText_ = std::string(authority.substr(0, colon));
      url.portText_ = std::string(authority.substr(colon + 1));
    } else {
      url.hostText_ = std::string(authority);
    }
    // Brackets belong to an IPv6 host literal only: around the whole host, nowhere else.
    const std::string& host = url.hostText_;
    const bool literal = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    const std::string_view inner = literal ? std::string_view(host).substr(1, host.size() - 2) : host;
    if (inner.find_first_of("[]") != std::string_view::npos) return std::nullopt;
    if ((url.userInfo_ && url.userInfo_->find_first_of("[]") != std::string::npos) ||
        (url.portText_ && url.portText_->find_first_of("[]") != std::string::npos))
      return std::nullopt;
    pos = end;
  }
  url.restStart_ = pos;

  std::string_view rest = text.substr(pos);
  if (rest.find_first_of("[]") != std::string_view::npos) return std::nullopt;
  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
    url.fragment_ = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
    url.query_ = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  url.path_ = std::string(rest);
  return url;
}

std::string QPX_Framework_URL::resourceSpecifier() const {
  return scheme_ ? text_.substr(scheme_->size() + 1) : text_;
}

std::optional<std::string> QPX_Framework_URL::host() const {
  if (!hasAuthority_ || hostText_.empty()) return std::nullopt;
  if (hostText_.front() == '[') {
    if (hostText_.size() <= 2) return std::nullopt;
    return hostText_.substr(1, hostText_.size() - 2);
  }
  return hostText_;
}

std::optional<std::uint16_t> QPX_Framework_URL::port() const {
  if (!portText_ || !AllDigits(*portText_) || portText_->size() > 5) return std::nullopt;
  const unsigned long value = std::stoul(*portText_);
  if (value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::optional<QPX_Framework_URL> QPX_Framework_URL_Guess(std::string_view text, std::uint32_t port) {
  QPX_Assert(port <= 65535 || port == QPX_Framework_URL_KeepPort);

  std::optional<QPX_Framework_URL> url = QPX_Framework_URL::FromString(text);
  if (!url || !url->scheme() || !url->host()) {
    url = QPX_Framework_URL::FromString("http://" + std::string(text));
    if (url && (!url->scheme() || !url->host())) url.reset();
  }

  if (url && port != QPX_Framework_URL_KeepPort) {
    // An old port must be a number; anything else after the ":" is left for the user to see.
    if (!url->portText_ || AllDigits(*url->portText_)) {
      std::string rebuilt = *url->scheme() + "://";
      if (url->userInfo_) rebuilt += *url->userInfo_ + "@";
      rebuilt += url->hostText_;
      if (port != 0) rebuilt += ":" + std::to_string(port);
      rebuilt += url->text_.substr(url->restStart_);
      std::optional<QPX_Framework_URL> changed = QPX_Framework_URL::FromString(rebuilt);
      QPX_Assert_Detail(changed.has_value(), Value(rebuilt));
      url = std::move(changed);
    }
  }

  QPX_Log(QPX_LOG_TRACE, "%s -> %s", std::string(text).c_str(),
          url ? url->absoluteString().c_str() : "(null)");
  return url;
}

std::optional<QPX_Framework_URL> QPX_Framework_URLfromString(std::string_view text) {
  std::optional<QPX_Framework_URL> url = QPX_Framework_URL::FromString(text);
  if (url && url->scheme()) return url;
  return QPX_Framework_URL::FromString("http://" + std::string(text));
}
