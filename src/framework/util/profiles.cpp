#include "framework/util/profiles.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "framework/util/misc.h"
#include "platform/thread_context.h"

const char* const QPX_Framework_Proflle_Source_Key = "Source";
const char* const QPX_Framework_Proflle_IMSI_Key = "IMSI";
const char* const QPX_Framework_Proflle_VOQID_Key = "VOQ ID";
const char* const QPX_Framework_Proflle_Name_Key = "Name";
const char* const QPX_Framework_Proflle_ServiceCenter_Key = "SMS-SC";
const char* const QPX_Framework_Profile_GPRS_Key = "GPRS";
const char* const QPX_Framework_Profile_GPRS_APN_Key = "APN";
const char* const QPX_Framework_Profile_GPRS_User_Key = "User";
const char* const QPX_Framework_Profile_GPRS_Password_Key = "Password";
const char* const QPX_Framework_Profile_GPRS_ProxyFile_Key = "Proxy File";
const char* const QPX_Framework_Profile_GPRS_HTTPProxy_Key = "HTTP Proxy";
const char* const QPX_Framework_Profile_GPRS_DNS_Key = "DNS";
const char* const QPX_Framework_Profile_GPRS_AskCredentials_Key = "Ask Credentials";
const char* const QPX_Framework_Profile_GPRS_Authentication_Key = "Authentication";
const char* const QPX_Framework_Profile_PhoneNumber_Key = "Phone Number";

const char* const QPX_Framework_VOQPhone_CGMM_Key = "CGMM";
const char* const QPX_Framework_VOQPhone_CGMI_Key = "CGMI";
const char* const QPX_Framework_VOQPhone_VOQID_Key = "VOQ ID";
const char* const QPX_Framework_VOQPhone_LTE_Key = "LTE";

const char* const QPX_Framework_Networks_Network_GenerationCombined_Key = "Combined";

namespace {

// Prefixes shorter than this are never looked up: they would name a country, not a network.
constexpr std::size_t kShortestLookupPrefix = 5;
constexpr std::size_t kShortestFilePrefix = 4;

// Names that denote the same manufacturer in AT+CGMI answers.
const std::vector<std::set<std::string>>& ManufacturerGroups() {
  static const std::vector<std::set<std::string>> groups = {
      {"huawei", "HUAWEI TECHNOLOGIES CO., LTD."},
  };
  return groups;
}

std::mutex& FolderMutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<std::string>& FolderOverride() {
  static std::optional<std::string> folder;
  return folder;
}
std::string ResourcesFolder() {
  {
    std::lock_guard<std::mutex> lock(FolderMutex());
    if (FolderOverride()) return *FolderOverride();
  }
  return QPX_Framework_Application_Resources();
}

struct ProfileTables {
  std::mutex mutex;
  bool loaded = false;
  Value product = Value::EmptyDictionary();
  Value project = Value::EmptyDictionary();
  std::map<std::string, Value, std::less<>> cache;  // full IMSI -> the entry found
};
ProfileTables& Profiles() {
  static ProfileTables tables;
  return tables;
}

struct PhoneTable {
  std::mutex mutex;
  bool loaded = false;
  std::map<std::string, Value, std::less<>> models;  // "<model>|<manufacturer>" -> record
};
PhoneTable& Phones() {
  static PhoneTable table;
  return table;
}

// The child's text, or none when the child is missing or empty.
std::optional<std::string> TextOf(const QPX_Framework_XML_Element& element, std::string_view name) {
  std::optional<std::string> text = element.QPX_Framework_XML_Element_GetStringChild(name);
  if (!text || text->empty()) return std::nullopt;
  return text;
}

// A whole decimal number, or none.
std::optional<long long> DecimalOf(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text->c_str(), &end, 10);
  if (errno != 0 || end == text->c_str() || *end != '\0') return std::nullopt;
  return value;
}

