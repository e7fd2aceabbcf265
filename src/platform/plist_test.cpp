#include "platform/plist.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "testing/test_support.h"

extern char** environ;

namespace {

namespace plist = platform::plist;
using plist::Format;
using testing_support::TempDir;

constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kUInt64Max = std::numeric_limits<std::uint64_t>::max();

// Value equality is numeric across number kinds (1 == 1.0 == true); a lossless round trip
// must also keep the kind and every bit of a real or a date. This rendering shows both.
std::string Typed(const Value& v) {
  char buffer[64];
  switch (v.kind()) {
    case Value::Kind::Number:
      switch (v.numberKind()) {
        case Value::NumberKind::Integer:
          return "i:" + std::to_string(v.toInt64());
        case Value::NumberKind::Unsigned:
          return "u:" + std::to_string(v.toUInt64());
        case Value::NumberKind::Boolean:
          return v.toBool() ? "b:true" : "b:false";
        case Value::NumberKind::Real:
          std::snprintf(buffer, sizeof buffer, "r:%.17g", v.toDouble());
          return buffer;
      }
      break;
    case Value::Kind::Date:
      std::snprintf(buffer, sizeof buffer, "date:%.17g", v.dateValue());
      return buffer;
    case Value::Kind::Array: {
      std::string out = "[";
      for (const Value& m : v.array()) out += Typed(m) + ",";
      return out + "]";
    }
    case Value::Kind::Dictionary: {
      std::string out = "{";
      for (const auto& [key, m] : v.dictionary()) out += Value(key).Description() + "=" + Typed(m) + ";";
      return out + "}";
    }
    default:
      break;
  }
  return v.Description() + "#" + std::to_string(static_cast<int>(v.kind()));
}

Value RoundTrip(const Value& v, Format format) {
  const std::string bytes = plist::Serialize(v, format);
  EXPECT_FALSE(bytes.empty());
  std::optional<Value> back = plist::Parse(bytes);
  EXPECT_TRUE(back.has_value()) << bytes;
  return back.value_or(Value());
}

struct RoundTripCase {
  const char* name;
  Value value;
};

std::vector<RoundTripCase> EveryKind() {
  Value::Bytes allBytes;
  for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<std::uint8_t>(i));
  return {
      {"zero", Value(0)},
      {"one", Value(1)},
      {"minus one", Value(-1)},
      {"one byte", Value(255)},
      {"two bytes", Value(256)},
      {"int32 max", Value(std::numeric_limits<std::int32_t>::max())},
      {"int32 min", Value(std::numeric_limits<std::int32_t>::min())},
      {"uint32 max", Value(std::numeric_limits<std::uint32_t>::max())},
      {"int64 max", Value(kInt64Max)},
      {"int64 min", Value(kInt64Min)},
      {"int64 min + 1", Value(kInt64Min + 1)},
      {"2^63 unsigned", Value(static_cast<unsigned long long>(1ULL << 63))},
      {"uint64 max - 1", Value(static_cast<unsigned long long>(kUInt64Max - 1))},
      {"uint64 max", Value(kUInt64Max)},
      {"real 0.1", Value(0.1)},
      {"real 1e300", Value(1e300)},
      {"real -1e-300", Value(-1e-300)},
      {"real third", Value(1.0 / 3)},
      {"real denormal", Value(5e-324)},
      {"real max", Value(std::numeric_limits<double>::max())},
      {"real whole", Value(1.0)},
      {"real negative", Value(-2.5)},
      {"real infinity", Value(std::numeric_limits<double>::infinity())},
      {"real -infinity", Value(-std::numeric_limits<double>::infinity())},
      {"real nan", Value(std::nan(""))},
      {"true", Value(true)},
      {"false", Value(false)},
      {"empty string", Value("")},
      {"string", Value("Connect")},
      {"markup", Value("<a href=\"x\">&amp;</a> ' ]]>")},
      {"spaces", Value("  leading and trailing  ")},
      {"line breaks", Value("one\ntwo\tthree")},
      {"date epoch", Value::Date(0)},
      {"date before 2001", Value::Date(-100)},
      {"date 1900", Value::Date(-3155673600.0)},
      {"date 2200", Value::Date(6311390400.0)},
      {"date 4001", Value::Date(63113904000.0)},
      {"empty data", Value::Data(Value::Bytes{})},
      {"all bytes", Value::Data(allBytes)},
      {"empty array", Value::EmptyArray()},
      {"empty dictionary", Value::EmptyDictionary()},
      {"mixed array", Value(Value::Array{1, "two", 3.5, false, Value::Date(7), Value::Data("x")})},
  };
}

