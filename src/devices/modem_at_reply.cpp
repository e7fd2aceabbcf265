#include "devices/modem_at_reply.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// Commands whose arguments carry secrets, with the positions (from 0) of those arguments.
// An index of -1 masks every argument.
struct SecretCommand {
  const char* prefix;  // up to and including "="
  std::vector<int> secret;
};

const std::vector<SecretCommand>& SecretCommands() {
  static const std::vector<SecretCommand> commands = {
      {"AT+CPIN=", {-1}},        // PIN, or PUK and new PIN
      {"AT+CPIN2=", {-1}},       // PIN2, or PUK2 and new PIN2
      {"AT^CPIN=", {-1}},        // vendor form of the same
      {"AT+CLCK=", {2}},         // facility, mode, password
      {"AT+CPWD=", {1, 2}},      // facility, old and new password
      {"AT+CGAUTH=", {2, 3}},    // cid, protocol, user, password
      {"AT$QCPDPP=", {2, 3}},    // cid, protocol, password, user
      {"AT^AUTHDATA=", {3, 4}},  // cid, protocol, PLMN, password, user
      {"AT^NDISDUP=", {3, 4}},   // cid, connect, APN, user, password
  };
  return commands;
}

}  // namespace

std::string_view QPX_Framework_Modem_LineText(std::string_view bytes) {
  const std::size_t nul = bytes.find('\0');
  return nul == std::string_view::npos ? bytes : bytes.substr(0, nul);
}

std::string_view QPX_Framework_Modem_LineText(const Value& line) {
  const Value::Bytes& bytes = line.data();
  if (line.isString()) return QPX_Framework_Modem_LineText(std::string_view(line.string()));
  return QPX_Framework_Modem_LineText(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Value QPX_Framework_Modem_MakeLine(std::string_view text) {
  Value::Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return Value::Data(std::move(bytes));
}

QPX_Framework_Modem_FinalLine QPX_Framework_Modem_ClassifyFinalLine(std::string_view line) {
  using Final = QPX_Framework_Modem_FinalLine;
  if (line == "OK") return Final::Success;
  if (line == "ERROR" || line == "COMMAND NOT SUPPORT" || line == "TOO MANY PARAMETERS") return Final::Error;
  if (StartsWith(line, "CMS ERROR") || StartsWith(line, "+CMS ERROR")) return Final::Error;
  if (line == "+CME ERROR: 14") return Final::Retry;
  if (StartsWith(line, "+CME ERROR")) return Final::Error;
  return Final::None;
}

std::optional<int> QPX_Framework_Modem_ParseCMECode(std::string_view line) {
  static constexpr std::string_view kPrefix = "+CME ERROR: ";
  if (!StartsWith(line, kPrefix)) return std::nullopt;
  std::string_view digits = line.substr(kPrefix.size());
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  int code = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    code = code * 10 + (c - '0');
  }
  return code;
}

long QPX_Framework_IntFromData(const Value& line) {
  if (line.isNull()) return 0;
  const std::string text(QPX_Framework_Modem_LineText(line));
  if (text.empty()) return 0;
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(start, &end, 10);
  if (end == start || *end != '\0' || errno == ERANGE) return 0;
  return value;
}

std::string QPX_Framework_Modem_MaskSecrets(std::string_view command) {
  for (const SecretCommand& secret : SecretCommands()) {
    const std::size_t prefixLength = std::strlen(secret.prefix);
    if (!StartsWithNoCase(command, secret.prefix)) continue;
    std::string masked(command.substr(0, prefixLength));
    int index = 0;
    std::size_t i = prefixLength;
    auto isSecret = [&](int argument) {
      for (int s : secret.secret)
        if (s == -1 || s == argument) return true;
      return false;
    };
    while (i < command.size()) {
      // One argument: a quoted string (commas inside belong to it) or plain text up to the
      // next comma. The line end and anything after the arguments are kept.
      std::size_t end = i;
      if (command[i] == '"') {
        end = command.find('"', i + 1);
        end = end == std::string_view::npos ? command.size() : end + 1;
      }
      end = command.find_first_of(",\r\n", end);
      if (end == std::string_view::npos) end = command.size();
      std::string_view argument = command.substr(i, end - i);
      if (isSecret(index) && !argument.empty()) {
        masked += argument.front() == '"' ? "\"****\"" : "****";
      } else {
        masked += argument;
      }
      if (end >= command.size()) break;
      if (command[end] != ',') {
        masked += command.substr(end);
        break;
      }
      masked += ',';
      i = end + 1;
      ++index;
    }
    return masked;
  }
  return std::string(command);
}
