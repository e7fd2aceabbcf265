#include "framework/util/storage_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>

#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "framework/util/files.h"
#include "framework/util/misc.h"
#include "framework/util/save_info.h"

const char* const _QPX_Framework_Storage_Node_Name = "NODE";
const char* const _QPX_Framework_Storage_Element_Name = "ELEMENT";
const char* const _QPX_Framework_Storage_Name_Name = "Name";
const char* const StringAttribute = "String";
const char* const StringElement = "STRING";
const char* const StringElementData = "STRING-DATA";
const char* const _NumberAttribute = "Number";
const char* const _DateAttribute = "Date";
const char* const _PListElement = "PROPERTY-LIST";

namespace {

// Strings up to this many characters (UTF-16 units) without a line feed are attributes.
constexpr std::size_t kLongestAttributeString = 32;
constexpr auto kLockDeadline = std::chrono::seconds(1);
constexpr auto kLockRetry = std::chrono::milliseconds(250);

// "--" may not stand in an XML comment.
std::string CommentText(const std::string& text) {
  std::string safe;
  for (char c : text) {
    if (c == '-' && !safe.empty() && safe.back() == '-') safe += ' ';
    safe += c;
  }
  if (!safe.empty() && safe.back() == '-') safe += ' ';
  return safe;
}

QPX_Framework_XML_Node UnsupportedComment(const std::string& name) {
  return QPX_Framework_XML_Node::Comment(CommentText("Unsupported datatype for element \"" + name + "\""));
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

std::string NumberText(const Value& number) {
  switch (number.numberKind()) {
    case Value::NumberKind::Boolean:
      return number.toBool() ? "1" : "0";
    case Value::NumberKind::Integer:
      return std::to_string(number.toInt64());
    case Value::NumberKind::Unsigned:
      return std::to_string(number.toUInt64());
    case Value::NumberKind::Real:
      break;
  }
  // The shortest text that reads back as the same double, whatever the locale.
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, number.toDouble());
  return std::string(text, result.ptr);
}

// Writes the bytes to a new file beside the target and renames it over the target, so a
// reader (or the next start after a crash) finds the old file or the new one, never part of
// one.
bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to write %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = ::fchmod(fd, 0644) == 0;
  std::size_t written = 0;
  while (ok && written < bytes.size()) {
    const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      ok = false;
      break;
    }
    written += static_cast<std::size_t>(count);
  }
  if (ok) ok = ::fsync(fd) == 0;
  const int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) ok = false;
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    QPX_Log(QPX_LOG_ERROR, "Unable to write %s: %s", path.c_str(), std::strerror(error != 0 ? error : errno));
    ::unlink(temporary.c_str());
  }
  return ok;
}

}  // namespace

void QPX_Framework_Storage_LockSet::Add(std::shared_ptr<QPX_Framework_Storage> node) {
  members_.insert(node.get());
  nodes_.push_back(std::move(node));
}

bool QPX_Framework_Storage_LockSet::Remove(const std::shared_ptr<QPX_Framework_Storage>& node) {
  if (members_.erase(node.get()) == 0) return false;
  // Loads release in the reverse order of locking: the node is found at the end.
  for (auto held = nodes_.rbegin(); held != nodes_.rend(); ++held) {
    if (*held == node) {
      nodes_.erase(std::next(held).base());
      break;
    }
  }
  return true;
}

void QPX_Framework_Storage_LockSet::Clear() {
  nodes_.clear();
  members_.clear();
}

// --- Value encodings -----------------------------------------------------------------------

std::string QPX_Framework_Storage_DateText(const Value& date) {
  const long long seconds = static_cast<long long>(std::floor(date.unixTime()));
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01.
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = static_cast<long long>(yearOfEra) + era * 400 + (month <= 2);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld +0000", year, month, day,
                rest / 3600, (rest / 60) % 60, rest % 60);
  return text;
}