TEST(PlistRoundTrip, EveryKindThroughXmlAndBinary) {
  for (Format format : {Format::Xml, Format::Binary}) {
    for (const RoundTripCase& c : EveryKind()) {
      SCOPED_TRACE(std::string(c.name) + (format == Format::Xml ? " (xml)" : " (binary)"));
      const Value back = RoundTrip(c.value, format);
      EXPECT_EQ(Typed(back), Typed(c.value));
      EXPECT_EQ(back, c.value);
    }
  }
}

TEST(PlistRoundTrip, BinaryKeepsWhatXmlCannotHold) {
  // The binary format stores dates as doubles and reals with their sign; the XML form has
  // whole seconds and no negative zero.
  const Value values[] = {Value::Date(123456.789012345), Value::Date(-99.5), Value::Date(-0.5),
                          Value::Date(0.1), Value(-0.0)};
  for (const Value& v : values) EXPECT_EQ(Typed(RoundTrip(v, Format::Binary)), Typed(v));
  EXPECT_EQ(Typed(RoundTrip(Value::Date(100.75), Format::Xml)), Typed(Value::Date(100)));
}

TEST(PlistRoundTrip, SetIsWrittenAsArray) {
  const Value set = Value::Set({1, "a"});
  for (Format format : {Format::Xml, Format::Binary}) {
    const Value back = RoundTrip(set, format);
    ASSERT_TRUE(back.isArray());
    EXPECT_EQ(Value::Set(back.array()), set);
  }
}

Value CommandPackage() {
  Value::Bytes blob;
  for (int i = 0; i < 64; ++i) blob.push_back(static_cast<std::uint8_t>(i * 7));
  return Value{
      {"Command", "Connect"},
      {"Profile", {{"APN", "internet"}, {"User", "web"}, {"Auth", 2}, {"Dial", "*99#"}}},
      {"Modems", Value(Value::Array{Value{{"Port", "/dev/ttyUSB0"}, {"Speed", 115200}},
                                    Value{{"Port", "/dev/ttyUSB2"}, {"Speed", 9600}}})},
      {"Blob", Value::Data(blob)},
      {"Flags", Value(Value::Array{true, false, Value(kUInt64Max), Value(kInt64Min)})},
      {"Deep", {{"a", {{"b", {{"c", Value(Value::Array{Value::EmptyDictionary(), 0.5})}}}}}}},
      {"When", Value::Date(700000000)},
  };
}

TEST(PlistRoundTrip, NestedStructures) {
  const Value package = CommandPackage();
  for (Format format : {Format::Xml, Format::Binary}) {
    EXPECT_EQ(Typed(RoundTrip(package, format)), Typed(package));
  }
}

TEST(PlistRoundTrip, UnicodeInStringsAndKeys) {
  const char* const texts[] = {
      "caf\xc3\xa9",                           // é, two bytes
      "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",  // three-byte characters
      "\xf0\x9f\x98\x80",                      // outside the BMP (a surrogate pair in UTF-16)
      "a\xf0\x9f\x98\x80z\xf0\x9d\x84\x9e",    // non-BMP between ASCII
      "e\xcc\x81",                             // combining accent, not normalised
      "\xe2\x80\xa8 line separator",
      "\xef\xbb\xbf"
      "byte order mark first",
      "tab\there & <less> \"quotes\"",
      "\xce\xa9\xe2\x89\x88\xc3\xa7\xe2\x88\x9a",
  };
  for (Format format : {Format::Xml, Format::Binary}) {
    for (const char* text : texts) {
      SCOPED_TRACE(std::string(text) + (format == Format::Xml ? " (xml)" : " (binary)"));
      const Value v{{text, text}, {"list", Value(Value::Array{text})}};
      const Value back = RoundTrip(v, format);
      EXPECT_EQ(back, v);
      EXPECT_EQ(back.keys().front(), std::string(text) < "list" ? text : "list");
      EXPECT_EQ(back.get(text).string(), text);
    }
  }
}