Value BuildGPRS(const QPX_Framework_XML_Element& gprs) {
  Value dictionary;
  struct Field {
    const char* element;
    const char* key;
  } static const fields[] = {
      {"APN", QPX_Framework_Profile_GPRS_APN_Key},
      {"User", QPX_Framework_Profile_GPRS_User_Key},
      {"Password", QPX_Framework_Profile_GPRS_Password_Key},
      {"Proxy-File", QPX_Framework_Profile_GPRS_ProxyFile_Key},
      {"HTTP-Proxy", QPX_Framework_Profile_GPRS_HTTPProxy_Key},
  };
  for (const Field& field : fields)
    if (std::optional<std::string> text = TextOf(gprs, field.element))
      dictionary.set(field.key, Value(*text));
  if (QPX_Framework_XML_Element dns = gprs.QPX_Framework_XML_Element_GetChild("DNS")) {
    Value servers = Value::EmptyArray();
    for (const QPX_Framework_XML_Element& server : dns.QPX_Framework_XML_Element_GetChildren("Server")) {
      const std::string address = server.StringValue();
      if (!address.empty()) servers.append(Value(address));
    }
    if (!servers.empty()) dictionary.set(QPX_Framework_Profile_GPRS_DNS_Key, servers);
  }
  if (gprs.QPX_Framework_XML_Element_GetChild("AskCredentials"))
    dictionary.set(QPX_Framework_Profile_GPRS_AskCredentials_Key, QPX_Framework_ConstantYES);
  return dictionary;  // null when nothing was given
}

Value BuildProfile(const QPX_Framework_XML_Element& network, int source) {
  const std::optional<std::string> imsi = network.QPX_Framework_XML_Element_GetAttributeValue("IMSI");
  QPX_Assert_Detail(imsi && imsi->size() >= kShortestFilePrefix,
                    Value("network profile with IMSI prefix \"" + imsi.value_or("") + "\""));
  Value record = Value::EmptyDictionary();
  record.set(QPX_Framework_Proflle_Source_Key, Value(source));
  record.set(QPX_Framework_Proflle_IMSI_Key, Value(*imsi));
  const std::optional<std::string> voq = network.QPX_Framework_XML_Element_GetAttributeValue("VOQ");
  if (std::optional<long long> number = DecimalOf(voq))
    record.set(QPX_Framework_Proflle_VOQID_Key, Value(*number));
  else if (voq && !voq->empty())
    QPX_Log(QPX_LOG_ERROR, "Network %s: \"VOQ\" is not a number: \"%s\"", imsi->c_str(), voq->c_str());
  if (std::optional<std::string> name = TextOf(network, "Name"))
    record.set(QPX_Framework_Proflle_Name_Key, Value(*name));
  if (std::optional<std::string> center = TextOf(network, "SMS-SC"))
    record.set(QPX_Framework_Proflle_ServiceCenter_Key, Value(*center));
  if (QPX_Framework_XML_Element gprs = network.QPX_Framework_XML_Element_GetChild("GPRS")) {
    Value dictionary = BuildGPRS(gprs);
    if (!dictionary.isNull()) record.set(QPX_Framework_Profile_GPRS_Key, dictionary);
  }
  return record;
}

// Several networks under one prefix are kept in ascending "VOQ ID" order; those without one
// go last, in file order.
void StoreProfile(Value& table, const Value& record) {
  const std::string prefix = record.get(QPX_Framework_Proflle_IMSI_Key).string();
  Value entry = table.get(prefix);
  if (entry.isNull()) {
    table.set(prefix, record);
    return;
  }
  if (!entry.isArray()) entry = Value(Value::Array{entry});
  const Value id = record.get(QPX_Framework_Proflle_VOQID_Key);
  std::size_t at = entry.size();
  if (!id.isNull()) {
    for (std::size_t i = 0; i < entry.size(); ++i) {
      const Value other = entry.at(i).get(QPX_Framework_Proflle_VOQID_Key);
      if (!other.isNull() && Value::Compare(other, id) == std::partial_ordering::greater) {
        at = i;
        break;
      }
    }
  }
  entry.insertAt(at, record);
  table.set(prefix, entry);
}

