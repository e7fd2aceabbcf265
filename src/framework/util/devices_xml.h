#pragma once
// The devices XML files that describe the USB modems the system knows (how to switch them,
// their ports, their peculiarities): "Devices.xml" in the bundle's resources folder and one
// in each driver folder under "Resources/Drivers". This reads the files; what their elements
// mean belongs to the device descriptions. Also here: the test whether a quirk applies to a
// modem, and the pause a description element asks for in a delay attribute.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/util/xml.h"
#include "platform/value.h"

class QPX_Framework_Storage;

// "Modem Quirks": on a modem node, a dictionary from quirk name ("CREG2_broken",
// "BrokenConnectionCancel", ...) to the XML element that declared the quirk for that modem
// (a value made by QPX_Framework_XML_ElementValue).
extern const char* const QPX_Framework_ModemQuirks_Key;

// An XML element carried in a Value (records hold the elements of device descriptions).
// Elements of one document are read, never changed, once they are shared this way.
class QPX_Framework_XML_ElementObject final : public platform::ValueObject {
 public:
  explicit QPX_Framework_XML_ElementObject(QPX_Framework_XML_Element element)
      : element_(std::move(element)) {}
  const QPX_Framework_XML_Element& element() const { return element_; }
  std::string Description() const override;

 private:
  QPX_Framework_XML_Element element_;
};
// The element as a Value (null for a null element), and back (null for anything else).
Value QPX_Framework_XML_ElementValue(const QPX_Framework_XML_Element& element);
QPX_Framework_XML_Element QPX_Framework_XML_ElementFromValue(const Value& value);

// The root elements of every devices XML file that exists and parses: the resources
// folder's own file, then one per entry of "<resources>/Drivers" (entries are not checked for
// being folders; one without the file adds nothing and says nothing). The list has no
// meaningful order.
std::vector<QPX_Framework_XML_Element> QPX_Framework_ReadDevicesXML();
// The same below the given resources folder.
std::vector<QPX_Framework_XML_Element> QPX_Framework_ReadDevicesXML(const std::string& resourcesFolder);

// The element of the quirk when it applies to the modem (null node: the current modem of
// the calling thread), else null. A quirk element without "Device" children applies to every
// modem that has it; otherwise one of its <Device Key="element" Value="text"/> children must
// name a string element of the modem node with exactly that text. Children missing either
// attribute never match. "Modem Quirks" that is not a dictionary, or a quirk entry that is no
// XML element, is a programming error.
QPX_Framework_XML_Element QPX_Framework_CheckQuirk_Device(const std::shared_ptr<QPX_Framework_Storage>& modem,
                                                          std::string_view quirk);

// The pause the element's delay attribute asks for, in whole microseconds: the attribute's
// decimal seconds (fractions allowed) times 1,000,000, clamped to 0 .. 4,294,967,295. An
// absent attribute, or text that is no number, is 0.
std::uint32_t QPX_Framework_XMLDelay_Microseconds(const QPX_Framework_XML_Element& element,
                                                  std::string_view attribute);
// Sleeps for that pause; an absent attribute or zero does nothing. Blocks the calling thread.
void _QPX_Framework_XMLDelay(const QPX_Framework_XML_Element& element, std::string_view attribute);
