#include "framework/util/devices_xml.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <ctime>

#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "platform/thread_context.h"

const char* const QPX_Framework_ModemQuirks_Key = "Modem Quirks";

std::string QPX_Framework_XML_ElementObject::Description() const {
  return "<XML element " + element_.Name() + ">";
}

Value QPX_Framework_XML_ElementValue(const QPX_Framework_XML_Element& element) {
  if (!element) return Value();
  return Value::Object(std::make_shared<QPX_Framework_XML_ElementObject>(element));
}

QPX_Framework_XML_Element QPX_Framework_XML_ElementFromValue(const Value& value) {
  const auto object = value.objectAs<QPX_Framework_XML_ElementObject>();
  return object ? object->element() : QPX_Framework_XML_Element();
}

namespace {

// "<resources>/<first>/<second>/Devices.xml"; a file that is not there is no news.
void ReadOne(const std::string& resources, const std::string& first, const std::string& second,
             std::vector<QPX_Framework_XML_Element>& documents) {
  const std::string path = resources + "/" + first + "/" + second + "/Devices.xml";
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;
  QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromFile(path);
  if (root) documents.push_back(std::move(root));
}

}  // namespace

std::vector<QPX_Framework_XML_Element> QPX_Framework_ReadDevicesXML(const std::string& resourcesFolder) {
  std::vector<QPX_Framework_XML_Element> documents;
  ReadOne(resourcesFolder, ".", ".", documents);
  const std::string drivers = resourcesFolder + "/Drivers";
  DIR* folder = ::opendir(drivers.c_str());
  if (folder == nullptr) return documents;
  std::vector<std::string> entries;
  while (dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") entries.push_back(name);
  }
  ::closedir(folder);
  for (const std::string& name : entries) ReadOne(resourcesFolder, "Drivers", name, documents);
  return documents;
}

std::vector<QPX_Framework_XML_Element> QPX_Framework_ReadDevicesXML() {
  return QPX_Framework_ReadDevicesXML(QPX_Framework_Application_Resources());
}

QPX_Framework_XML_Element QPX_Framework_CheckQuirk_Device(const std::shared_ptr<QPX_Framework_Storage>& modem,
                                                          std::string_view quirk) {
  std::shared_ptr<QPX_Framework_Storage> node = modem;
  if (!node)
    node = platform::CurrentThreadContext()
               .dictionary.get("QPX Current Modem")
               .objectAs<QPX_Framework_Storage>();
  if (!node) return QPX_Framework_XML_Element();
  const Value quirks = node->objectForKey(QPX_Framework_ModemQuirks_Key);
  if (quirks.isNull()) return QPX_Framework_XML_Element();
  QPX_Assert_Detail(quirks.isDictionary(),
                    Value("\"Modem Quirks\" is not a dictionary: " + quirks.Description()));
  const Value entry = quirks.get(quirk);
  if (entry.isNull()) return QPX_Framework_XML_Element();
  QPX_Framework_XML_Element element = QPX_Framework_XML_ElementFromValue(entry);
  QPX_Assert_Detail(
      element, Value("quirk \"" + std::string(quirk) + "\" is not an XML element: " + entry.Description()));

  const std::vector<QPX_Framework_XML_Element> devices =
      element.QPX_Framework_XML_Element_GetChildren("Device");
  if (devices.empty()) return element;
  for (const QPX_Framework_XML_Element& device : devices) {
    const std::optional<std::string> key = device.QPX_Framework_XML_Element_GetAttributeValue("Key");
    const std::optional<std::string> wanted = device.QPX_Framework_XML_Element_GetAttributeValue("Value");
    if (!key || !wanted) continue;
    const Value actual = node->objectForKey(*key);
    if (actual.isString() && actual.string() == *wanted) return element;
  }
  return QPX_Framework_XML_Element();
}

std::uint32_t QPX_Framework_XMLDelay_Microseconds(const QPX_Framework_XML_Element& element,
                                                  std::string_view attribute) {
  const std::optional<std::string> text = element.QPX_Framework_XML_Element_GetAttributeValue(attribute);
  if (!text) return 0;
  // Leading blanks and a plus sign are allowed; whatever follows the number is ignored. The
  // decimal point is ".", whatever the locale.
  std::string_view number = *text;
  while (!number.empty() && (number.front() == ' ' || number.front() == '\t')) number.remove_prefix(1);
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  double seconds = 0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), seconds);
  if (result.ec == std::errc::result_out_of_range)
    seconds = number.front() == '-' ? -1.0 : 1e12;
  else if (result.ec != std::errc() || std::isnan(seconds))
    return 0;
  const double microseconds = seconds * 1000000.0;
  if (microseconds <= 0) return 0;
  if (microseconds >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(microseconds);
}

void _QPX_Framework_XMLDelay(const QPX_Framework_XML_Element& element, std::string_view attribute) {
  const std::uint32_t microseconds = QPX_Framework_XMLDelay_Microseconds(element, attribute);
  if (microseconds == 0) return;
  timespec remaining{static_cast<time_t>(microseconds / 1000000u),
                     static_cast<long>(microseconds % 1000000u) * 1000L};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