Value QPX_Framework_Storage_DateFromText(std::string_view text) {
  // "YYYY-MM-DD HH:MM:SS +HHMM"
  std::size_t at = 0;
  auto number = [&](std::size_t digits, long long& out) {
    if (at + digits > text.size()) return false;
    out = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      const char c = text[at + i];
      if (c < '0' || c > '9') return false;
      out = out * 10 + (c - '0');
    }
    at += digits;
    return true;
  };
  auto literal = [&](char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
  };
  long long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, zoneHours = 0, zoneMinutes = 0;
  if (!number(4, year) || !literal('-') || !number(2, month) || !literal('-') || !number(2, day) ||
      !literal(' ') || !number(2, hour) || !literal(':') || !number(2, minute) || !literal(':') ||
      !number(2, second) || !literal(' '))
    return Value();
  if (at >= text.size() || (text[at] != '+' && text[at] != '-')) return Value();
  const int sign = text[at++] == '-' ? -1 : 1;
  if (!number(2, zoneHours) || !number(2, zoneMinutes) || at != text.size()) return Value();
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
      zoneMinutes > 59)
    return Value();
  const long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const long long local = days * 86400 + hour * 3600 + minute * 60 + second;
  const long long offset = sign * (zoneHours * 3600 + zoneMinutes * 60);
  return Value::DateFromUnix(static_cast<double>(local - offset));
}

QPX_Framework_XML_Element _QPX_Framework_Storage_CreateXML(const Value& value,
                                                           QPX_Framework_XML_Element element) {
  if (value.isString()) {
    const std::string& text = value.string();
    if (!QPX_Framework_IsValidUTF8(text)) {
      // Such bytes would make the whole file unreadable; the element is left without value.
      QPX_Log(QPX_LOG_ERROR, "String that is not UTF-8 cannot be saved");
      return element;
    }
    if (text.find('\0') != std::string::npos) {
      const std::optional<std::string> plist = QPX_Framework_CreatePList(Value::Data(std::string_view(text)));
      if (plist) {
        QPX_Framework_XML_Element data = QPX_Framework_XML_Element::Create(StringElementData);
        data.QPX_Framework_XML_Element_AddChild(QPX_Framework_XML_Node::CData(*plist));
        element.QPX_Framework_XML_Element_AddChild(data);
      }
    } else if (text.find('\n') == std::string::npos &&
               QPX_Framework_UTF8ToUTF16(text).size() <= kLongestAttributeString) {
      element.QPX_Framework_XML_Element_AddAttribute(StringAttribute, text);
    } else {
      QPX_Framework_XML_Element child = QPX_Framework_XML_Element::Create(StringElement);
      child.QPX_Framework_XML_Element_AddChild(QPX_Framework_XML_Node::Text(text));
      element.QPX_Framework_XML_Element_AddChild(child);
    }
  } else if (value.isNumber()) {
    element.QPX_Framework_XML_Element_AddAttribute(_NumberAttribute, NumberText(value));
  } else if (value.isDate()) {
    element.QPX_Framework_XML_Element_AddAttribute(_DateAttribute, QPX_Framework_Storage_DateText(value));
  } else {
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("no own encoding for " + value.Description()));
  }
  return element;
}

Value _QPX_Framework_Storage_DecodeXML_String(const QPX_Framework_XML_Element& element) {
  if (std::optional<std::string> text = element.QPX_Framework_XML_Element_GetAttributeValue(StringAttribute))
    return Value(std::move(*text));
  if (QPX_Framework_XML_Element child = element.QPX_Framework_XML_Element_GetChild(StringElement))
    return Value(child.StringValue());
  if (QPX_Framework_XML_Element child = element.QPX_Framework_XML_Element_GetChild(StringElementData)) {
    const Value data = QPX_Framework_DecodePList(child.StringValue());
    if (!data.isData()) {
      QPX_Log(QPX_LOG_ERROR, "%s does not hold data: %s", StringElementData, data.Description().c_str());
      return Value();
    }
    std::string text(data.data().begin(), data.data().end());
    if (!QPX_Framework_IsValidUTF8(text)) {
      QPX_Log(QPX_LOG_ERROR, "%s does not hold UTF-8 text", StringElementData);
      return Value();
    }
    return Value(std::move(text));
  }
  return Value();
}

