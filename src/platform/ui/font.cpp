#include "platform/ui/font.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <set>

#include "platform/ui/qt_internal.h"

namespace platform::ui {

namespace {

// Families that description files name, and what stands in for them on Linux, best first.
const std::map<std::string, std::vector<std::string>>& SubstitutionTable() {
  static const std::map<std::string, std::vector<std::string>> table = {
      {"Helvetica", {"Liberation Sans", "Nimbus Sans", "DejaVu Sans"}},
      {"Helvetica Neue", {"Liberation Sans", "Nimbus Sans", "DejaVu Sans"}},
      {"HelveticaNeue", {"Liberation Sans", "Nimbus Sans", "DejaVu Sans"}},
      {"Arial", {"Liberation Sans", "DejaVu Sans"}},
      {"ArialMT", {"Liberation Sans", "DejaVu Sans"}},
      {"Arial Unicode MS", {"DejaVu Sans"}},
      {"Lucida Grande", {"DejaVu Sans"}},
      {"LucidaGrande", {"DejaVu Sans"}},
      {"Geneva", {"DejaVu Sans"}},
      {"Verdana", {"DejaVu Sans"}},
      {"Tahoma", {"DejaVu Sans"}},
      {"Trebuchet MS", {"DejaVu Sans"}},
      {"Myriad Pro", {"DejaVu Sans"}},
      {"Times", {"Liberation Serif", "DejaVu Serif"}},
      {"Times New Roman", {"Liberation Serif", "DejaVu Serif"}},
      {"Georgia", {"DejaVu Serif"}},
      {"Courier", {"Liberation Mono", "DejaVu Sans Mono"}},
      {"Courier New", {"Liberation Mono", "DejaVu Sans Mono"}},
      {"Monaco", {"DejaVu Sans Mono"}},
      {"Menlo", {"DejaVu Sans Mono"}},
  };
  return table;
}

// The system font stands for the platform's own interface font.
const std::vector<std::string>& SystemFamilies() {
  static const std::vector<std::string> families = {"DejaVu Sans", "Liberation Sans", "Noto Sans",
                                                    "Cantarell"};
  return families;
}

bool IsInstalled(const std::string& family) {
  static std::mutex mutex;
  static std::set<std::string>* installed = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  if (installed == nullptr) {
    installed = new std::set<std::string>();
    for (const QString& name : QFontDatabase::families()) installed->insert(internal::S(name));
  }
  return installed->count(family) != 0;
}

std::string FirstInstalled(const std::vector<std::string>& candidates) {
  for (const std::string& family : candidates)
    if (IsInstalled(family)) return family;
  return {};
}

std::string SystemFamily() {
  const std::string family = FirstInstalled(SystemFamilies());
  return family.empty() ? internal::S(QFontDatabase::systemFont(QFontDatabase::GeneralFont).family())
                        : family;
}

}  // namespace

std::optional<Font::Resolved> Font::Resolve(const std::string& name) {
  if (name.empty()) return std::nullopt;
  Resolved resolved;
  std::string family = name;
  // PostScript-style names carry the face after a dash.
  const std::pair<const char*, std::pair<bool, bool>> faces[] = {
      {"-BoldOblique", {true, true}}, {"-BoldItalic", {true, true}}, {"-Bold", {true, false}},
      {"-Oblique", {false, true}},    {"-Italic", {false, true}},    {"-Regular", {false, false}},
      {"-Roman", {false, false}},     {"-Medium", {false, false}},
  };
  for (const auto& [suffix, face] : faces) {
    const std::string s = suffix;
    if (family.size() > s.size() && family.compare(family.size() - s.size(), s.size(), s) == 0) {
      family.erase(family.size() - s.size());
      resolved.bold = face.first;
      resolved.italic = face.second;
      break;
    }
  }
  if (IsInstalled(family)) {
    resolved.family = family;
    return resolved;
  }
  auto it = SubstitutionTable().find(family);
  if (it == SubstitutionTable().end()) return std::nullopt;
  resolved.family = FirstInstalled(it->second);
  if (resolved.family.empty()) resolved.family = SystemFamily();
  return resolved;
}

std::optional<Font> Font::Named(const std::string& name, double size) {
  std::optional<Resolved> resolved = Resolve(name);
  if (!resolved) return std::nullopt;
  return Font(name, resolved->family, size > 0 ? size : kSystemFontSize, resolved->bold, resolved->italic);
}

Font Font::System(double size) {
  return Font("System", SystemFamily(), size > 0 ? size : kSystemFontSize, false, false);
}

Font Font::BoldSystem(double size) {
  return Font("System-Bold", SystemFamily(), size > 0 ? size : kSystemFontSize, true, false);
}

Font Font::TitleBar(double size) {
  return Font("System:WindowTitle", SystemFamily(), size >= 0.5 ? size : kTitleBarFontSize, true, false);
}

Font Font::withSize(double size) const {
  Font copy = *this;
  copy.size_ = size > 0 ? size : kSystemFontSize;
  return copy;
}

Size Font::SizeOfText(const std::string& text) const {
  const QFontMetricsF metrics(internal::ToQFont(*this));
  const QStringList lines = internal::Q(text).split('\n');
  double width = 0;
  for (const QString& line : lines) width = std::max(width, metrics.horizontalAdvance(line));
  return Size{width, metrics.lineSpacing() * double(lines.size())};
}

double Font::LineHeight() const { return QFontMetricsF(internal::ToQFont(*this)).lineSpacing(); }

}  // namespace platform::ui
