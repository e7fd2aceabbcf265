#include "platform/plist.h"

#include <fcntl.h>
#include <locale.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace platform::plist {

namespace {

// Containers nested deeper than this are not a record anybody writes; refusing them keeps a
// hostile file from exhausting the stack.
constexpr int kMaxDepth = 512;

constexpr char kBinaryMagic[] = "bplist00";
constexpr std::size_t kBinaryMagicLength = 8;
// Object markers of the binary format.
constexpr unsigned char kMarkerInt16Bytes = 0x14;
constexpr unsigned char kMarkerDate = 0x33;

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// libplist reads reals with the C library's locale-dependent conversion, so under a
// locale with a decimal comma "0.25" would read as 0. The C locale is set for the calling
// thread only, for the duration of one call into the library.
class CLocaleScope {
 public:
  CLocaleScope() {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (cLocale) previous_ = uselocale(cLocale);
  }
  ~CLocaleScope() {
    if (previous_) uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

void LogSkipped() { std::fputs("plist: skipping a value that is not property-list data\n", stderr); }

// libplist takes text as C strings, so a NUL character ends it there; say so rather than
// lose the rest silently.
const char* CText(const std::string& text) {
  if (text.find('\0') != std::string::npos) {
    std::fputs("plist: a text with a NUL character is cut at it\n", stderr);
  }
  return text.c_str();
}

// ---- one-object binary property lists ----
//
// libplist's public interface cannot make every value we hold: its date setter takes 32-bit
// seconds plus microseconds (so neither 1900 nor 2100 fits, and most doubles are rounded),
// and its integer setter always makes a signed 64-bit integer. Its binary reader keeps both
// exactly, so such nodes are made by parsing a one-object binary property list, and read
// back the same way.

void AppendBigEndian(std::string& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

PlistPtr NodeFromOneObject(const std::string& object) {
  std::string bytes(kBinaryMagic, kBinaryMagicLength);
  bytes += object;
  const std::uint64_t offsetTable = bytes.size();
  bytes += static_cast<char>(kBinaryMagicLength);  // the one object starts after the magic
  bytes.append(6, '\0');
  bytes += static_cast<char>(1);  // offset size
  bytes += static_cast<char>(1);  // object reference size
  AppendBigEndian(bytes, 1, 8);   // object count
  AppendBigEndian(bytes, 0, 8);   // top object
  AppendBigEndian(bytes, offsetTable, 8);
  plist_t node = nullptr;
  plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &node);
  return PlistPtr(node);
}

PlistPtr NewDate(double secondsSince2001) {
  std::uint64_t bits;
  std::memcpy(&bits, &secondsSince2001, sizeof bits);
  std::string object(1, static_cast<char>(kMarkerDate));
  AppendBigEndian(object, bits, 8);
  return NodeFromOneObject(object);
}

PlistPtr NewUnsigned(std::uint64_t value) {
  std::string object(1, static_cast<char>(kMarkerInt16Bytes));
  AppendBigEndian(object, 0, 8);
  AppendBigEndian(object, value, 8);
  return NodeFromOneObject(object);
}

// The binary form of one scalar node: its marker byte and payload, which follow the magic.
std::string OneObjectBytes(plist_t node) {
  // libplist writes only a root node; a copy of a member is one.
  PlistPtr copy(plist_copy(node));
  if (!copy) return {};
  char* bin = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(copy.get(), &bin, &length);
  std::string bytes;
  if (bin) {
    if (length > kBinaryMagicLength) {
      bytes.assign(bin + kBinaryMagicLength, length - kBinaryMagicLength);
    }
    plist_to_bin_free(bin);
  }
  return bytes;
}

std::uint64_t ReadBigEndian(const std::string& bytes, std::size_t at, int count) {
  std::uint64_t v = 0;
  for (int i = 0; i < count; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

double DateSeconds(plist_t node) {
  const std::string bytes = OneObjectBytes(node);
  if (bytes.size() >= 9 && static_cast<unsigned char>(bytes[0]) == kMarkerDate) {
    const std::uint64_t bits = ReadBigEndian(bytes, 1, 8);
    double seconds;
    std::memcpy(&seconds, &bits, sizeof seconds);
    return seconds;
  }
  // Not expected; the library's own (rounded) answer is the best there is.
  std::int32_t sec = 0;
  std::int32_t usec = 0;
  plist_get_date_val(node, &sec, &usec);
  return sec + usec / 1e6;
}

Value IntegerValue(plist_t node) {
  std::uint64_t u = 0;
  plist_get_uint_val(node, &u);
  if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Value(static_cast<long long>(u));
  }
  // Above INT64_MAX the same bits are either a negative number or an unsigned one; the
  // library keeps which in the width it writes.
  const std::string bytes = OneObjectBytes(node);
  if (!bytes.empty() && static_cast<unsigned char>(bytes[0]) == kMarkerInt16Bytes) {
    return Value(static_cast<unsigned long long>(u));
  }
  return Value(static_cast<long long>(u));
}

// ---- Value to libplist ----

PlistPtr ToNode(const Value& value, int depth);

PlistPtr NumberNode(const Value& value) {
  switch (value.numberKind()) {
    case Value::NumberKind::Boolean:
      return PlistPtr(plist_new_bool(value.toBool() ? 1 : 0));
    case Value::NumberKind::Integer:
      return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(value.toInt64())));
    case Value::NumberKind::Unsigned:
      return NewUnsigned(value.toUInt64());
    case Value::NumberKind::Real:
      return PlistPtr(plist_new_real(value.toDouble()));
  }
  return nullptr;
}

PlistPtr ToNode(const Value& value, int depth) {
  switch (value.kind()) {
    case Value::Kind::Null:
    case Value::Kind::Object:
      LogSkipped();
      return nullptr;
    case Value::Kind::Number:
      return NumberNode(value);
    case Value::Kind::String:
      return PlistPtr(plist_new_string(CText(value.string())));
    case Value::Kind::Date:
      return NewDate(value.dateValue());
    case Value::Kind::Data: {
      const auto& bytes = value.data();
      return PlistPtr(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    case Value::Kind::Array:
    case Value::Kind::Set: {
      if (depth >= kMaxDepth) {
        LogSkipped();
        return nullptr;
      }
      PlistPtr array(plist_new_array());
      for (const Value& member : value.array()) {
        if (PlistPtr node = ToNode(member, depth + 1)) {
          plist_array_append_item(array.get(), node.release());
        }
      }
      return array;
    }
    case Value::Kind::Dictionary: {
      if (depth >= kMaxDepth) {
        LogSkipped();
        return nullptr;
      }
      PlistPtr dict(plist_new_dict());
      for (const auto& [key, member] : value.dictionary()) {
        if (PlistPtr node = ToNode(member, depth + 1)) {
          plist_dict_set_item(dict.get(), CText(key), node.release());
        }
      }
      return dict;
    }
  }
  return nullptr;
}

// ---- libplist to Value ----

std::optional<Value> FromNode(plist_t node, int depth) {
  if (!node) return std::nullopt;
  const plist_type type = plist_get_node_type(node);
  if ((type == PLIST_ARRAY || type == PLIST_DICT) && depth >= kMaxDepth) return std::nullopt;
  switch (type) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT:
      return IntegerValue(node);
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return Value(std::string(text ? text : "", text ? length : 0));
    }
    case PLIST_DATE:
      return Value::Date(DateSeconds(node));
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      if (!bytes) length = 0;
      return Value::Data(std::string_view(bytes ? bytes : "", length));
    }
    case PLIST_ARRAY: {
      Value::Array members;
      const std::uint32_t count = plist_array_get_size(node);
      members.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        std::optional<Value> member = FromNode(plist_array_get_item(node, i), depth + 1);
        if (!member) return std::nullopt;
        members.push_back(std::move(*member));
      }
      return Value(std::move(members));
    }
    case PLIST_DICT: {
      Value::Dictionary members;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      bool ok = iter != nullptr;
      while (ok) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        std::optional<Value> member = FromNode(item, depth + 1);
        if (member && key) {
          members.insert_or_assign(std::string(key), std::move(*member));
        } else {
          ok = false;
        }
        std::free(key);
      }
      std::free(iter);
      if (!ok) return std::nullopt;
      return Value(std::move(members));
    }
    case PLIST_UID: {
      // A keyed archive's object reference; its XML form is this dictionary.
      std::uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      return Value{{"CF$UID", Value(static_cast<unsigned long long>(uid))}};
    }
    case PLIST_NONE:
      break;
  }
  return std::nullopt;
}