void LoadProfilesLocked(ProfileTables& tables) {
  if (tables.loaded) return;
  const std::string folder = ResourcesFolder();
  tables.product =
      _QPX_Framework_LoadProfileFile(folder + "/Networks-VOQ.xml", QPX_Framework_Profile_Source_Product);
  tables.project =
      _QPX_Framework_LoadProfileFile(folder + "/Networks-Project.xml", QPX_Framework_Profile_Source_Operator);
  tables.loaded = true;
}

std::string PhoneKey(const std::optional<std::string>& model,
                     const std::optional<std::string>& manufacturer) {
  return "<" + model.value_or("<none>") + ">|<" + manufacturer.value_or("<none>") + ">";
}

void LoadPhonesLocked(PhoneTable& table) {
  if (table.loaded) return;
  table.loaded = true;
  const std::string path = ResourcesFolder() + "/VOQPhones.xml";
  QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromFile(path);
  if (!root || root.Name() != "PHONES") {
    if (root) QPX_Log(QPX_LOG_ERROR, "%s: root element is not PHONES", path.c_str());
    return;
  }
  for (const QPX_Framework_XML_Element& device : root.QPX_Framework_XML_Element_GetChildren("DEVICE")) {
    const std::optional<std::string> model = TextOf(device, "CGMM");
    const std::optional<std::string> manufacturer = TextOf(device, "CGMI");
    Value record = Value::EmptyDictionary();
    if (model) record.set(QPX_Framework_VOQPhone_CGMM_Key, Value(*model));
    if (manufacturer) record.set(QPX_Framework_VOQPhone_CGMI_Key, Value(*manufacturer));
    const std::optional<std::string> voq = device.QPX_Framework_XML_Element_GetAttributeValue("VOQ");
    const std::optional<long long> number = DecimalOf(voq);
    if (!number)
      QPX_Log(QPX_LOG_ERROR, "%s: model %s without product number", path.c_str(),
              model.value_or("?").c_str());
    record.set(QPX_Framework_VOQPhone_VOQID_Key, Value(number.value_or(0)));
    if (device.QPX_Framework_XML_Element_GetAttributeValue("LTE") == std::optional<std::string>("yes"))
      record.set(QPX_Framework_VOQPhone_LTE_Key, QPX_Framework_ConstantYES);
    const std::string key = PhoneKey(model, manufacturer);
    if (table.models.count(key) != 0) QPX_Log(QPX_LOG_ERROR, "Duplicate phone entry for %s", key.c_str());
    table.models[key] = record;
  }
}

// Windows code page 1251 (Cyrillic), bytes 0x80 to 0xBF; 0x98 is unassigned. From 0xC0 on
// the letters run in order from U+0410.
constexpr char16_t kCP1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

void AppendUTF8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::optional<std::string> DecodeCP1251(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (char byte : bytes) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c >= 0xC0) {
      AppendUTF8(text, static_cast<char32_t>(0x0410 + (c - 0xC0)));
    } else {
      const char16_t mapped = kCP1251High[c - 0x80];
      if (mapped == 0) return std::nullopt;
      AppendUTF8(text, mapped);
    }
  }
  return text;
}

}  // namespace

Value _QPX_Framework_LoadProfileFile(const std::string& path, int source) {
  QPX_Assert_Detail(
      source == QPX_Framework_Profile_Source_Product || source == QPX_Framework_Profile_Source_Operator,
      Value("profile source " + std::to_string(source)));
  Value table = Value::EmptyDictionary();
  QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromFile(path);
  if (!root) return table;
  if (root.Name() != "Networks") {
    QPX_Log(QPX_LOG_ERROR, "%s: root element is not Networks", path.c_str());
    return table;
  }
  for (const QPX_Framework_XML_Element& network : root.QPX_Framework_XML_Element_GetChildren("Network"))
    StoreProfile(table, BuildProfile(network, source));
  return table;
}

