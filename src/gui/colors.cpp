#include "gui/colors.h"

#include <cctype>
#include <map>
#include <memory>
#include <pugixml.hpp>

#include "framework/core/log.h"
#include "platform/bundle.h"

namespace {

using platform::ui::Color;

// Filled from the colour file on the first "File" lookup and kept; main thread only, like
// all GUI work.
std::unique_ptr<std::map<std::string, Color>>& ColorTable() {
  static auto* table = new std::unique_ptr<std::map<std::string, Color>>();
  return *table;
}

class Scanner {
 public:
  explicit Scanner(const std::string& text) : text_(text) {}
  void SkipBlanks() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  bool Keyword(const char* word) {
    SkipBlanks();
    const std::string w = word;
    if (text_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }
  void OptionalColon() {
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == ':') ++pos_;
  }
  std::optional<int> Integer() {
    SkipBlanks();
    std::size_t start = pos_;
    if (pos_ < text_.size() && (text_[pos_] == '-' || text_[pos_] == '+')) ++pos_;
    const std::size_t digits = pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    if (pos_ == digits || pos_ - digits > 9) {
      pos_ = start;
      return std::nullopt;
    }
    return std::stoi(text_.substr(start, pos_ - start));
  }
  // A colon, then an integer; nothing consumed when there is none.
  std::optional<int> Part() {
    const std::size_t start = pos_;
    OptionalColon();
    std::optional<int> value = Integer();
    if (!value) pos_ = start;
    return value;
  }
  std::string Letters() {
    SkipBlanks();
    const std::size_t start = pos_;
    while (pos_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[pos_])) &&
           static_cast<unsigned char>(text_[pos_]) < 0x80)
      ++pos_;
    return text_.substr(start, pos_ - start);
  }
  std::string Rest() {
    SkipBlanks();
    return text_.substr(pos_);
  }

 private:
  const std::string& text_;
  std::size_t pos_ = 0;
};

void LoadColorFile();

std::optional<Color> Parse(const std::string& spec) {
  Scanner scanner(spec);
  if (scanner.Keyword("RGBA")) {
    std::optional<int> r = scanner.Part();
    std::optional<int> g = r ? scanner.Part() : std::nullopt;
    std::optional<int> b = g ? scanner.Part() : std::nullopt;
    if (!b) return std::nullopt;
    const int a = scanner.Part().value_or(255);
    return Color::Calibrated(*r / 255.0, *g / 255.0, *b / 255.0, a / 255.0);
  }
  if (scanner.Keyword("Grey")) {
    std::optional<int> white = scanner.Part();
    if (!white) return std::nullopt;
    const int a = scanner.Part().value_or(255);
    return Color::CalibratedWhite(*white / 255.0, a / 255.0);
  }
  if (scanner.Keyword("System")) {
    scanner.OptionalColon();
    const std::string name = scanner.Letters();
    if (name.empty()) return std::nullopt;
    return platform::ui::SystemColor(name);
  }
  if (scanner.Keyword("File")) {
    scanner.OptionalColon();
    const std::string name = scanner.Rest();
    if (!ColorTable()) LoadColorFile();
    auto it = ColorTable()->find(name);
    if (it == ColorTable()->end()) return std::nullopt;
    return it->second;
  }
  return std::nullopt;
}

void LoadColorFile() {
  ColorTable() = std::make_unique<std::map<std::string, Color>>();
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::Main();
  const std::string path = (bundle ? bundle->bundlePath() : std::string()) + "/Contents/Resources/Colors.xml";
  pugi::xml_document document;
  const pugi::xml_parse_result result = document.load_file(path.c_str());
  if (!result) {
    QPX_Log(QPX_LOG_ERROR, "%s: %s", path.c_str(), result.description());
    return;
  }
  for (pugi::xml_node element : document.document_element().children("Color")) {
    pugi::xml_attribute name = element.attribute("Name");
    pugi::xml_attribute color = element.attribute("Color");
    if (!color) continue;
    // A "File" entry may name only colours defined above it, which are in the table by now.
    std::optional<Color> parsed = QPX_Framework_GetColorFromString(std::string(color.value()));
    if (parsed) (*ColorTable())[name.value()] = *parsed;
  }
}

}  // namespace

std::optional<Color> QPX_Framework_GetColorFromString(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::optional<Color> color = Parse(*text);
  if (!color) {
    QPX_Log(QPX_LOG_ERROR, "Invalid color spec %s", text->c_str());
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("Invalid color spec " + *text));
  }
  return color;
}

void _QPX_Framework_Colors_Reset() { ColorTable().reset(); }
