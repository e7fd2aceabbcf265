#pragma once
// Storage snapshots: a subtree of the storage tree written to an XML file and read back into
// the tree at start. Which nodes and elements are written is decided by the save-info tree
// (save_info.h), so volatile elements next to persistent ones stay out of the file.
//
// The writer locks the whole subtree while it reads it, so the file is one consistent state
// of it, and clears the subtree's dirty flags once the snapshot exists; modules use the flags
// to decide when to save next. The file is replaced atomically. The reader writes the
// loaded elements through the ordinary element write, so subscribers hear of them.
//
// File format (UTF-8):
//   <NODE Name="Modem" BuildID="1.0.0" DumpTime="2024-05-01 10:00:00 +0000" Path="/Modems/Modem">
//     <ELEMENT Name="QPX CGMM" String="E220"/>                  strings of up to 32 characters
//     <ELEMENT Name="Note"><STRING>longer text...</STRING></ELEMENT>   longer, or with a line feed
//     <ELEMENT Name="Raw"><STRING-DATA><![CDATA[plist of the bytes]]></STRING-DATA></ELEMENT>
//                                                                     strings holding U+0000
//     <ELEMENT Name="Count" Number="7"/>                        numbers (read back as doubles)
//     <ELEMENT Name="Since" Date="2024-05-01 10:00:00 +0000"/>  dates (whole seconds)
//     <ELEMENT Name="Table"><PROPERTY-LIST><![CDATA[<?xml ...plist...]]></PROPERTY-LIST></ELEMENT>
//     <NODE Name="Child">...</NODE>
//   </NODE>
// Only the root NODE carries "BuildID", "DumpTime" and "Path".

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "framework/util/xml.h"
#include "platform/value.h"

class QPX_Framework_Storage;
class QPX_Framework_Storage_SaveInfo;

// Element and attribute names of the file format.
extern const char* const _QPX_Framework_Storage_Node_Name;     // "NODE"
extern const char* const _QPX_Framework_Storage_Element_Name;  // "ELEMENT"
extern const char* const _QPX_Framework_Storage_Name_Name;     // "Name"
extern const char* const StringAttribute;                      // "String"
extern const char* const StringElement;                        // "STRING"
extern const char* const StringElementData;                    // "STRING-DATA"
extern const char* const _NumberAttribute;                     // "Number"
extern const char* const _DateAttribute;                       // "Date"
extern const char* const _PListElement;                        // "PROPERTY-LIST"

// The nodes whose locks one snapshot or load holds, in the order they were locked.
class QPX_Framework_Storage_LockSet {
 public:
  bool Contains(const QPX_Framework_Storage* node) const { return members_.count(node) != 0; }
  void Add(std::shared_ptr<QPX_Framework_Storage> node);
  bool Remove(const std::shared_ptr<QPX_Framework_Storage>& node);
  const std::vector<std::shared_ptr<QPX_Framework_Storage>>& Nodes() const { return nodes_; }
  void Clear();

 private:
  std::vector<std::shared_ptr<QPX_Framework_Storage>> nodes_;
  std::unordered_set<const QPX_Framework_Storage*> members_;
};

class QPX_Framework_Storage_Save {
 public:
  // Writes the snapshot of the node's subtree to the file, replacing it atomically (a crash
  // or a failed write leaves the old file as it was). NO when there is nothing to write (no
  // save-info entry) or the file cannot be written.
  static bool QPX_Framework_Storage_SaveXML(const std::shared_ptr<QPX_Framework_Storage>& node,
                                            const std::string& path, bool verbose);
  // The snapshot document's bytes; none when the node has no save-info entry. In verbose mode
  // elements whose values cannot be written leave a comment in their place.
  static std::optional<std::string> QPX_Framework_Storage_MakeXML(
      const std::shared_ptr<QPX_Framework_Storage>& node, bool verbose);