Value _QPX_Framework_Storage_DecodeXML_Number(const QPX_Framework_XML_Element& element) {
  const std::optional<std::string> text =
      element.QPX_Framework_XML_Element_GetAttributeValue(_NumberAttribute);
  if (!text || text->empty()) return Value();
  double number = 0;
  const char* end = text->data() + text->size();
  const auto result = std::from_chars(text->data(), end, number);
  if (result.ec != std::errc() || result.ptr != end) return Value();
  return Value(number);
}

Value _QPX_Framework_Storage_DecodeXML_Date(const QPX_Framework_XML_Element& element) {
  const std::optional<std::string> text = element.QPX_Framework_XML_Element_GetAttributeValue(_DateAttribute);
  if (!text) return Value();
  return QPX_Framework_Storage_DateFromText(*text);
}

QPX_Framework_XML_Element _QPX_Framework_PList_CreateXML(const Value& value) {
  const std::optional<std::string> plist = QPX_Framework_CreatePList(value);
  if (!plist) return QPX_Framework_XML_Element();
  if (!QPX_Framework_IsValidUTF8(*plist)) {
    QPX_Log(QPX_LOG_ERROR, "Unable to create string from property list data?");
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("property list that is not UTF-8"));
  }
  QPX_Framework_XML_Element element = QPX_Framework_XML_Element::Create(_PListElement);
  element.QPX_Framework_XML_Element_AddChild(QPX_Framework_XML_Node::CData(*plist));
  return element;
}

Value _QPX_Framework_PList_DecodeXML(const QPX_Framework_XML_Element& element) {
  const QPX_Framework_XML_Element child = element.QPX_Framework_XML_Element_GetChild(_PListElement);
  if (!child) return Value();
  return QPX_Framework_DecodePList(child.StringValue());  // null, logged, when broken
}

// --- Writing -------------------------------------------------------------------------------

bool QPX_Framework_Storage_Save::LockStorage(const std::shared_ptr<QPX_Framework_Storage>& node,
                                             QPX_Framework_Storage_LockSet& locks) {
  QPX_Assert_Detail(!locks.Contains(node.get()), Value("node locked twice for a snapshot"));
  const auto deadline = std::chrono::steady_clock::now() + kLockDeadline;
  if (!node->NodeLock().try_lock_until(deadline)) return false;
  if (!node->ElementLock().try_lock_until(deadline)) {
    node->NodeLock().unlock();
    return false;
  }
  locks.Add(node);
  for (const auto& entry : node->GetChildren())
    if (!LockStorage(entry.second, locks)) return false;
  return true;
}

void QPX_Framework_Storage_Save::UnlockStorage(QPX_Framework_Storage_LockSet& locks, bool resetDirty) {
  const auto& nodes = locks.Nodes();
  for (auto node = nodes.rbegin(); node != nodes.rend(); ++node) {
    if (resetDirty) (*node)->TestAndClearElementDirty();
    (*node)->ElementLock().unlock();
    (*node)->NodeLock().unlock();
  }
  locks.Clear();
}

QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_Save::GetSaveInfo(
    const std::shared_ptr<QPX_Framework_Storage>& node) {
  // The names from the root down; a node that was taken out of the tree has no entry.
  QPX_Framework_Storage_SaveInfo::Path names;
  std::shared_ptr<QPX_Framework_Storage> current = node;
  while (current) {
    std::shared_ptr<QPX_Framework_Storage> parent = current->GetParent();
    if (!parent) {
      if (current != QPX_Framework_Root_Storage) return nullptr;
      break;
    }
    names.push_back(Value(current->GetNodeName().value_or("")));
    current = std::move(parent);
  }
  std::reverse(names.begin(), names.end());
  return QPX_Framework_Storage_SaveInfo_ReadNode(names);
}

void QPX_Framework_Storage_Save::SetName(const std::optional<std::string>& name,
                                         QPX_Framework_XML_Element& element) {
  if (name) element.QPX_Framework_XML_Element_AddAttribute(_QPX_Framework_Storage_Name_Name, *name);
}