TEST(PlistParse, IntegersAsOtherWritersSpellThem) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
      "<integer>18446744073709551615</integer><integer>-1</integer>"
      "<integer>9223372036854775808</integer><integer>-9223372036854775808</integer>"
      "<real>0.1</real><real>1e300</real><true/><false/>"
      "<date>1999-12-31T23:59:59Z</date>"
      "</array></plist>";
  const std::optional<Value> v = plist::Parse(xml);
  ASSERT_TRUE(v);
  EXPECT_EQ(Typed(*v), Typed(Value(Value::Array{Value(kUInt64Max), Value(-1),
                                                Value(static_cast<unsigned long long>(1ULL << 63)),
                                                Value(kInt64Min), Value(0.1), Value(1e300), Value(true),
                                                Value(false), Value::Date(-366 * 86400.0 - 1)})));
}

TEST(PlistParse, UidIsTheDictionaryOfItsXmlForm) {
  // bplist00, one UID object (0x80, one byte: 5), offset table, trailer.
  std::string bytes = std::string("bplist00") + "\x80\x05" + "\x08";
  bytes += std::string(6, '\0') + "\x01\x01" + std::string(7, '\0') + "\x01" + std::string(8, '\0') +
           std::string(7, '\0') + "\x0a";
  const std::optional<Value> v = plist::Parse(bytes);
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, (Value{{"CF$UID", 5}}));
}

// ---- malformed input ----

// A binary property list from objects given as bytes; references are one byte.
std::string Binary(const std::vector<std::string>& objects, std::uint8_t top = 0) {
  std::string bytes = "bplist00";
  std::vector<std::size_t> offsets;
  for (const std::string& o : objects) {
    offsets.push_back(bytes.size());
    bytes += o;
  }
  const std::size_t table = bytes.size();
  for (std::size_t offset : offsets) {
    bytes += static_cast<char>(offset >> 8);
    bytes += static_cast<char>(offset & 0xff);
  }
  std::string trailer(32, '\0');
  trailer[6] = 2;
  trailer[7] = 1;
  trailer[15] = static_cast<char>(objects.size());
  trailer[23] = static_cast<char>(top);
  trailer[30] = static_cast<char>(table >> 8);
  trailer[31] = static_cast<char>(table & 0xff);
  return bytes + trailer;
}

TEST(PlistParse, MalformedInputGivesNothing) {
  const std::string valid = plist::ToBinary(CommandPackage());
  ASSERT_TRUE(plist::Parse(valid));
  // Every truncation of a valid file.
  for (std::size_t length = 0; length < valid.size(); ++length) {
    EXPECT_FALSE(plist::Parse(valid.substr(0, length))) << length;
  }

  // A dictionary {"a\0b": 1} — libplist itself would abort on reading its key.
  const std::string nulKey = Binary({std::string("\xd1\x01\x02", 3),
                                     std::string("\x53"
                                                 "a\0b",
                                                 4),
                                     std::string("\x10\x01", 2)});
  // An array that contains itself.
  const std::string cycle = Binary({std::string("\xa1\x00", 2)});
  // Forty arrays, each holding the next one twice: 2^40 objects once expanded.
  std::vector<std::string> doubling;
  for (int i = 0; i < 40; ++i) {
    doubling.push_back(std::string("\xa2", 1) + static_cast<char>(i + 1) + static_cast<char>(i + 1));
  }
  doubling.push_back(std::string("\x10\x01", 2));
  const std::string expanding = Binary(doubling);
  // A reference past the last object.
  const std::string badRef = Binary({std::string("\xa1\x07", 2)});

  auto nested = [](int depth, Format format) {
    if (format == Format::Xml) {
      std::string x = "<plist>";
      for (int i = 0; i < depth; ++i) x += "<array>";
      x += "<integer>1</integer>";
      for (int i = 0; i < depth; ++i) x += "</array>";
      return x + "</plist>";
    }
    std::vector<std::string> objects;
    for (int i = 0; i < depth; ++i) objects.push_back(std::string("\xa1", 1) + static_cast<char>(i + 1));
    objects.push_back(std::string("\x10\x01", 2));
    return Binary(objects);
  };
  // The binary form above holds at most 255 objects; the XML one shows the limit.
  ASSERT_TRUE(plist::Parse(nested(200, Format::Binary)));
  ASSERT_TRUE(plist::Parse(nested(512, Format::Xml)));

  const std::string cases[] = {
      "",
      "bplist00",
      "bplist00" + std::string(40, '\xff'),
      "not a property list",
      "<plist><array><integer>1</integer>",
      "<plist><dict><key>a</key><string>x</dict></plist>",
      "<plist><array></dict></plist>",
      "<?xml version=\"1.0\"?><plist><string>unterminated</plist>",
      std::string("<plist><string>a\0b</string></plist>", 34),
      "<plist><dict><key>a&#0;b</key><integer>1</integer></dict></plist>",
      std::string("\x00\x01\x02\x03", 4),
      nulKey,
      cycle,
      expanding,
      badRef,
      nested(513, Format::Xml),
      nested(100000, Format::Xml),
  };
  for (const std::string& bytes : cases) {
    EXPECT_FALSE(plist::Parse(bytes)) << bytes.substr(0, 80);
  }
}

