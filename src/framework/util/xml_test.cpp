#include "framework/util/xml.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "framework/core/log.h"
#include "platform/assert.h"
#include "testing/test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Kind = QPX_Framework_XML_Node::Kind;

// Collects the error entries written while it exists.
class ErrorLog {
 public:
  ErrorLog() {
    entries().clear();
    previous_ = QPX_Framework_Log_UserLog.exchange(&Receive);
  }
  ~ErrorLog() { QPX_Framework_Log_UserLog.store(previous_); }
  static std::vector<std::string>& entries() {
    static std::vector<std::string> list;
    return list;
  }

 private:
  static void Receive(const char*, unsigned, const char*, const char*, double, int level, const char* format,
                      va_list args) {
    if (level != QPX_LOG_ERROR) return;
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    entries().push_back(buffer);
  }
  QPX_Framework_Log_Receiver previous_;
};

std::vector<std::string> Names(const std::vector<QPX_Framework_XML_Element>& elements) {
  std::vector<std::string> names;
  for (const auto& e : elements) names.push_back(e.QPX_Framework_XML_Element_Name());
  return names;
}

const char* const kDevices =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Devices version=\"2\">\n"
    "  <!-- modems we know -->\n"
    "  <Device VID=\"0x12d1\" PID=\"0x1001\">\n"
    "    <Name>E169</Name>\n"
    "    <Port>  spaced  </Port>\n"
    "  </Device>\n"
    "  <Device VID=\"0x12d1\" PID=\"0x1003\"><Name>E220 <![CDATA[<HSDPA>]]> &amp; more</Name></Device>\n"
    "</Devices>\n";

TEST(XMLDocument, LoadsFileWithWhitespaceKept) {
  testing_support::TempDir dir;
  testing_support::WriteFile(dir / "Devices.xml", kDevices);
  QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromFile(dir / "Devices.xml");
  ASSERT_TRUE(root);
  EXPECT_EQ(root.QPX_Framework_XML_Element_Name(), "Devices");
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetAttributeValue("version"), "2");
  EXPECT_FALSE(root.Parent());

  // Every child node, whitespace between the elements and the comment included.
  std::vector<Kind> kinds;
  for (const auto& node : root.QPX_Framework_XML_Element_Children()) kinds.push_back(node.GetKind());
  EXPECT_THAT(kinds, ElementsAre(Kind::Text, Kind::Comment, Kind::Text, Kind::Element, Kind::Text,
                                 Kind::Element, Kind::Text));
  EXPECT_EQ(root.QPX_Framework_XML_Element_Children()[0].StringValue(), "\n  ");

  // Only elements, in document order.
  std::vector<QPX_Framework_XML_Element> devices = root.QPX_Framework_XML_Element_GetChildren("Device");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_THAT(Names(root.QPX_Framework_XML_Element_GetChildren()), ElementsAre("Device", "Device"));
  EXPECT_EQ(devices[1].QPX_Framework_XML_Element_GetAttributeValue("PID"), "0x1003");
  EXPECT_EQ(devices[0].QPX_Framework_XML_Element_GetStringChild("Port"), "  spaced  ");
  // Text content joins text, CDATA and entities of all descendants.
  EXPECT_EQ(devices[1].QPX_Framework_XML_Element_GetStringChild("Name"), "E220 <HSDPA> & more");
  EXPECT_EQ(devices[0].StringValue(), "\n    E169\n      spaced  \n  ");
  EXPECT_EQ(devices[0].QPX_Framework_XML_Element_FirstText().StringValue(), devices[0].StringValue());
}

TEST(XMLDocument, AbsentThingsAreNull) {
  QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(kDevices);
  ASSERT_TRUE(root);
  EXPECT_FALSE(root.QPX_Framework_XML_Element_GetChild("Modem"));
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetStringChild("Modem"), std::nullopt);
  EXPECT_FALSE(root.QPX_Framework_XML_Element_GetAttribute("missing"));
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetAttributeValue("missing"), std::nullopt);
  EXPECT_TRUE(root.QPX_Framework_XML_Element_GetChildren("Modem").empty());
  // Calls on a null handle do nothing and answer null, so lookups can be chained.
  QPX_Framework_XML_Element none = root.QPX_Framework_XML_Element_GetChild("Modem");
  EXPECT_FALSE(none.QPX_Framework_XML_Element_GetChild("Name"));
  EXPECT_EQ(none.QPX_Framework_XML_Element_GetAttributeValue("x"), std::nullopt);
  EXPECT_EQ(none.GetKind(), Kind::Null);
  none.QPX_Framework_XML_Element_AddAttribute("a", "b");
}