// ---- guards in front of the readers ----
//
// libplist trusts its input more than a reader of outside files may:
// - it accepts a dictionary key with an embedded NUL character and then aborts the process
//   (a failed internal assertion) when the key is read back;
// - it reads and frees nested containers recursively, so a deep enough nesting overflows
//   the stack;
// - its binary reader copies an object once per reference, so a small file whose arrays
//   refer to each other many times over expands beyond any memory.
// Input like that is refused before it reaches the library.

constexpr std::uint64_t kMaxExpandedObjects = 10'000'000;

bool ReadUnsigned(std::string_view bytes, std::uint64_t at, unsigned count, std::uint64_t& out) {
  if (count == 0 || count > 8 || at > bytes.size() || bytes.size() - at < count) return false;
  out = 0;
  for (unsigned i = 0; i < count; ++i) {
    out = (out << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return true;
}

class BinaryGuard {
 public:
  explicit BinaryGuard(std::string_view bytes) : bytes_(bytes) {}

  bool Safe() {
    if (!ReadTrailer()) return false;
    return Walk();
  }

 private:
  bool ReadTrailer() {
    constexpr std::uint64_t kTrailer = 32;
    if (bytes_.size() < kBinaryMagicLength + kTrailer) return false;
    const std::uint64_t trailer = bytes_.size() - kTrailer;
    std::uint64_t offsetSize = 0;
    std::uint64_t refSize = 0;
    ReadUnsigned(bytes_, trailer + 6, 1, offsetSize);
    ReadUnsigned(bytes_, trailer + 7, 1, refSize);
    ReadUnsigned(bytes_, trailer + 8, 8, objectCount_);
    ReadUnsigned(bytes_, trailer + 16, 8, top_);
    ReadUnsigned(bytes_, trailer + 24, 8, tableOffset_);
    offsetSize_ = static_cast<unsigned>(offsetSize);
    refSize_ = static_cast<unsigned>(refSize);
    return offsetSize_ >= 1 && offsetSize_ <= 8 && refSize_ >= 1 && refSize_ <= 8 &&
           tableOffset_ >= kBinaryMagicLength && tableOffset_ <= trailer &&
           objectCount_ <= (trailer - tableOffset_) / offsetSize_ && top_ < objectCount_;
  }

  bool Offset(std::uint64_t object, std::uint64_t& offset) const {
    return object < objectCount_ &&
           ReadUnsigned(bytes_, tableOffset_ + object * offsetSize_, offsetSize_, offset) &&
           offset >= kBinaryMagicLength && offset < tableOffset_;
  }

  // The length that follows a marker's low nibble (0xF: an integer object follows).
  bool Length(std::uint64_t& at, unsigned nibble, std::uint64_t& length) const {
    if (nibble != 0xF) {
      length = nibble;
      return true;
    }
    std::uint64_t marker = 0;
    if (!ReadUnsigned(bytes_, at, 1, marker) || (marker & 0xF0) != 0x10) return false;
    const unsigned width = 1u << (marker & 0x0F);
    if (!ReadUnsigned(bytes_, at + 1, width, length)) return false;
    at += 1 + width;
    return true;
  }

  bool KeyHasNul(std::uint64_t key) const {
    std::uint64_t offset = 0;
    if (!Offset(key, offset)) return true;
    const auto marker = static_cast<unsigned char>(bytes_[offset]);
    const unsigned type = marker >> 4;
    if (type != 0x5 && type != 0x6) return false;  // not a string: the library judges it
    std::uint64_t at = offset + 1;
    std::uint64_t length = 0;
    if (!Length(at, marker & 0x0F, length)) return true;
    const std::uint64_t unit = type == 0x5 ? 1 : 2;
    if (at > tableOffset_ || length > (tableOffset_ - at) / unit) return true;
    for (std::uint64_t i = 0; i < length; ++i) {
      bool zero = true;
      for (std::uint64_t b = 0; b < unit; ++b) zero = zero && bytes_[at + i * unit + b] == 0;
      if (zero) return true;
    }
    return false;
  }

  // The objects a container refers to (keys and values for a dictionary); false when the
  // object is malformed. Scalars have none.
  bool Children(std::uint64_t object, std::vector<std::uint64_t>& children, bool& container) const {
    children.clear();
    std::uint64_t offset = 0;
    if (!Offset(object, offset)) return false;
    const auto marker = static_cast<unsigned char>(bytes_[offset]);
    const unsigned type = marker >> 4;
    container = type == 0xA || type == 0xC || type == 0xD;
    if (!container) return true;
    std::uint64_t at = offset + 1;
    std::uint64_t count = 0;
    if (!Length(at, marker & 0x0F, count)) return false;
    const std::uint64_t refs = type == 0xD ? 2 : 1;
    if (at > tableOffset_ || count > (tableOffset_ - at) / refSize_ / refs) return false;
    children.reserve(count * refs);
    for (std::uint64_t i = 0; i < count * refs; ++i) {
      std::uint64_t ref = 0;
      ReadUnsigned(bytes_, at + i * refSize_, refSize_, ref);
      if (ref >= objectCount_) return false;
      if (type == 0xD && i < count && KeyHasNul(ref)) return false;
      children.push_back(ref);
    }
    return true;
  }

  // Depth-first from the top object without recursion: finds cycles, measures the nesting
  // and counts the objects the library would create.
  bool Walk() {
    enum : std::uint8_t { kNew, kOpen, kDone };
    std::vector<std::uint8_t> state(objectCount_, kNew);
    std::vector<std::uint64_t> expanded(objectCount_, 0);
    struct Frame {
      std::uint64_t object;
      std::vector<std::uint64_t> children;
      std::size_t next = 0;
      std::uint64_t total = 1;
    };
    std::vector<Frame> stack;
    bool container = false;
    stack.push_back(Frame{top_, {}});
    if (!Children(top_, stack.back().children, container)) return false;
    state[top_] = kOpen;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next < frame.children.size()) {
        const std::uint64_t child = frame.children[frame.next++];
        if (state[child] == kOpen) return false;  // a container inside itself
        if (state[child] == kDone) {
          frame.total += expanded[child];
          if (frame.total > kMaxExpandedObjects) return false;
          continue;
        }
        Frame next{child, {}};
        if (!Children(child, next.children, container)) return false;
        if (!container) {
          state[child] = kDone;
          expanded[child] = 1;
          if (++frame.total > kMaxExpandedObjects) return false;
          continue;
        }
        if (stack.size() >= static_cast<std::size_t>(kMaxDepth)) return false;
        state[child] = kOpen;
        stack.push_back(std::move(next));
        continue;
      }
      const std::uint64_t object = frame.object;
      const std::uint64_t total = frame.total;
      state[object] = kDone;
      expanded[object] = total;
      stack.pop_back();
      if (!stack.empty()) {
        stack.back().total += total;
        if (stack.back().total > kMaxExpandedObjects) return false;
      }
    }
    return true;
  }

  std::string_view bytes_;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t top_ = 0;
  std::uint64_t tableOffset_ = 0;
};

