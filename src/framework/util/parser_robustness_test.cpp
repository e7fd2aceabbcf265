// Bytes from outside (router and server XML, modem replies) thrown at the parsers of this
// library: every input either parses or gives a logged failure with an empty result, never
// a crash or an assertion. Inputs come from a fixed seed, so a failure repeats.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "framework/util/regex.h"
#include "framework/util/xml.h"
#include "testing/test_support.h"

namespace {

class Bytes {
 public:
  explicit Bytes(unsigned seed) : random_(seed) {}

  std::size_t Below(std::size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  char AnyByte() { return static_cast<char>(Below(256)); }
  char OneOf(std::string_view chars) { return chars[Below(chars.size())]; }

  // A mutation of the seed text: cut short, bytes changed, bytes put in or taken out.
  std::string Mutate(const std::string& seed, std::string_view alphabet) {
    std::string s = seed;
    switch (Below(4)) {
      case 0:
        s.resize(Below(s.size() + 1));
        break;
      case 1:
        for (std::size_t n = Below(8) + 1; n > 0 && !s.empty(); --n)
          s[Below(s.size())] = Below(4) ? OneOf(alphabet) : AnyByte();
        break;
      case 2:
        for (std::size_t n = Below(8) + 1; n > 0; --n)
          s.insert(s.begin() + Below(s.size() + 1), OneOf(alphabet));
        break;
      default:
        for (std::size_t n = Below(8) + 1; n > 0 && !s.empty(); --n) s.erase(Below(s.size()), Below(6) + 1);
        break;
    }
    return s;
  }

  std::string Random(std::size_t maxLength, std::string_view alphabet) {
    std::string s;
    for (std::size_t n = Below(maxLength + 1); n > 0; --n)
      s.push_back(Below(8) ? OneOf(alphabet) : AnyByte());
    return s;
  }

 private:
  std::mt19937 random_;
};

const char* const kXMLSeeds[] = {
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response>\n  <ConnectionStatus>901</ConnectionStatus>\n"
    "  <SignalIcon>5</SignalIcon>\n  <CurrentNetworkType>19</CurrentNetworkType>\n</response>\n",
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><error><code>125002</code><message></message></error>",
    "<NODE Name=\"Modems\" BuildID=\"1\"><ELEMENT Name=\"A\" String=\"x &amp; y\"/><ELEMENT Name=\"B\">"
    "<PROPERTY-LIST><![CDATA[<plist version=\"1.0\"><integer>5</integer></plist>]]></PROPERTY-LIST></ELEMENT>"
    "<!-- skipped --><NODE Name=\"C\"/></NODE>",
    "<!DOCTYPE plist PUBLIC \"-//x//DTD PLIST 1.0//EN\" \"x.dtd\">\n<plist version=\"1.0\"><dict><key>k</key>"
    "<string>Caf\xC3\xA9 &#x263A; &lt;</string><include>a.xml</include></dict></plist>",
};
constexpr std::string_view kXMLAlphabet = "<>/?!=\"'&;#x[]-CDATA abc\n\t\xC3\xA9";

// Walks everything a reader can reach; whatever loaded must serialize to bytes that load
// again and serialize the same.
void Exercise(const QPX_Framework_XML_Element& root) {
  std::vector<QPX_Framework_XML_Element> pending{root};
  while (!pending.empty()) {
    QPX_Framework_XML_Element e = pending.back();
    pending.pop_back();
    e.QPX_Framework_XML_Element_GetChild("NODE");
    e.QPX_Framework_XML_Element_GetStringChild("code");
    e.QPX_Framework_XML_Element_GetAttributeValue("Name");
    for (const auto& node : e.QPX_Framework_XML_Element_Children()) node.StringValue();
    for (const auto& child : e.QPX_Framework_XML_Element_GetChildren()) pending.push_back(child);
  }
  std::string bytes = QPX_Framework_XML_Serialize(root);
  QPX_Framework_XML_Element again = QPX_Framework_XML_Document_LoadFromString(bytes);
  ASSERT_TRUE(again) << bytes;
  EXPECT_EQ(QPX_Framework_XML_Serialize(again), bytes);
}

TEST(ParserRobustness, XMLLoader) {
  Bytes bytes(0x5eed1);
  int loaded = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string seed = kXMLSeeds[bytes.Below(std::size(kXMLSeeds))];
    std::string input = bytes.Below(10) ? bytes.Mutate(seed, kXMLAlphabet) : bytes.Random(200, kXMLAlphabet);
    SCOPED_TRACE(testing::PrintToString(input));
    QPX_Framework_XML_Element root;
    ASSERT_NO_THROW(root = QPX_Framework_XML_Document_LoadFromString(input));
    if (!root) continue;
    ++loaded;
    ASSERT_NO_THROW(Exercise(root));
  }
  // Enough of the mutations still load for the walk and the round trip to be exercised.
  EXPECT_GT(loaded, 100);
}

TEST(ParserRobustness, XMLFiles) {
  Bytes bytes(0x5eed2);
  testing_support::TempDir dir;
  const std::string prefixes[] = {"",
                                  "\xEF\xBB\xBF",
                                  "\xFF\xFE",
                                  "\xFE\xFF",
                                  "<?xml version=\"1.0\" encoding=\"windows-1251\"?>",
                                  "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"};
  for (int i = 0; i < 300; ++i) {
    std::string input = prefixes[bytes.Below(std::size(prefixes))] +
                        bytes.Mutate(kXMLSeeds[bytes.Below(std::size(kXMLSeeds))], kXMLAlphabet);
    testing_support::WriteFile(dir / "in.xml", input);
    SCOPED_TRACE(testing::PrintToString(input));
    QPX_Framework_XML_Element root;
    ASSERT_NO_THROW(root = QPX_Framework_XML_Document_LoadFromFile(dir / "in.xml"));
    if (root) {
      ASSERT_NO_THROW(Exercise(root));
    }
  }
}

TEST(ParserRobustness, QuotedLists) {
  Bytes bytes(0x5eed3);
  const std::string seeds[] = {"\"IRA\",\"GSM\",\"UCS2\"", " \"8859-1\" , \"PCCP437\"", "\"\"", ""};
  for (int i = 0; i < 5000; ++i) {
    std::string input = bytes.Below(4) ? bytes.Mutate(seeds[bytes.Below(std::size(seeds))], "\", \tAB")
                                       : bytes.Random(30, "\", \tAB");
    SCOPED_TRACE(testing::PrintToString(input));
    Value result;
    ASSERT_NO_THROW(result = QPX_Framework_ParseList(input));
    if (result.isNull()) continue;
    ASSERT_TRUE(result.isSet());
    // A parsed list written out again parses to the same set.
    std::string written;
    for (const Value& member : result.array())
      written += (written.empty() ? "\"" : ",\"") + member.string() + "\"";
    EXPECT_EQ(QPX_Framework_ParseList(written), result);
  }
}

TEST(ParserRobustness, ModemReplies) {
  Bytes bytes(0x5eed4);
  const char* const patterns[] = {
      "\\+CREG: ([0-9]),([^,\r]*)(,\"([0-9A-F]*)\",\"([0-9A-F]*)\")?",
      "\\+CSQ: ([^,]*),([^,\r\n]*)",
      "\\+COPS: ([0-9]+)(,([0-9]+),\"([^\"]*)\"(,([0-9]+))?)?",
      "\\+CSCS: \\((.*)\\)",
      "\\^SYSINFO:([0-9]*),([0-9]*),([0-9]*),([0-9]*),([0-9]*)(,([0-9]*))?",
  };
  const std::string seeds[] = {"+CREG: 2,1,\"0A5B\",\"1C2D\"\r\n", "+CSQ: 17,99\r\n",
                               "+COPS: 0,0,\"Operator\",2\r\n", "+CSCS: (\"IRA\",\"GSM\",\"UCS2\")\r\n",
                               "^SYSINFO:2,3,0,5,1,,4\r\n"};
  for (int i = 0; i < 5000; ++i) {
    std::string reply = bytes.Mutate(seeds[bytes.Below(std::size(seeds))], "0123456789,\"+-: ()\r\nAFx");
    SCOPED_TRACE(testing::PrintToString(reply));
    for (const char* pattern : patterns) {
      Value match;
      ASSERT_NO_THROW(match = QPX_Framework_Regex_Match_Data(pattern, reply));
      if (match.isNull()) continue;
      for (std::size_t group = 0; group < match.size(); ++group) {
        ASSERT_NO_THROW(QPX_Framework_Regex_GetInteger(match, group));
        std::optional<std::string> text;
        ASSERT_NO_THROW(text = QPX_Framework_Regex_GetString(match, group));
        if (text) {
          ASSERT_NO_THROW(QPX_Framework_ParseList(*text));
          ASSERT_NO_THROW(QPX_Framework_StringToNumber(Value(*text)));
        }
      }
    }
  }
}

}  // namespace