TEST(XMLDocument, TwoChildrenWhereOneIsExpectedLogsAndTakesTheFirst) {
  QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(kDevices);
  ErrorLog log;
  QPX_Framework_XML_Element first = root.QPX_Framework_XML_Element_GetChild("Device");
  EXPECT_EQ(first, root.QPX_Framework_XML_Element_GetChildren("Device")[0]);
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetStringChild("Device"), first.StringValue());
  ASSERT_EQ(ErrorLog::entries().size(), 2u);
  EXPECT_THAT(ErrorLog::entries()[0], HasSubstr("<Device>"));
}

// Documents that are not well-formed give null and log "path: error" (empty path for text).
TEST(XMLDocument, MalformedTextIsALoggedFailure) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"whitespace-only", " \n\t"},
      {"unclosed-root", "<a><b/>"},
      {"end-tag-mismatch", "<a></b>"},
      {"truncated-end-tag", "<a>x</a"},
      {"truncated-attribute", "<a x=\"1"},
      {"two-roots", "<a/><b/>"},
      {"text-before-root", "junk<a/>"},
      {"text-after-root", "<a/>junk"},
      {"cdata-outside-root", "<a/><![CDATA[x]]>"},
      {"bad-tag-name", "<1a/>"},
      {"not-utf8", "<a>\xC3\x28</a>"},
      {"overlong-utf8", "<a>\xC0\xBC</a>"},
      {"utf16-surrogate-in-utf8", "<a>\xED\xA0\x80</a>"},
      {"declaration-only", "<?xml version=\"1.0\"?>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ErrorLog log;
    EXPECT_FALSE(QPX_Framework_XML_Document_LoadFromString(c.text));
    ASSERT_EQ(ErrorLog::entries().size(), 1u);
    EXPECT_EQ(ErrorLog::entries()[0].rfind(": ", 0), 0u) << ErrorLog::entries()[0];
  }
}

TEST(XMLDocument, UnreadableFilesAreLoggedFailures) {
  testing_support::TempDir dir;
  ErrorLog log;
  EXPECT_FALSE(QPX_Framework_XML_Document_LoadFromFile(""));
  EXPECT_TRUE(ErrorLog::entries().empty());
  EXPECT_FALSE(QPX_Framework_XML_Document_LoadFromFile(dir / "missing.xml"));
  ASSERT_EQ(ErrorLog::entries().size(), 1u);
  EXPECT_EQ(ErrorLog::entries()[0].rfind(dir / "missing.xml: ", 0), 0u);
  testing_support::WriteFile(dir / "broken.xml", "<a>");
  EXPECT_FALSE(QPX_Framework_XML_Document_LoadFromFile(dir / "broken.xml"));
  EXPECT_EQ(ErrorLog::entries().size(), 2u);
}

