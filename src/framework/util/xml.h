#pragma once
// The element tree every XML file of the system goes through: devices and phones tables,
// network profiles, storage snapshots, GUI include files, operator data files, replies of
// routers and servers. Loading hands back only the root element; readers walk it with a
// fixed set of element and attribute operations and never deal with documents, node kinds
// or parse errors. The tree lives in a pugixml document.
//
// Handles. QPX_Framework_XML_Node and QPX_Framework_XML_Element are small value handles
// onto one node. Every handle shares ownership of the document that holds its node, so a
// node never outlives its document: keep any handle and the whole tree stays valid, drop
// the last one and the document goes. Copies of a handle refer to the same node. A default
// handle is null ("nil"): every operation on it does nothing and answers null or empty, so
// chains like root.GetChild("a").GetAttributeValue("b") are safe.
//
// Nodes are never destroyed while their document lives: a node taken out of the tree
// (Detach, replaced, or a child dropped by SetStringValue) is only parentless, and its
// handles stay usable. A parentless node joins another tree with AddChild; when that tree
// is another document the node's subtree is copied there and every handle onto the old
// subtree follows to the copy the next time it is used.
//
// Handles of one document are not synchronised: use a tree from one thread at a time.
//
// Values from outside never end in an assertion: a document that is not well-formed or not
// UTF-8 is a logged parse failure and a null root; two children where one is expected are
// logged and the first is used. Assertions remain for misuse by the program: adding a node
// that still has a parent, an attribute operation on a node that is not an attribute,
// serializing an element that is still inside a tree.

#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

class QPX_Framework_XML_Element;
namespace qpx_xml {
struct Document;
struct Access;
}  // namespace qpx_xml

class QPX_Framework_XML_Node {
 public:
  enum class Kind { Null, Element, Attribute, Text, CData, Comment, ProcessingInstruction, DocType };

  QPX_Framework_XML_Node() = default;  // null

  // New parentless nodes, each in a document of its own until it joins a tree.
  static QPX_Framework_XML_Node Text(std::string_view text);
  static QPX_Framework_XML_Node CData(std::string_view text);
  static QPX_Framework_XML_Node Comment(std::string_view text);
  static QPX_Framework_XML_Node Attribute(std::string_view name, std::string_view value);
  // `<!DOCTYPE value>`, e.g. for QPX_Framework_XML_Serialize's node before the root.
  static QPX_Framework_XML_Node DocType(std::string_view value);

  bool IsNull() const;
  explicit operator bool() const { return !IsNull(); }
  Kind GetKind() const;
  bool IsElement() const { return GetKind() == Kind::Element; }
  bool IsAttribute() const { return GetKind() == Kind::Attribute; }

  // The name of an element, attribute or processing instruction; empty for other kinds.
  std::string Name() const;
  // An element's text content: the text and CDATA of all its descendants, in order. For an
  // attribute its value; for text, CDATA and comments their text.
  std::string StringValue() const;
  // Sets the value or text; on an element its children are detached and one text node with
  // the given text becomes its only child.
  void SetStringValue(std::string_view value);

  // The parent element; null for a parentless node.
  QPX_Framework_XML_Element Parent() const;
  // Makes the node parentless (it stays valid). An attribute cannot be detached (assertion).
  void Detach();
  // This node as an element handle; null when it is not an element.
  QPX_Framework_XML_Element AsElement() const;

  // --- Attribute operations ---
  // Changes an attribute's value; a node that is not an attribute is an assertion failure.
  void QPX_Framework_XML_Attribute_SetValue(std::string_view value);
  // Renames an attribute; a node that is not an attribute, or a name another attribute of the
  // same element already has, is an assertion failure.
  void QPX_Framework_XML_Attribute_SetName(std::string_view name);
  // The string value (for any node kind, as StringValue).
  std::string QPX_Framework_XML_Attribute_Value() const { return StringValue(); }

  // Same node (null handles are equal to each other).
  friend bool operator==(const QPX_Framework_XML_Node& a, const QPX_Framework_XML_Node& b);

