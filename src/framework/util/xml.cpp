#include "framework/util/xml.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <unordered_map>

#include "framework/core/log.h"

using Place = QPX_Framework_XML_Node::Place;

namespace qpx_xml {

struct Document {
  pugi::xml_document pugi;
  // In the document of a parentless attribute: the element that holds it. It is never
  // handed out, so the attribute counts as having no parent.
  pugi::xml_node holder;
  // Nodes and attributes of this document whose subtree was copied into another document
  // when it joined a tree there, keyed by their pugixml object; handles follow them. The
  // originals are kept, so a key is never reused by a new node.
  std::unordered_map<const void*, Place> moved;
};

struct Access {
  static QPX_Framework_XML_Node Node(Place place) { return QPX_Framework_XML_Node(std::move(place)); }
  static QPX_Framework_XML_Element Element(Place place) {
    return QPX_Framework_XML_Element(std::move(place));
  }
  static const Place& Of(const QPX_Framework_XML_Node& node) { return node.Resolved(); }
};

}  // namespace qpx_xml

using qpx_xml::Access;
using qpx_xml::Document;

namespace {

// Whitespace kept; comments, processing instructions and the document type kept as nodes.
// Parsed as a fragment so that text outside the root element stays visible to the
// well-formedness check below instead of being dropped silently.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments |
                                   pugi::parse_pi | pugi::parse_doctype | pugi::parse_fragment;

std::shared_ptr<Document> NewDocument() { return std::make_shared<Document>(); }

bool IsParentless(const Place& place) {
  if (place.attribute) return place.node == place.doc->holder;
  return place.node.parent().type() == pugi::node_document;
}

const void* Key(const Place& place) {
  if (place.attribute) return place.attribute.internal_object();
  return place.node.internal_object();
}

// --- UTF-8 ---

// True when the bytes are well-formed UTF-8. Runs of ASCII are skipped eight bytes at a
// time, since documents are mostly ASCII and this pass sits in front of every parse.
bool IsValidUTF8(const char* data, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const auto* end = p + size;
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      if ((chunk & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

// --- Loading ---

void LogFailure(const std::string& path, const std::string& error) {
  QPX_Log(QPX_LOG_ERROR, "%s: %s", path.c_str(), error.c_str());
}

QPX_Framework_XML_Element Parse(const std::string& path, const void* data, std::size_t size,
                                pugi::xml_encoding encoding) {
  auto doc = NewDocument();
  pugi::xml_parse_result result = doc->pugi.load_buffer(data, size, kParseOptions, encoding);
  if (!result) {
    LogFailure(path, std::string(result.description()) + " at offset " + std::to_string(result.offset));
    return {};
  }
  // pugixml accepts what a strict parser refuses at the top level: several root elements,
  // and text before or after the root. A document has exactly one root element, and only
  // whitespace, comments, processing instructions and a document type beside it.
  pugi::xml_node root;
  for (pugi::xml_node child : doc->pugi.children()) {
    switch (child.type()) {
      case pugi::node_element:
        if (root) {
          LogFailure(path, "Extra content at the end of the document");
          return {};
        }
        root = child;
        break;
      case pugi::node_pcdata:
        if (std::string_view(child.value()).find_first_not_of(" \t\r\n") != std::string_view::npos) {
          LogFailure(path, "Text outside the root element");
          return {};
        }
        break;
      case pugi::node_cdata:
        LogFailure(path, "CDATA outside the root element");
        return {};
      default:
        break;
    }
  }
  if (!root) {
    LogFailure(path, "No document element found");
    return {};
  }
  return Access::Element(Place{std::move(doc), root, {}});
}

std::string Lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// The encoding named in the XML declaration of an 8-bit document, lower case; empty when
// there is no declaration or it names none.
std::string DeclaredEncoding(const std::string& bytes) {
  if (bytes.compare(0, 5, "<?xml") != 0) return {};
  std::size_t close = bytes.find("?>");
  if (close == std::string::npos) return {};
  std::string declaration = bytes.substr(0, close);
  std::size_t at = declaration.find("encoding");
  if (at == std::string::npos) return {};
  at = declaration.find_first_not_of(" \t\r\n", at + 8);
  if (at == std::string::npos || declaration[at] != '=') return {};
  at = declaration.find_first_not_of(" \t\r\n", at + 1);
  if (at == std::string::npos || (declaration[at] != '"' && declaration[at] != '\'')) return {};
  std::size_t end = declaration.find(declaration[at], at + 1);
  if (end == std::string::npos) return {};
  return Lowercase(declaration.substr(at + 1, end - at - 1));
}

// Converts the bytes from the named encoding to UTF-8; empty when iconv does not know the
// encoding or the bytes are not valid in it.
std::optional<std::string> ConvertToUTF8(const std::string& bytes, const std::string& encoding) {
  iconv_t converter = iconv_open("UTF-8", encoding.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  std::string input = bytes;
  char* in = input.data();
  std::size_t inLeft = input.size();
  char buffer[4096];
  bool ok = true;
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    std::size_t status = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    if (status == static_cast<std::size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(converter);
  if (!ok) return std::nullopt;
  return out;
}

// --- Walking ---

// Calls visit for every node below root (not root itself) in document order, without
// recursion, so a deeply nested document cannot exhaust the stack.
template <class Visit>
void ForEachDescendant(pugi::xml_node root, Visit visit) {
  pugi::xml_node current = root.first_child();
  while (current) {
    visit(current);
    if (current.first_child()) {
      current = current.first_child();
      continue;
    }
    while (current != root && !current.next_sibling()) current = current.parent();
    if (current == root) break;
    current = current.next_sibling();
  }
}

// Records that the subtree at source (in from) now lives at copy (in to), node by node and
// attribute by attribute; both subtrees have the same shape.
void RecordCopy(Document& from, pugi::xml_node source, const std::shared_ptr<Document>& to,
                pugi::xml_node copy) {
  pugi::xml_node s = source;
  pugi::xml_node c = copy;
  while (true) {
    from.moved[s.internal_object()] = Place{to, c, {}};
    for (pugi::xml_attribute sa = s.first_attribute(), ca = c.first_attribute(); sa && ca;
         sa = sa.next_attribute(), ca = ca.next_attribute())
      from.moved[sa.internal_object()] = Place{to, c, ca};
    if (s.first_child()) {
      s = s.first_child();
      c = c.first_child();
      continue;
    }
    while (s != source && !s.next_sibling()) {
      s = s.parent();
      c = c.parent();
    }
    if (s == source) break;
    s = s.next_sibling();
    c = c.next_sibling();
  }
}

// Checks that node may become a child of element and places it: moved within the same
// document, copied (and its handles forwarded) from another. `before` null appends.
pugi::xml_node Insert(Place element, const QPX_Framework_XML_Node& node, pugi::xml_node before) {
  const Place& other = Access::Of(node);
  QPX_Assert_Detail(other.doc != nullptr, Value("adding a null node"));
  QPX_Assert_Detail(!other.attribute, Value("an attribute is not a child"));
  QPX_Assert_Detail(other.node.type() != pugi::node_doctype, Value("a document type is not a child"));
  QPX_Assert_Detail(IsParentless(other), Value("the node still has a parent"));
  if (other.doc == element.doc) {
    for (pugi::xml_node n = element.node; n; n = n.parent())
      QPX_Assert_Detail(n != other.node, Value("a node cannot become its own descendant"));
    pugi::xml_node placed =
        before ? element.node.insert_move_before(other.node, before) : element.node.append_move(other.node);
    QPX_Assert(placed);
    return placed;
  }
  pugi::xml_node copy =
      before ? element.node.insert_copy_before(other.node, before) : element.node.append_copy(other.node);
  QPX_Assert(copy);
  // `other` refers into node's place; keep the source document alive while recording.
  std::shared_ptr<Document> from = other.doc;
  RecordCopy(*from, other.node, element.doc, copy);
  return copy;
}

// The text and CDATA of every descendant, in document order.
std::string TextContent(pugi::xml_node element) {
  std::string text;
  ForEachDescendant(element, [&text](pugi::xml_node n) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) text += n.value();
  });
  return text;
}

// The child element with that name where one is expected: a second one comes from the
// document, not the program, so it is logged and the first is used.
pugi::xml_node OnlyChild(pugi::xml_node element, std::string_view name) {
  pugi::xml_node first;
  std::size_t count = 0;
  for (pugi::xml_node child : element.children()) {
    if (child.type() != pugi::node_element || name != child.name()) continue;
    if (!first) first = child;
    ++count;
  }
  if (count > 1) {
    QPX_Log(QPX_LOG_ERROR, "<%s> has %zu children <%.*s> where one is expected; using the first",
            element.name(), count, static_cast<int>(name.size()), name.data());
  }
  return first;
}

void DetachNode(const Place& place) {
  if (place.node.parent().type() == pugi::node_document) return;
  place.doc->pugi.append_move(place.node);
}

struct StringWriter : pugi::xml_writer {
  std::string& out;
  explicit StringWriter(std::string& target) : out(target) {}
  void write(const void* data, std::size_t size) override {
    out.append(static_cast<const char*>(data), size);
  }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// QPX_Framework_XML_Node

const Place& QPX_Framework_XML_Node::Resolved() const {
  while (place_.doc && !place_.doc->moved.empty()) {
    auto found = place_.doc->moved.find(Key(place_));
    if (found == place_.doc->moved.end()) break;
    Place next = found->second;  // copied first: the assignment may end the old document
    place_ = std::move(next);
  }
  return place_;
}

bool QPX_Framework_XML_Node::IsNull() const { return Resolved().doc == nullptr; }

QPX_Framework_XML_Node QPX_Framework_XML_Node::Text(std::string_view text) {
  auto doc = NewDocument();
  pugi::xml_node node = doc->pugi.append_child(pugi::node_pcdata);
  node.set_value(std::string(text).c_str());
  return Access::Node(Place{std::move(doc), node, {}});
}

QPX_Framework_XML_Node QPX_Framework_XML_Node::CData(std::string_view text) {
  auto doc = NewDocument();
  pugi::xml_node node = doc->pugi.append_child(pugi::node_cdata);
  node.set_value(std::string(text).c_str());
  return Access::Node(Place{std::move(doc), node, {}});
}

QPX_Framework_XML_Node QPX_Framework_XML_Node::Comment(std::string_view text) {
  auto doc = NewDocument();
  pugi::xml_node node = doc->pugi.append_child(pugi::node_comment);
  node.set_value(std::string(text).c_str());
  return Access::Node(Place{std::move(doc), node, {}});
}

QPX_Framework_XML_Node QPX_Framework_XML_Node::DocType(std::string_view value) {
  auto doc = NewDocument();
  pugi::xml_node node = doc->pugi.append_child(pugi::node_doctype);
  node.set_value(std::string(value).c_str());
  return Access::Node(Place{std::move(doc), node, {}});
}

QPX_Framework_XML_Node QPX_Framework_XML_Node::Attribute(std::string_view name, std::string_view value) {
  QPX_Assert_Detail(!name.empty(), Value("attribute without name"));
  auto doc = NewDocument();
  doc->holder = doc->pugi.append_child("holder");
  pugi::xml_attribute attribute = doc->holder.append_attribute(std::string(name).c_str());
  attribute.set_value(std::string(value).c_str());
  pugi::xml_node holder = doc->holder;
  return Access::Node(Place{std::move(doc), holder, attribute});
}

QPX_Framework_XML_Node::Kind QPX_Framework_XML_Node::GetKind() const {
  const Place& place = Resolved();
  if (!place.doc) return Kind::Null;
  if (place.attribute) return Kind::Attribute;
  switch (place.node.type()) {
    case pugi::node_element:
      return Kind::Element;
    case pugi::node_pcdata:
      return Kind::Text;
    case pugi::node_cdata:
      return Kind::CData;
    case pugi::node_comment:
      return Kind::Comment;
    case pugi::node_pi:
      return Kind::ProcessingInstruction;
    case pugi::node_doctype:
      return Kind::DocType;
    default:
      return Kind::Null;
  }
}

std::string QPX_Framework_XML_Node::Name() const {
  const Place& place = Resolved();
  if (!place.doc) return {};
  if (place.attribute) return place.attribute.name();
  return place.node.name();  // empty for kinds without a name
}

std::string QPX_Framework_XML_Node::StringValue() const {
  const Place& place = Resolved();
  if (!place.doc) return {};
  if (place.attribute) return place.attribute.value();
  if (place.node.type() != pugi::node_element) return place.node.value();
  return TextContent(place.node);
}

void QPX_Framework_XML_Node::SetStringValue(std::string_view value) {
  Place place = Resolved();
  if (!place.doc) return;
  std::string text(value);
  if (place.attribute) {
    place.attribute.set_value(text.c_str());
    return;
  }
  if (place.node.type() != pugi::node_element) {
    place.node.set_value(text.c_str());
    return;
  }
  // Children are detached rather than removed, so handles onto them stay valid.
  while (pugi::xml_node child = place.node.first_child()) place.doc->pugi.append_move(child);
  if (!text.empty()) place.node.append_child(pugi::node_pcdata).set_value(text.c_str());
}

QPX_Framework_XML_Element QPX_Framework_XML_Node::Parent() const {
  const Place& place = Resolved();
  if (!place.doc || IsParentless(place)) return {};
  if (place.attribute) return Access::Element(Place{place.doc, place.node, {}});
  return Access::Element(Place{place.doc, place.node.parent(), {}});
}

void QPX_Framework_XML_Node::Detach() {
  const Place& place = Resolved();
  if (!place.doc) return;
  QPX_Assert_Detail(!place.attribute, Value("an attribute cannot be detached"));
  DetachNode(place);
}

QPX_Framework_XML_Element QPX_Framework_XML_Node::AsElement() const {
  const Place& place = Resolved();
  if (!place.doc || place.attribute || place.node.type() != pugi::node_element) return {};
  return Access::Element(place);
}

void QPX_Framework_XML_Node::QPX_Framework_XML_Attribute_SetValue(std::string_view value) {
  Place place = Resolved();
  if (!place.doc) return;
  QPX_Assert_Detail(place.attribute, Value("not an attribute"));
  place.attribute.set_value(std::string(value).c_str());
}

void QPX_Framework_XML_Node::QPX_Framework_XML_Attribute_SetName(std::string_view name) {
  Place place = Resolved();
  if (!place.doc) return;
  QPX_Assert_Detail(place.attribute, Value("not an attribute"));
  std::string newName(name);
  QPX_Assert_Detail(!newName.empty(), Value("attribute without name"));
  pugi::xml_attribute same = place.node.attribute(newName.c_str());
  QPX_Assert_Detail(!same || same == place.attribute,
                    Value("the element already has an attribute \"" + newName + "\""));
  place.attribute.set_name(newName.c_str());
}

bool operator==(const QPX_Framework_XML_Node& a, const QPX_Framework_XML_Node& b) {
  const Place& pa = a.Resolved();
  const Place& pb = b.Resolved();
  return pa.doc == pb.doc && pa.node == pb.node && pa.attribute == pb.attribute;
}

// ---------------------------------------------------------------------------------------------
// QPX_Framework_XML_Element

QPX_Framework_XML_Element QPX_Framework_XML_Element::Create(std::string_view name) {
  QPX_Assert_Detail(!name.empty(), Value("element without name"));
  auto doc = NewDocument();
  pugi::xml_node node = doc->pugi.append_child(std::string(name).c_str());
  return Access::Element(Place{std::move(doc), node, {}});
}

void QPX_Framework_XML_Element::QPX_Framework_XML_Element_AddChild(const QPX_Framework_XML_Node& node) {
  const Place& place = Resolved();
  if (!place.doc) return;
  Place self = place;  // Insert may resolve other handles; keep our own place steady
  Insert(self, node, pugi::xml_node());
}

void QPX_Framework_XML_Element::QPX_Framework_XML_Element_AddAttribute(
    const QPX_Framework_XML_Node& attribute) {
  const Place& place = Resolved();
  if (!place.doc) return;
  Place self = place;
  const Place& other = Access::Of(attribute);
  QPX_Assert_Detail(other.doc != nullptr && other.attribute, Value("not an attribute"));
  QPX_Assert_Detail(IsParentless(other), Value("the attribute still has a parent"));
  pugi::xml_attribute target = self.node.attribute(other.attribute.name());
  if (!target) target = self.node.append_attribute(other.attribute.name());
  target.set_value(other.attribute.value());
  std::shared_ptr<Document> from = other.doc;
  from->moved[other.attribute.internal_object()] = Place{self.doc, self.node, target};
}

QPX_Framework_XML_Node QPX_Framework_XML_Element::QPX_Framework_XML_Element_AddAttribute(
    std::string_view name, std::string_view value) {
  Place place = Resolved();
  if (!place.doc) return {};
  std::string attributeName(name);
  QPX_Assert_Detail(!attributeName.empty(), Value("attribute without name"));
  pugi::xml_attribute target = place.node.attribute(attributeName.c_str());
  if (!target) target = place.node.append_attribute(attributeName.c_str());
  target.set_value(std::string(value).c_str());
  return Access::Node(Place{place.doc, place.node, target});
}

QPX_Framework_XML_Element QPX_Framework_XML_Element::QPX_Framework_XML_Element_GetChild(
    std::string_view name) const {
  const Place& place = Resolved();
  if (!place.doc) return {};
  pugi::xml_node child = OnlyChild(place.node, name);
  if (!child) return {};
  return Access::Element(Place{place.doc, child, {}});
}

std::vector<QPX_Framework_XML_Element> QPX_Framework_XML_Element::QPX_Framework_XML_Element_GetChildren(
    std::optional<std::string_view> name) const {
  std::vector<QPX_Framework_XML_Element> result;
  const Place& place = Resolved();
  if (!place.doc) return result;
  for (pugi::xml_node child : place.node.children()) {
    if (child.type() != pugi::node_element) continue;
    if (name && *name != child.name()) continue;
    result.push_back(Access::Element(Place{place.doc, child, {}}));
  }
  return result;
}

std::optional<std::string> QPX_Framework_XML_Element::QPX_Framework_XML_Element_GetStringChild(
    std::string_view name) const {
  const Place& place = Resolved();
  if (!place.doc) return std::nullopt;
  pugi::xml_node child = OnlyChild(place.node, name);
  if (!child) return std::nullopt;
  return TextContent(child);
}

QPX_Framework_XML_Node QPX_Framework_XML_Element::QPX_Framework_XML_Element_GetAttribute(
    std::string_view name) const {
  const Place& place = Resolved();
  if (!place.doc) return {};
  pugi::xml_attribute attribute = place.node.attribute(std::string(name).c_str());
  if (!attribute) return {};
  return Access::Node(Place{place.doc, place.node, attribute});
}

std::optional<std::string> QPX_Framework_XML_Element::QPX_Framework_XML_Element_GetAttributeValue(
    std::string_view name) const {
  const Place& place = Resolved();
  if (!place.doc) return std::nullopt;
  pugi::xml_attribute attribute = place.node.attribute(std::string(name).c_str());
  if (!attribute) return std::nullopt;
  return std::string(attribute.value());
}

void QPX_Framework_XML_Element::QPX_Framework_XML_Element_SetName(std::string_view name) {
  Place place = Resolved();
  if (!place.doc) return;
  QPX_Assert_Detail(!name.empty(), Value("element without name"));
  place.node.set_name(std::string(name).c_str());
}

std::vector<QPX_Framework_XML_Node> QPX_Framework_XML_Element::QPX_Framework_XML_Element_Children() const {
  std::vector<QPX_Framework_XML_Node> result;
  const Place& place = Resolved();
  if (!place.doc) return result;
  for (pugi::xml_node child : place.node.children())
    result.push_back(Access::Node(Place{place.doc, child, {}}));
  return result;
}

void QPX_Framework_XML_Element::ReplaceChild(std::size_t index, const QPX_Framework_XML_Node& node) {
  const Place& place = Resolved();
  if (!place.doc) return;
  Place self = place;
  pugi::xml_node old = self.node.first_child();
  for (std::size_t i = 0; i < index && old; ++i) old = old.next_sibling();
  QPX_Assert_Detail(old, Value("child index out of range"));
  Insert(self, node, old);
  DetachNode(Place{self.doc, old, {}});
}

// ---------------------------------------------------------------------------------------------
// Documents

QPX_Framework_XML_Element QPX_Framework_XML_Document_LoadFromString(std::string_view text) {
  if (!IsValidUTF8(text.data(), text.size())) {
    LogFailure("", "Input is not proper UTF-8");
    return {};
  }
  return Parse("", text.data(), text.size(), pugi::encoding_utf8);
}

QPX_Framework_XML_Element QPX_Framework_XML_Document_LoadFromFile(const std::string& path) {
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    LogFailure(path, std::strerror(errno));
    return {};
  }
  std::string bytes;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size > 0) {
    bytes.resize(static_cast<std::size_t>(size));
    in.read(bytes.data(), size);
  }
  if (!in || in.gcount() != size) {
    LogFailure(path, "Read error");
    return {};
  }
  // UTF-16 and UTF-32 show a byte-order mark or zero bytes among the first four; pugixml
  // recognises and converts them.
  bool wide = (bytes.size() >= 2 &&
               ((bytes[0] == '\xFE' && bytes[1] == '\xFF') || (bytes[0] == '\xFF' && bytes[1] == '\xFE'))) ||
              std::memchr(bytes.data(), 0, std::min<std::size_t>(bytes.size(), 4)) != nullptr;
  if (wide) return Parse(path, bytes.data(), bytes.size(), pugi::encoding_auto);
  std::size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  std::string encoding = skip ? std::string() : DeclaredEncoding(bytes);
  if (encoding == "iso-8859-1" || encoding == "latin1" || encoding == "latin-1")
    return Parse(path, bytes.data(), bytes.size(), pugi::encoding_latin1);
  if (!encoding.empty() && encoding != "utf-8" && encoding != "utf8" && encoding != "us-ascii" &&
      encoding != "ascii") {
    std::optional<std::string> converted = ConvertToUTF8(bytes, encoding);
    if (!converted) {
      LogFailure(path, "Cannot read the document's encoding \"" + encoding + "\"");
      return {};
    }
    bytes = std::move(*converted);
  }
  if (!IsValidUTF8(bytes.data() + skip, bytes.size() - skip)) {
    LogFailure(path, "Input is not proper UTF-8");
    return {};
  }
  return Parse(path, bytes.data() + skip, bytes.size() - skip, pugi::encoding_utf8);
}

std::string QPX_Framework_XML_Serialize(const QPX_Framework_XML_Element& root,
                                        const QPX_Framework_XML_Node& before) {
  const Place& rootPlace = Access::Of(root);
  QPX_Assert_Detail(rootPlace.doc != nullptr, Value("serializing a null element"));
  QPX_Assert_Detail(!rootPlace.attribute && rootPlace.node.type() == pugi::node_element,
                    Value("not an element"));
  QPX_Assert_Detail(IsParentless(rootPlace), Value("the root element still has a parent"));
  const Place& beforePlace = Access::Of(before);
  if (beforePlace.doc) {
    QPX_Assert_Detail(!beforePlace.attribute, Value("an attribute cannot stand before the root"));
    QPX_Assert_Detail(IsParentless(beforePlace), Value("the node before the root still has a parent"));
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  StringWriter writer(out);
  if (beforePlace.doc) {
    beforePlace.node.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
    out += '\n';
  }
  rootPlace.node.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
  out += '\n';
  return out;
}