void _QPX_Framework_Profiles_SetResourcesFolder(const std::optional<std::string>& folder) {
  ProfileTables& profiles = Profiles();
  PhoneTable& phones = Phones();
  std::scoped_lock lock(profiles.mutex, phones.mutex);
  {
    std::lock_guard<std::mutex> folderLock(FolderMutex());
    FolderOverride() = folder;
  }
  profiles.loaded = false;
  profiles.product = Value::EmptyDictionary();
  profiles.project = Value::EmptyDictionary();
  profiles.cache.clear();
  phones.loaded = false;
  phones.models.clear();
}

Value QPX_Framework_GetProfile(std::string_view imsi) {
  ProfileTables& tables = Profiles();
  std::lock_guard<std::mutex> lock(tables.mutex);
  LoadProfilesLocked(tables);
  if (auto cached = tables.cache.find(imsi); cached != tables.cache.end()) return cached->second;
  Value found;
  for (std::string_view prefix = imsi; prefix.size() >= kShortestLookupPrefix && found.isNull();
       prefix.remove_suffix(1)) {
    found = tables.project.get(prefix);
    if (found.isNull()) found = tables.product.get(prefix);
  }
  if (!found.isNull()) tables.cache.emplace(std::string(imsi), found);
  return found;
}

Value QPX_Framework_GetProjectProfiles() {
  ProfileTables& tables = Profiles();
  std::lock_guard<std::mutex> lock(tables.mutex);
  LoadProfilesLocked(tables);
  return tables.project;
}

Value QPX_Framework_GetVOQProfiles() {
  ProfileTables& tables = Profiles();
  std::lock_guard<std::mutex> lock(tables.mutex);
  LoadProfilesLocked(tables);
  return tables.product;
}

Value QPX_Framework_DefaultProfile(const std::optional<std::string>& imsi) {
  std::optional<std::string> wanted = imsi;
  if (!wanted) {
    const auto modem = platform::CurrentThreadContext()
                           .dictionary.get("QPX Current Modem")
                           .objectAs<QPX_Framework_Storage>();
    if (modem) {
      const Value cimi = modem->objectForKey("QPX CIMI");
      if (cimi.isString()) wanted = cimi.string();
    }
  }
  if (!wanted) return Value();
  const Value entry = QPX_Framework_GetProfile(*wanted);
  if (entry.isArray()) return entry.at(0);  // null for an empty array
  return entry;
}

Value QPX_Framework_GetVOQID(const std::optional<std::string>& imsi) {
  if (!imsi) return Value();
  return QPX_Framework_DefaultProfile(imsi).get(QPX_Framework_Proflle_VOQID_Key);
}

Value QPX_Framework_GetVOQName(const std::optional<std::string>& imsi) {
  if (!imsi) return Value();
  return QPX_Framework_DefaultProfile(imsi).get(QPX_Framework_Proflle_Name_Key);
}

Value QPX_Framework_GetVOQPhone(const std::optional<std::string>& model,
                                const std::optional<std::string>& manufacturer) {
  Value record;
  {
    PhoneTable& table = Phones();
    std::lock_guard<std::mutex> lock(table.mutex);
    LoadPhonesLocked(table);

    std::vector<std::optional<std::string>> candidates;
    if (manufacturer) {
      for (const std::set<std::string>& group : ManufacturerGroups()) {
        if (group.count(*manufacturer) != 0) {
          // The given spelling first, then the others of its group.
          candidates.emplace_back(*manufacturer);
          for (const std::string& name : group)
            if (name != *manufacturer) candidates.emplace_back(name);
          break;
        }
      }
      if (candidates.empty()) candidates.emplace_back(*manufacturer);
    } else {
      candidates.emplace_back(std::nullopt);
    }
    for (const std::optional<std::string>& candidate : candidates) {
      auto found = table.models.find(PhoneKey(model, candidate));
      if (found != table.models.end()) {
        record = found->second;
        break;
      }
    }
    if (record.isNull()) {
      record = Value::EmptyDictionary();
      if (model) record.set(QPX_Framework_VOQPhone_CGMM_Key, Value(*model));
      if (manufacturer) record.set(QPX_Framework_VOQPhone_CGMI_Key, Value(*manufacturer));
      record.set(QPX_Framework_VOQPhone_VOQID_Key, Value(QPX_Framework_VOQPhone_UnknownID));
      table.models[PhoneKey(model, manufacturer)] = record;
    }
  }
  QPX_Log(QPX_LOG_TRACE, "%s/%s -> %s", manufacturer.value_or("(none)").c_str(),
          model.value_or("(none)").c_str(), record.Description().c_str());
  return record;
}