  // Where the node is: its document, and the node itself or the element holding the
  // attribute.
  struct Place {
    std::shared_ptr<qpx_xml::Document> doc;
    pugi::xml_node node;
    pugi::xml_attribute attribute;
  };

 protected:
  friend struct qpx_xml::Access;
  explicit QPX_Framework_XML_Node(Place place) : place_(std::move(place)) {}
  // The place after following the node into the document its subtree was copied to, if it
  // was; updates place_ on the way.
  const Place& Resolved() const;

  mutable Place place_;
};

class QPX_Framework_XML_Element : public QPX_Framework_XML_Node {
 public:
  QPX_Framework_XML_Element() = default;  // null

  // A new parentless element in a document of its own.
  static QPX_Framework_XML_Element Create(std::string_view name);

  // Appends the node as the last child. The node must be parentless, not an attribute and
  // not this element or one of its ancestors (assertion otherwise).
  void QPX_Framework_XML_Element_AddChild(const QPX_Framework_XML_Node& node);
  // Adds a parentless attribute node; one of the same name already present takes its value.
  void QPX_Framework_XML_Element_AddAttribute(const QPX_Framework_XML_Node& attribute);
  // Sets the attribute (added, or changed when present) and returns its node.
  QPX_Framework_XML_Node QPX_Framework_XML_Element_AddAttribute(std::string_view name,
                                                                std::string_view value);

  // The one child element with that name; null when there is none. More than one is logged
  // and the first is returned.
  QPX_Framework_XML_Element QPX_Framework_XML_Element_GetChild(std::string_view name) const;
  // The child elements in document order, only those with the name when one is given; text
  // and other non-element children are skipped.
  std::vector<QPX_Framework_XML_Element> QPX_Framework_XML_Element_GetChildren(
      std::optional<std::string_view> name = std::nullopt) const;
  // The text content of the one child with that name (as GetChild); empty when none.
  std::optional<std::string> QPX_Framework_XML_Element_GetStringChild(std::string_view name) const;
  // The attribute node, or null.
  QPX_Framework_XML_Node QPX_Framework_XML_Element_GetAttribute(std::string_view name) const;
  // The attribute's value, or empty when there is no such attribute.
  std::optional<std::string> QPX_Framework_XML_Element_GetAttributeValue(std::string_view name) const;
  std::string QPX_Framework_XML_Element_Name() const { return Name(); }
  // The element itself: its string value is its text.
  QPX_Framework_XML_Element QPX_Framework_XML_Element_FirstText() const { return *this; }
  void QPX_Framework_XML_Element_SetName(std::string_view name);
  // All child nodes of any kind (text, whitespace, comments, CDATA, elements), in order.
  std::vector<QPX_Framework_XML_Node> QPX_Framework_XML_Element_Children() const;

  // Replaces the child at the index (counting children of every kind) with a parentless
  // node, as AddChild would add it; the old child becomes parentless. An index past the
  // children is an assertion failure.
  void ReplaceChild(std::size_t index, const QPX_Framework_XML_Node& node);

 private:
  friend struct qpx_xml::Access;
  explicit QPX_Framework_XML_Element(Place place) : QPX_Framework_XML_Node(std::move(place)) {}
};

// The root element of the XML document in the file, whitespace kept; null when the file
// cannot be read or parsed (logged as "path: error"). The declared encoding is honoured
// (UTF-8, UTF-16, UTF-32, ISO-8859-1, and what iconv knows); an empty path gives null
// without a log.
QPX_Framework_XML_Element QPX_Framework_XML_Document_LoadFromFile(const std::string& path);
// The same for a text that is already UTF-8 (an encoding it declares is ignored); a parse
// failure is logged with an empty path (": error").
QPX_Framework_XML_Element QPX_Framework_XML_Document_LoadFromString(std::string_view text);

// The UTF-8 bytes of a new document around the root element: the declaration
// <?xml version="1.0" encoding="UTF-8"?>, then the node when one is given, then the root.
// Both must be parentless (assertion otherwise); the trees are not changed.
std::string QPX_Framework_XML_Serialize(const QPX_Framework_XML_Element& root,
                                        const QPX_Framework_XML_Node& before = QPX_Framework_XML_Node());