QPX_Framework_XML_Element QPX_Framework_Storage_Save::SerializeStorage(
    const std::shared_ptr<QPX_Framework_Storage>& node, bool verbose,
    QPX_Framework_Storage_SaveInfo* saveInfo) {
  if (saveInfo == nullptr) return QPX_Framework_XML_Element();
  QPX_Framework_XML_Element element = QPX_Framework_XML_Element::Create(_QPX_Framework_Storage_Node_Name);
  SetName(node->GetNodeName(), element);

  // The preferences node has no element table of its own: the user defaults keep it.
  if (const QPX_Framework_Storage::ElementTable* elements = node->GetElements()) {
    for (const auto& [name, value] : *elements) {
      if (!saveInfo->QPX_Framework_Storage_SaveInfo_CheckElement(name)) continue;
      QPX_Assert_Detail(!value.isNull(), Value("element \"" + name + "\" vanished while locked"));
      QPX_Framework_XML_Element item = QPX_Framework_XML_Element::Create(_QPX_Framework_Storage_Element_Name);
      SetName(name, item);
      if (value.isString() || value.isNumber() || value.isDate()) {
        if (value.isString() && !QPX_Framework_IsValidUTF8(value.string())) {
          if (verbose) element.QPX_Framework_XML_Element_AddChild(UnsupportedComment(name));
          continue;
        }
        _QPX_Framework_Storage_CreateXML(value, item);
      } else {
        QPX_Framework_XML_Element plist = _QPX_Framework_PList_CreateXML(value);
        if (!plist) {
          if (verbose) element.QPX_Framework_XML_Element_AddChild(UnsupportedComment(name));
          continue;
        }
        item.QPX_Framework_XML_Element_AddChild(plist);
      }
      element.QPX_Framework_XML_Element_AddChild(item);
    }
  }

  for (const auto& [name, child] : node->GetChildren()) {
    QPX_Framework_Storage_SaveInfo* childInfo =
        saveInfo->QPX_Framework_Storage_SaveInfo_ReadNode({Value(name)});
    if (childInfo == nullptr) continue;
    QPX_Framework_XML_Element childElement = SerializeStorage(child, verbose, childInfo);
    if (childElement) element.QPX_Framework_XML_Element_AddChild(childElement);
  }
  return element;
}

std::optional<std::string> QPX_Framework_Storage_Save::QPX_Framework_Storage_MakeXML(
    const std::shared_ptr<QPX_Framework_Storage>& node, bool verbose) {
  QPX_Assert_Detail(node != nullptr, Value("snapshot of no node"));
  // Found before the subtree is locked: the walk up takes the ancestors' locks, which must
  // never be waited for while holding a descendant's.
  QPX_Framework_Storage_SaveInfo* saveInfo = GetSaveInfo(node);
  const std::string path = node->GetPath();

  QPX_Framework_Storage_LockSet locks;
  while (!LockStorage(node, locks)) {
    UnlockStorage(locks, false);
    std::this_thread::sleep_for(kLockRetry);
  }
  const Value now = Value::DateFromUnix(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());

  std::optional<std::string> bytes;
  QPX_Framework_XML_Element element = SerializeStorage(node, verbose, saveInfo);
  if (element) {
    element.QPX_Framework_XML_Element_AddAttribute("BuildID", QPX_Framework_ApplicationInfo.buildID);
    element.QPX_Framework_XML_Element_AddAttribute("DumpTime", QPX_Framework_Storage_DateText(now));
    element.QPX_Framework_XML_Element_AddAttribute("Path", path);
    bytes = QPX_Framework_XML_Serialize(element);
  }
  UnlockStorage(locks, bytes.has_value());
  return bytes;
}

bool QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(
    const std::shared_ptr<QPX_Framework_Storage>& node, const std::string& path, bool verbose) {
  const std::optional<std::string> bytes = QPX_Framework_Storage_MakeXML(node, verbose);
  if (!bytes) return false;
  return WriteFileAtomically(path, *bytes);
}

// --- Reading -------------------------------------------------------------------------------