QPX_Framework_XML_Element QPX_Framework_ParseVOQXML(std::string_view bytes) {
  std::optional<std::string> text;
  if (QPX_Framework_IsValidUTF8(bytes))
    text = std::string(bytes);
  else
    text = DecodeCP1251(bytes);
  if (!text) {
    QPX_Log(QPX_LOG_ERROR, "Service answer of %zu bytes is neither UTF-8 nor Windows-1251 text",
            bytes.size());
    return QPX_Framework_XML_Element();
  }
  QPX_Log(QPX_LOG_TRACE, "%s", text->c_str());
  return QPX_Framework_XML_Document_LoadFromString("<?xml version=\"1.0\" encoding=\"UTF-8\"?><VOQ>" + *text +
                                                   "</VOQ>");
}

Value QPX_Framework_Networks_CombineTechnology(const Value& networks) {
  QPX_Assert_Detail(networks.isArray(), Value("network list is not an array"));
  // The bit of a technology; a technology number out of range (a modem's odd answer) has none.
  auto bitOf = [](const Value& network) -> std::int64_t {
    const Value rat = network.get("RAT");
    QPX_Assert_Detail(rat.isNull() || rat.isNumber(), Value("\"RAT\" is not a number: " + rat.Description()));
    const std::int64_t value = rat.toInt64();
    if (value < 0 || value > 30) {
      QPX_Log(QPX_LOG_ERROR, "Network with radio technology %lld", static_cast<long long>(value));
      return 0;
    }
    return std::int64_t{1} << value;
  };
  auto textOf = [](const Value& network, const char* key) -> std::string {
    const Value text = network.get(key);
    QPX_Assert_Detail(text.isNull() || text.isString(),
                      Value(std::string("\"") + key + "\" is not a string"));
    return text.string();
  };

  Value combined = Value::EmptyArray();
  std::vector<std::string> order;  // group keys in the order first seen
  std::map<std::string, Value> groups;
  for (const Value& network : networks.array()) {
    QPX_Assert_Detail(network.isDictionary(), Value("network is not a dictionary: " + network.Description()));
    const std::int64_t bit = bitOf(network);
    if (!network.contains("IMSI")) {
      Value entry = network;
      entry.set("RAT", Value(bit));
      entry.set(QPX_Framework_Networks_Network_GenerationCombined_Key, Value(bit));
      combined.append(entry);
      continue;
    }
    const Value status = network.get("Status");
    QPX_Assert_Detail(status.isNull() || status.isNumber(), Value("\"Status\" is not a number"));
    const std::string key = textOf(network, "IMSI") + ":" + textOf(network, "Name") + ":" +
                            textOf(network, "Short Name") + ":" +
                            (status.isNull() ? "" : status.Description());
    auto found = groups.find(key);
    if (found == groups.end()) {
      Value entry = network;
      entry.remove("RAT");
      found = groups.emplace(key, entry).first;
      order.push_back(key);
    }
    found->second.set("RAT", Value(found->second.get("RAT").toInt64() | bit));
  }
  for (const std::string& key : order) {
    Value entry = groups[key];
    entry.set(QPX_Framework_Networks_Network_GenerationCombined_Key, entry.get("RAT"));
    combined.append(entry);
  }
  return combined;
}