// Nesting of XML containers, counted on the raw text (a container tag inside a comment
// counts too, which only makes the guard stricter).
bool XmlNestingIsSafe(std::string_view text) {
  int depth = 0;
  for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    const std::string_view rest = text.substr(at + 1);
    const bool closing = !rest.empty() && rest.front() == '/';
    const std::string_view name = closing ? rest.substr(1) : rest;
    std::size_t nameLength = 0;
    if (name.substr(0, 5) == "array") {
      nameLength = 5;
    } else if (name.substr(0, 4) == "dict") {
      nameLength = 4;
    } else {
      continue;
    }
    const std::size_t end = name.find('>');
    if (end == std::string_view::npos) return false;
    if (end > nameLength && name[nameLength] != ' ' && name[nameLength] != '\t' && name[nameLength] != '\n' &&
        name[nameLength] != '\r' && name[nameLength] != '/') {
      continue;  // another element whose name starts the same way
    }
    if (closing) {
      --depth;
    } else if (name[end - 1] != '/' && ++depth > kMaxDepth) {
      return false;
    }
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<Value> Parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  CLocaleScope cLocale;
  plist_t root = nullptr;
  if (bytes.size() >= kBinaryMagicLength &&
      bytes.substr(0, kBinaryMagicLength) == std::string_view(kBinaryMagic, kBinaryMagicLength)) {
    if (!BinaryGuard(bytes).Safe()) return std::nullopt;
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  } else {
    // A NUL byte is not XML; libplist would cut keys and strings at it in odd ways.
    if (bytes.find('\0') != std::string_view::npos || !XmlNestingIsSafe(bytes)) {
      return std::nullopt;
    }
    // The XML reader is given a terminated copy so that it can never read past the end.
    const std::string text(bytes);
    plist_from_xml(text.c_str(), static_cast<std::uint32_t>(text.size()), &root);
  }
  PlistPtr owner(root);
  if (!root) return std::nullopt;
  return FromNode(root, 0);
}