  // --- Steps ---
  // Locks the node and its whole subtree (node lock, then element lock; each waited for at
  // most one second), adding every locked node to the set. NO at the first lock not had in
  // time; what was taken stays in the set for UnlockStorage.
  static bool LockStorage(const std::shared_ptr<QPX_Framework_Storage>& node,
                          QPX_Framework_Storage_LockSet& locks);
  // Releases every node of the set (children first), clearing its dirty flag when asked.
  static void UnlockStorage(QPX_Framework_Storage_LockSet& locks, bool resetDirty);
  // The save-info entry of the node: the tree's root entry for the storage root, else what
  // its parent's entry gives for its name; null when there is none at some level.
  static QPX_Framework_Storage_SaveInfo* GetSaveInfo(const std::shared_ptr<QPX_Framework_Storage>& node);
  // The NODE element of the node and its saved subtree; null without an entry.
  static QPX_Framework_XML_Element SerializeStorage(const std::shared_ptr<QPX_Framework_Storage>& node,
                                                    bool verbose, QPX_Framework_Storage_SaveInfo* saveInfo);
  // Adds the "Name" attribute when a name is given.
  static void SetName(const std::optional<std::string>& name, QPX_Framework_XML_Element& element);
};

class QPX_Framework_Storage_Load {
 public:
  // Loads the snapshot file into the node (whose name the file's root NODE must carry). YES
  // when there is no file (nothing to load) or everything in it was loaded; NO when the file
  // cannot be read (nothing changes), names another node (nothing changes), or some parts of
  // it were faulty (they are skipped, everything else is loaded). Missing nodes are created;
  // loaded elements are written (and announced) one by one; loaded nodes are left clean.
  static bool QPX_Framework_Storage_LoadXMLfromFile(const std::string& path,
                                                    const std::shared_ptr<QPX_Framework_Storage>& node);

  // --- Steps ---
  // Loads one NODE element into the node, holding the node's locks meanwhile.
  static bool Deserialize(const QPX_Framework_XML_Element& element,
                          const std::shared_ptr<QPX_Framework_Storage>& node,
                          QPX_Framework_Storage_LockSet* locks);
  // Takes the node lock and the element lock of the node (waiting as long as needed).
  static void LockStorage(const std::shared_ptr<QPX_Framework_Storage>& node,
                          QPX_Framework_Storage_LockSet& locks);
  // Releases the node's locks and takes it out of the set.
  static void UnlockStorage(const std::shared_ptr<QPX_Framework_Storage>& node,
                            QPX_Framework_Storage_LockSet& locks);
};

// --- Value encodings ("StorageFileExtensions") ---------------------------------------------

// Adds the value's own encoding (string, number or date) to the ELEMENT and answers it. A
// value of another kind is a programming error. A string that is not UTF-8 gets no encoding.
QPX_Framework_XML_Element _QPX_Framework_Storage_CreateXML(const Value& value,
                                                           QPX_Framework_XML_Element element);
// The string, number or date an ELEMENT encodes; null when it encodes none of that kind.
Value _QPX_Framework_Storage_DecodeXML_String(const QPX_Framework_XML_Element& element);
Value _QPX_Framework_Storage_DecodeXML_Number(const QPX_Framework_XML_Element& element);
Value _QPX_Framework_Storage_DecodeXML_Date(const QPX_Framework_XML_Element& element);
// A PROPERTY-LIST element holding the value as an XML property list; null when the value
// cannot be written as one.
QPX_Framework_XML_Element _QPX_Framework_PList_CreateXML(const Value& value);
// The value of the ELEMENT's PROPERTY-LIST child; null when there is none or it is broken.
Value _QPX_Framework_PList_DecodeXML(const QPX_Framework_XML_Element& element);

// "2024-05-01 10:00:00 +0000": the date in UTC, whole seconds.
std::string QPX_Framework_Storage_DateText(const Value& date);
// Reads that form with any zone offset; null when the text is not in it.
Value QPX_Framework_Storage_DateFromText(std::string_view text);