TEST(XMLDocument, FilesInOtherEncodingsAreConverted) {
  testing_support::TempDir dir;
  // "Привет" in Windows-1251, "é" in ISO-8859-1, "ü" in UTF-16LE with a byte-order mark.
  testing_support::WriteFile(
      dir / "cp1251.xml", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xCF\xF0\xE8\xE2\xE5\xF2</a>");
  testing_support::WriteFile(dir / "latin1.xml", "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>");
  testing_support::WriteFile(dir / "utf16.xml", std::string("\xFF\xFE<\0a\0>\0\xFC\0<\0/\0a\0>\0", 18));
  testing_support::WriteFile(dir / "bom.xml", "\xEF\xBB\xBF<a>\xC3\xA9</a>");
  EXPECT_EQ(QPX_Framework_XML_Document_LoadFromFile(dir / "cp1251.xml").StringValue(),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_EQ(QPX_Framework_XML_Document_LoadFromFile(dir / "latin1.xml").StringValue(), "\xC3\xA9");
  EXPECT_EQ(QPX_Framework_XML_Document_LoadFromFile(dir / "utf16.xml").StringValue(), "\xC3\xBC");
  EXPECT_EQ(QPX_Framework_XML_Document_LoadFromFile(dir / "bom.xml").StringValue(), "\xC3\xA9");

  ErrorLog log;
  testing_support::WriteFile(dir / "unknown.xml", "<?xml version='1.0' encoding='no-such-code'?><a/>");
  EXPECT_FALSE(QPX_Framework_XML_Document_LoadFromFile(dir / "unknown.xml"));
  // A string is UTF-8 already: what it declares does not matter.
  EXPECT_EQ(QPX_Framework_XML_Document_LoadFromString(
                "<?xml version='1.0' encoding='windows-1251'?><a>\xC3\xA9</a>")
                .StringValue(),
            "\xC3\xA9");
  EXPECT_EQ(ErrorLog::entries().size(), 1u);
}

TEST(XMLElementTree, HandlesKeepTheirDocumentAlive) {
  QPX_Framework_XML_Element name;
  QPX_Framework_XML_Node attribute;
  {
    QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(kDevices);
    name = root.QPX_Framework_XML_Element_GetChild("Device").QPX_Framework_XML_Element_GetChild("Name");
    attribute = root.QPX_Framework_XML_Element_GetAttribute("version");
  }
  // The root handle is gone; the document is not.
  EXPECT_EQ(name.StringValue(), "E169");
  EXPECT_EQ(name.Parent().Parent().QPX_Framework_XML_Element_Name(), "Devices");
  EXPECT_EQ(attribute.QPX_Framework_XML_Attribute_Value(), "2");
}

TEST(XMLElementTree, BuildsAndSerializes) {
  QPX_Framework_XML_Element root = QPX_Framework_XML_Element::Create("NODE");
  QPX_Framework_XML_Node name = root.QPX_Framework_XML_Element_AddAttribute("Name", "Modems");
  QPX_Framework_XML_Element element = QPX_Framework_XML_Element::Create("ELEMENT");
  element.QPX_Framework_XML_Element_AddAttribute(
      QPX_Framework_XML_Node::Attribute("String", "a \"quoted\"\nline & <tag>"));
  root.QPX_Framework_XML_Element_AddChild(element);
  // The handles follow their nodes into the tree they joined.
  element.QPX_Framework_XML_Element_AddAttribute("Name", "Key");
  QPX_Framework_XML_Element text = QPX_Framework_XML_Element::Create("STRING");
  text.SetStringValue("x < y");
  element.QPX_Framework_XML_Element_AddChild(text);
  element.QPX_Framework_XML_Element_AddChild(QPX_Framework_XML_Node::CData("<plist/>"));
  root.QPX_Framework_XML_Element_AddChild(QPX_Framework_XML_Node::Comment("skipped"));
  name.QPX_Framework_XML_Attribute_SetValue("Devices");
  EXPECT_EQ(element.Parent(), root);
  EXPECT_EQ(text.Parent(), element);

  std::string bytes = QPX_Framework_XML_Serialize(root, QPX_Framework_XML_Node::DocType("NODE"));
  EXPECT_EQ(bytes,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE NODE>\n"
            "<NODE Name=\"Devices\"><ELEMENT String=\"a &quot;quoted&quot;&#10;line &amp; &lt;tag>\" "
            "Name=\"Key\"><STRING>x &lt; y</STRING><![CDATA[<plist/>]]></ELEMENT><!--skipped--></NODE>\n");

  // What was written reads back the same.
  QPX_Framework_XML_Element again = QPX_Framework_XML_Document_LoadFromString(bytes);
  QPX_Framework_XML_Element back = again.QPX_Framework_XML_Element_GetChild("ELEMENT");
  EXPECT_EQ(back.QPX_Framework_XML_Element_GetAttributeValue("String"), "a \"quoted\"\nline & <tag>");
  EXPECT_EQ(back.QPX_Framework_XML_Element_GetStringChild("STRING"), "x < y");
  EXPECT_EQ(QPX_Framework_XML_Serialize(again),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + bytes.substr(bytes.find("<NODE")));
}

TEST(XMLElementTree, RenamesAndReplaces) {
  QPX_Framework_XML_Element root =
      QPX_Framework_XML_Document_LoadFromString("<gui><a/> <include>x.xml</include></gui>");
  std::vector<QPX_Framework_XML_Node> children = root.QPX_Framework_XML_Element_Children();
  ASSERT_EQ(children.size(), 3u);
  QPX_Framework_XML_Element included = QPX_Framework_XML_Document_LoadFromString("<array><b/></array>");
  root.ReplaceChild(2, included);
  EXPECT_EQ(included.Parent(), root);
  EXPECT_EQ(QPX_Framework_XML_Serialize(root),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gui><a/> <array><b/></array></gui>\n");
  // The replaced child is parentless and still usable.
  EXPECT_FALSE(children[2].Parent());
  EXPECT_EQ(children[2].StringValue(), "x.xml");

  included.QPX_Framework_XML_Element_SetName("dict");
  QPX_Framework_XML_Node attribute = included.QPX_Framework_XML_Element_AddAttribute("k", "1");
  attribute.QPX_Framework_XML_Attribute_SetName("key");
  EXPECT_EQ(included.QPX_Framework_XML_Element_GetAttributeValue("key"), "1");
  EXPECT_THAT(Names(root.QPX_Framework_XML_Element_GetChildren()), ElementsAre("a", "dict"));

  // A detached child can be added again, within the same document.
  QPX_Framework_XML_Element a = root.QPX_Framework_XML_Element_GetChild("a");
  a.Detach();
  EXPECT_FALSE(a.Parent());
  included.QPX_Framework_XML_Element_AddChild(a);
  EXPECT_EQ(QPX_Framework_XML_Serialize(root),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gui> <dict key=\"1\"><b/><a/></dict></gui>\n");
}

TEST(XMLElementTree, HandlesIntoACopiedSubtreeFollowTheCopy) {
  QPX_Framework_XML_Element target = QPX_Framework_XML_Document_LoadFromString("<root/>");
  QPX_Framework_XML_Element source =
      QPX_Framework_XML_Document_LoadFromString("<node><child a=\"1\"/></node>");
  QPX_Framework_XML_Element child = source.QPX_Framework_XML_Element_GetChild("child");
  QPX_Framework_XML_Node a = child.QPX_Framework_XML_Element_GetAttribute("a");
  target.QPX_Framework_XML_Element_AddChild(source);
  child.QPX_Framework_XML_Element_AddAttribute("b", "2");
  a.QPX_Framework_XML_Attribute_SetValue("3");
  EXPECT_EQ(
      QPX_Framework_XML_Serialize(target),
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><node><child a=\"3\" b=\"2\"/></node></root>\n");
  EXPECT_EQ(child.Parent().Parent(), target);
}

TEST(XMLElementTree, MisuseIsAnAssertion) {
  QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString("<a><b/><c/></a>");
  QPX_Framework_XML_Element b = root.QPX_Framework_XML_Element_GetChild("b");
  QPX_Framework_XML_Element other = QPX_Framework_XML_Element::Create("x");
  // A node that still has a parent, the element itself, or one of its ancestors.
  EXPECT_THROW(other.QPX_Framework_XML_Element_AddChild(b), platform::AssertionFailure);
  EXPECT_THROW(root.QPX_Framework_XML_Element_AddChild(root), platform::AssertionFailure);
  b.Detach();
  b.QPX_Framework_XML_Element_AddChild(root);
  EXPECT_EQ(root.Parent(), b);
  EXPECT_THROW(root.QPX_Framework_XML_Element_AddChild(b), platform::AssertionFailure);
  // Attribute operations on what is not an attribute, attributes as children.
  EXPECT_THROW(other.QPX_Framework_XML_Attribute_SetValue("v"), platform::AssertionFailure);
  EXPECT_THROW(other.QPX_Framework_XML_Attribute_SetName("v"), platform::AssertionFailure);
  EXPECT_THROW(other.QPX_Framework_XML_Element_AddChild(QPX_Framework_XML_Node::Attribute("n", "v")),
               platform::AssertionFailure);
  QPX_Framework_XML_Node kept = other.QPX_Framework_XML_Element_AddAttribute("n", "v");
  other.QPX_Framework_XML_Element_AddAttribute("m", "w");
  EXPECT_THROW(kept.QPX_Framework_XML_Attribute_SetName("m"), platform::AssertionFailure);
  EXPECT_THROW(root.QPX_Framework_XML_Element_AddAttribute(kept), platform::AssertionFailure);
  // Serializing an element that is inside a tree.
  EXPECT_THROW(QPX_Framework_XML_Serialize(root), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_XML_Serialize(b, root), platform::AssertionFailure);
  EXPECT_THROW(b.ReplaceChild(5, QPX_Framework_XML_Node::Text("t")), platform::AssertionFailure);
}

TEST(XMLElementTree, AddingAnAttributeOfTheSameNameChangesIt) {
  QPX_Framework_XML_Element e = QPX_Framework_XML_Element::Create("e");
  QPX_Framework_XML_Node first = e.QPX_Framework_XML_Element_AddAttribute("n", "1");
  e.QPX_Framework_XML_Element_AddAttribute(QPX_Framework_XML_Node::Attribute("n", "2"));
  EXPECT_EQ(first.QPX_Framework_XML_Attribute_Value(), "2");
  EXPECT_EQ(QPX_Framework_XML_Serialize(e), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<e n=\"2\"/>\n");
}

}  // namespace