std::optional<Value> ReadFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return Parse(bytes);
}

std::string Serialize(const Value& value, Format format) {
  PlistPtr root = ToNode(value, 0);
  if (!root) return {};
  CLocaleScope cLocale;
  char* out = nullptr;
  std::uint32_t length = 0;
  std::string bytes;
  if (format == Format::Xml) {
    plist_to_xml(root.get(), &out, &length);
    if (out) {
      bytes.assign(out, length);
      plist_to_xml_free(out);
    }
  } else {
    plist_to_bin(root.get(), &out, &length);
    if (out) {
      bytes.assign(out, length);
      plist_to_bin_free(out);
    }
  }
  return bytes;
}

std::string ToXml(const Value& value) { return Serialize(value, Format::Xml); }
std::string ToBinary(const Value& value) { return Serialize(value, Format::Binary); }

bool WriteFileAtomically(const std::string& path, const Value& value, Format format, unsigned mode) {
  const std::string bytes = Serialize(value, format);
  if (bytes.empty()) {
    errno = EINVAL;
    return false;
  }
  const std::size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) {
    errno = EISDIR;
    return false;
  }
  std::string temp = (folder == "/" ? std::string() : folder) + "/." + name + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;

  bool ok = WriteAll(fd, bytes) && ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    errno = saved;
    return false;
  }
  // Make the rename itself durable; a failure here leaves a complete file either way.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace platform::plist