// ---- writing ----

class ProbeObject : public platform::ValueObject {};

TEST(PlistWrite, ObjectsAreSkippedWithALoggedError) {
  const auto object = Value::Object(std::make_shared<ProbeObject>());
  Value record{{"keep", 1}, {"thread", object}};
  record.set("list", Value(Value::Array{1, object, Value(), 2}));

  testing::internal::CaptureStderr();
  const std::string xml = plist::ToXml(record);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("plist: skipping a value that is not property-list data"), std::string::npos);

  const std::optional<Value> back = plist::Parse(xml);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, (Value{{"keep", 1}, {"list", Value(Value::Array{1, 2})}}));

  testing::internal::CaptureStderr();
  const std::string cut = plist::ToBinary(Value{{"text", std::string_view("a\0b", 3)}});
  EXPECT_NE(testing::internal::GetCapturedStderr().find("plist: a text with a NUL character is cut at it"),
            std::string::npos);
  EXPECT_EQ(plist::Parse(cut), (Value{{"text", "a"}}));

  testing::internal::CaptureStderr();
  EXPECT_EQ(plist::ToBinary(object), "");
  EXPECT_EQ(plist::ToXml(Value()), "");
  testing::internal::GetCapturedStderr();
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

TEST(PlistWrite, FileIsReplacedWholeWithTheGivenMode) {
  TempDir dir;
  const std::string path = dir / "settings.plist";
  testing_support::WriteFile(path, "old contents");

  ASSERT_TRUE(plist::WriteFileAtomically(path, CommandPackage(), Format::Binary, 0600));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(plist::ReadFile(path), CommandPackage());
  EXPECT_EQ(testing_support::ReadFile(path).substr(0, 8), "bplist00");

  ASSERT_TRUE(plist::WriteFileAtomically(path, Value{{"v", 2}}));  // XML, 0644
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(plist::ReadFile(path), (Value{{"v", 2}}));
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"settings.plist"});
}

TEST(PlistWrite, FailureLeavesNothingBehind) {
  TempDir dir;
  errno = 0;
  EXPECT_FALSE(plist::WriteFileAtomically(dir / "missing/settings.plist", Value{{"v", 1}}));
  EXPECT_EQ(errno, ENOENT);

  // Renaming over a folder fails after the temporary file exists; it must go again.
  ASSERT_EQ(mkdir((dir / "taken").c_str(), 0755), 0);
  testing_support::WriteFile(dir / "taken/inside", "x");
  EXPECT_FALSE(plist::WriteFileAtomically(dir / "taken", Value{{"v", 1}}));
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"taken"});

  testing::internal::CaptureStderr();
  EXPECT_FALSE(
      plist::WriteFileAtomically(dir / "object.plist", Value::Object(std::make_shared<ProbeObject>())));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(testing_support::FileExists(dir / "object.plist"));

  EXPECT_FALSE(plist::ReadFile(dir / "absent.plist"));
}