void QPX_Framework_Storage_Load::LockStorage(const std::shared_ptr<QPX_Framework_Storage>& node,
                                             QPX_Framework_Storage_LockSet& locks) {
  QPX_Assert_Detail(!locks.Contains(node.get()), Value("node locked twice in one load"));
  node->NodeLock().lock();
  node->ElementLock().lock();
  locks.Add(node);
}

void QPX_Framework_Storage_Load::UnlockStorage(const std::shared_ptr<QPX_Framework_Storage>& node,
                                               QPX_Framework_Storage_LockSet& locks) {
  if (!locks.Remove(node)) return;
  node->ElementLock().unlock();
  node->NodeLock().unlock();
}

bool QPX_Framework_Storage_Load::Deserialize(const QPX_Framework_XML_Element& element,
                                             const std::shared_ptr<QPX_Framework_Storage>& node,
                                             QPX_Framework_Storage_LockSet* locks) {
  QPX_Assert_Detail(node != nullptr && node->GetNodeName().has_value(),
                    Value("snapshot loaded into the root"));
  const std::string& nodeName = *node->GetNodeName();
  const std::optional<std::string> name =
      element.QPX_Framework_XML_Element_GetAttributeValue(_QPX_Framework_Storage_Name_Name);
  if (element.Name() != _QPX_Framework_Storage_Node_Name || !name || *name != nodeName) {
    QPX_Log(QPX_LOG_ERROR, "Snapshot of \"%s\" does not fit node \"%s\"", name.value_or("").c_str(),
            nodeName.c_str());
    return false;
  }
  QPX_Framework_Storage_LockSet ownLocks;
  QPX_Framework_Storage_LockSet& held = locks != nullptr ? *locks : ownLocks;
  LockStorage(node, held);
  bool ok = true;

  for (const QPX_Framework_XML_Element& child :
       element.QPX_Framework_XML_Element_GetChildren(_QPX_Framework_Storage_Node_Name)) {
    const std::optional<std::string> childName =
        child.QPX_Framework_XML_Element_GetAttributeValue(_QPX_Framework_Storage_Name_Name);
    if (!childName) continue;
    // A name the tree cannot hold as one node (it would be read as a path).
    if (childName->empty() || childName->find('/') != std::string::npos) {
      QPX_Log(QPX_LOG_ERROR, "Snapshot node with unusable name \"%s\"", childName->c_str());
      ok = false;
      continue;
    }
    const std::shared_ptr<QPX_Framework_Storage> childNode = node->GetNode(*childName, true, Value(), false);
    if (!childNode) {
      ok = false;
      continue;
    }
    // A fault anywhere below makes the whole load report it.
    if (!Deserialize(child, childNode, &held)) ok = false;
  }

  for (const QPX_Framework_XML_Element& item :
       element.QPX_Framework_XML_Element_GetChildren(_QPX_Framework_Storage_Element_Name)) {
    const std::optional<std::string> key =
        item.QPX_Framework_XML_Element_GetAttributeValue(_QPX_Framework_Storage_Name_Name);
    if (!key || key->empty()) {
      QPX_Log(QPX_LOG_ERROR, "Snapshot element without name in \"%s\"", nodeName.c_str());
      ok = false;
      continue;
    }
    Value value = _QPX_Framework_PList_DecodeXML(item);
    if (value.isNull()) value = _QPX_Framework_Storage_DecodeXML_String(item);
    if (value.isNull()) value = _QPX_Framework_Storage_DecodeXML_Number(item);
    if (value.isNull()) value = _QPX_Framework_Storage_DecodeXML_Date(item);
    if (value.isNull()) {
      QPX_Log(QPX_LOG_ERROR, "Snapshot element \"%s\" of \"%s\" holds no readable value", key->c_str(),
              nodeName.c_str());
      ok = false;
      continue;
    }
    node->setObject(value, *key);
  }

  node->TestAndClearElementDirty();
  UnlockStorage(node, held);
  return ok;
}

bool QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(
    const std::string& path, const std::shared_ptr<QPX_Framework_Storage>& node) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) return true;  // nothing saved yet
  const QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromFile(path);
  if (!root) return false;  // the XML layer has logged why
  return Deserialize(root, node, nullptr);
}
