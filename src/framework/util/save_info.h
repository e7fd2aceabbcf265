#pragma once
// The save-info tree: which parts of the storage tree a snapshot (storage_snapshot.h)
// writes. It mirrors the storage tree from its root; an entry lists the elements of its node
// that are written and has entries for the child nodes that are followed. A path component
// is a node name (a string) or the any-child marker (a null Value,
// QPX_Framework_Storage_SaveInfo_AnyChild), which stands for every child that has no entry of
// its own. When reading, a specific entry always wins over the any-child entry, and the two
// are never merged.
//
// Modules register their entries once, at class initialisation, before their first save:
//   QPX_Framework_Storage_SaveInfo_SaveElements({{"QPX CGMM", "QPX IMEI"}},
//                                               {"Modems", QPX_Framework_Storage_SaveInfo_AnyChild});
// The tree only grows; entries live as long as the process, so a returned entry stays valid.
// One lock guards the whole tree; every operation may be called from any thread.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

// The any-child marker: a null Value in a path.
extern const Value QPX_Framework_Storage_SaveInfo_AnyChild;

class QPX_Framework_Storage_SaveInfo {
 public:
  // Names (strings) and any-child markers, from the entry the walk starts at.
  using Path = std::vector<Value>;

  QPX_Framework_Storage_SaveInfo() = default;
  QPX_Framework_Storage_SaveInfo(const QPX_Framework_Storage_SaveInfo&) = delete;
  QPX_Framework_Storage_SaveInfo& operator=(const QPX_Framework_Storage_SaveInfo&) = delete;

  // The entry at the path below this one, created with its missing ancestors.
  QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_CreateNode(const Path& path);
  // The entry that governs the node at the path of names below this one: at each step the
  // child's own entry, else the any-child entry. Null when there is none. A marker in the
  // path is a programming error.
  QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_ReadNode(const Path& path);
  // The walk behind both: creating or reading.
  QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_AccessNode(bool create, const Path& path);

  // Lists the element for writing (once, however often it is given).
  void QPX_Framework_Storage_SaveInfo_SaveElement(const std::string& name);
  void QPX_Framework_Storage_SaveInfo_SaveElements(const std::vector<std::string>& names);
  // True when the element is listed.
  bool QPX_Framework_Storage_SaveInfo_CheckElement(std::string_view name) const;

 private:
  QPX_Framework_Storage_SaveInfo* AccessLocked(bool create, const Path& path);

  std::map<std::string, std::unique_ptr<QPX_Framework_Storage_SaveInfo>, std::less<>> SpecificChildren;
  std::unique_ptr<QPX_Framework_Storage_SaveInfo> AllChildren;
  std::set<std::string, std::less<>> Elements;

  friend QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_CreateNode(const Path& path);
  friend QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_ReadNode(const Path& path);
};

// The class forms, from the root entry (made by the first registration).
QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_CreateNode(
    const QPX_Framework_Storage_SaveInfo::Path& path);
// Null before any registration; an empty path gives the root entry.
QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_ReadNode(
    const QPX_Framework_Storage_SaveInfo::Path& path);
// Creates the entry at the path from the root and lists the elements; with no list (none)
// the path is only created, so the node is written with its saved children but none of its
// own elements. Answers the entry.
QPX_Framework_Storage_SaveInfo* QPX_Framework_Storage_SaveInfo_SaveElements(
    const std::optional<std::vector<std::string>>& elements,
    const QPX_Framework_Storage_SaveInfo::Path& path);

// Forgets the whole tree, invalidating every entry handed out. For tests only.
void _QPX_Framework_Storage_SaveInfo_Reset();