TEST(PlistParse, RealsReadTheSameUnderADecimalCommaLocale) {
  locale_t comma = static_cast<locale_t>(nullptr);
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    comma = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr));
    if (comma) break;
  }
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma installed";
  const locale_t previous = uselocale(comma);
  const std::optional<Value> v = plist::Parse(plist::ToXml(Value(Value::Array{0.25, 1e-7})));
  const std::optional<Value> literal = plist::Parse("<plist><real>0.75</real></plist>");
  uselocale(previous);
  freelocale(comma);
  ASSERT_TRUE(v);
  EXPECT_EQ(Typed(*v), Typed(Value(Value::Array{0.25, 1e-7})));
  ASSERT_TRUE(literal);
  EXPECT_EQ(literal->toDouble(), 0.75);
}

// ---- the peer tool ----

constexpr const char* kPlistutil = "/usr/bin/plistutil";

bool RunPlistutil(const std::string& in, const std::string& out, const char* format) {
  std::vector<std::string> args = {kPlistutil, "-i", in, "-o", out, "-f", format};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, kPlistutil, nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PlistPeerTool, ReadsWhatPlistutilWrites) {
  if (access(kPlistutil, X_OK) != 0) GTEST_SKIP() << "plistutil is not installed";
  TempDir dir;
  testing_support::WriteFile(dir / "in.xml",
                             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                             "<plist version=\"1.0\">\n<dict>\n"
                             "\t<key>Command</key>\n\t<string>Connect \xf0\x9f\x98\x80</string>\n"
                             "\t<key>Count</key>\n\t<integer>-42</integer>\n"
                             "\t<key>Big</key>\n\t<integer>18446744073709551615</integer>\n"
                             "\t<key>Ratio</key>\n\t<real>0.1</real>\n"
                             "\t<key>On</key>\n\t<true/>\n"
                             "\t<key>Blob</key>\n\t<data>AAEC/w==</data>\n"
                             "\t<key>When</key>\n\t<date>2001-01-02T00:00:00Z</date>\n"
                             "\t<key>List</key>\n\t<array><string>a</string><dict/></array>\n"
                             "</dict>\n</plist>\n");
  ASSERT_TRUE(RunPlistutil(dir / "in.xml", dir / "out.bin", "bin"));
  const Value expected{{"Command", "Connect \xf0\x9f\x98\x80"},
                       {"Count", -42},
                       {"Big", Value(kUInt64Max)},
                       {"Ratio", 0.1},
                       {"On", true},
                       {"Blob", Value::Data(std::string_view("\x00\x01\x02\xff", 4))},
                       {"When", Value::Date(86400)},
                       {"List", Value(Value::Array{"a", Value::EmptyDictionary()})}};
  EXPECT_EQ(testing_support::ReadFile(dir / "out.bin").substr(0, 8), "bplist00");
  const std::optional<Value> fromBinary = plist::ReadFile(dir / "out.bin");
  ASSERT_TRUE(fromBinary);
  EXPECT_EQ(Typed(*fromBinary), Typed(expected));
  const std::optional<Value> fromXml = plist::ReadFile(dir / "in.xml");
  ASSERT_TRUE(fromXml);
  EXPECT_EQ(Typed(*fromXml), Typed(expected));
}

TEST(PlistPeerTool, PlistutilReadsWhatWeWrite) {
  if (access(kPlistutil, X_OK) != 0) GTEST_SKIP() << "plistutil is not installed";
  TempDir dir;
  const Value package = CommandPackage();
  ASSERT_TRUE(plist::WriteFileAtomically(dir / "ours.bin", package, Format::Binary));
  ASSERT_TRUE(plist::WriteFileAtomically(dir / "ours.xml", package, Format::Xml));
  ASSERT_TRUE(RunPlistutil(dir / "ours.bin", dir / "theirs.xml", "xml"));
  ASSERT_TRUE(RunPlistutil(dir / "ours.xml", dir / "theirs.bin", "bin"));
  for (const char* name : {"theirs.xml", "theirs.bin"}) {
    SCOPED_TRACE(name);
    const std::optional<Value> back = plist::ReadFile(dir / name);
    ASSERT_TRUE(back);
    EXPECT_EQ(Typed(*back), Typed(package));
  }
  // The tool's XML from our binary is the same text as our own XML.
  EXPECT_EQ(testing_support::ReadFile(dir / "theirs.xml"), testing_support::ReadFile(dir / "ours.xml"));
}

}  // namespace
