#include "gui/attributes.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "framework/core/log.h"
#include "framework/core/strings.h"
#include "framework/util/misc.h"
#include "gui/colors.h"
#include "gui/rtl.h"
#include "platform/notifications.h"
#include "platform/ui/controls.h"
#include "platform/ui/image.h"
#include "platform/ui/window.h"

using platform::ui::Font;
using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;

// ---- Attribute stack ----

namespace {

std::vector<Value>& Stack() {
  static auto* stack = new std::vector<Value>();
  return *stack;
}

const Value& SharedEmpty() {
  static const Value* empty = new Value(Value::EmptyDictionary());
  return *empty;
}

}  // namespace

void QPX_Framework_SkinnedGUI_PushAttributes(const Value& description) {
  const Value attributes = description.get("Attributes");
  Stack().push_back(attributes.isDictionary() ? attributes : SharedEmpty());
}

void QPX_Framework_SkinnedGUI_PopAttributes() {
  QPX_Assert_Detail(!Stack().empty(), Value("attribute stack popped while empty"));
  Stack().pop_back();
}

std::size_t QPX_Framework_SkinnedGUI_AttributeDepth() { return Stack().size(); }

Value GetAttribute(const Value& description, const std::string& key, const Value& defaultValue) {
  if (description.contains(key)) return description.get(key);
  for (auto it = Stack().rbegin(); it != Stack().rend(); ++it)
    if (it->contains(key)) return it->get(key);
  return defaultValue;
}

// ---- Value formats ----

namespace {

class Scanner {
 public:
  explicit Scanner(std::string text) : text_(std::move(text)) {}
  void Blanks() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  std::optional<double> Number() {
    Blanks();
    const char* begin = text_.c_str() + pos_;
    char* end = nullptr;
    // Only plain decimal numbers: no hexadecimal, infinities or NaN from strtod.
    if (*begin == '\0' || !(std::isdigit(static_cast<unsigned char>(*begin)) || *begin == '-' ||
                            *begin == '+' || *begin == '.'))
      return std::nullopt;
    const double value = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(value)) return std::nullopt;
    const std::string used(begin, std::size_t(end - begin));
    if (used.find_first_of("xXnNiI") != std::string::npos) return std::nullopt;
    pos_ += std::size_t(end - begin);
    return value;
  }
  bool Accept(char c) {
    Blanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    Blanks();
    return pos_ >= text_.size();
  }

 private:
  std::string text_;
  std::size_t pos_ = 0;
};

bool ParsePair(const Value& text, bool allowX, double& first, double& second) {
  if (!text.isString()) return false;
  Scanner scanner(text.string());
  std::optional<double> a = scanner.Number();
  if (!a) return false;
  if (!scanner.Accept(',') && allowX) scanner.Accept('x');
  std::optional<double> b = scanner.Number();
  if (!b || !scanner.AtEnd()) return false;
  first = double(float(*a));
  second = double(float(*b));
  return true;
}

}  // namespace

bool QPX_Framework_GetSize(const Value& text, Size& size) {
  double w = 0, h = 0;
  if (!ParsePair(text, true, w, h)) return false;
  size = Size{w, h};
  return true;
}

bool QPX_Framework_GUI_ParseLocation(const Value& text, Point& point) {
  double x = 0, y = 0;
  if (!ParsePair(text, false, x, y)) return false;
  point = Point{x, y};
  return true;
}

int QPX_Framework_GUI_FontSize(const Value& value) {
  if (value.isNumber()) return int(value.toDouble());
  if (!value.isString()) return 0;
  const std::string& text = value.string();
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 6) return 0;
  const int number = std::stoi(text.substr(0, digits));
  if (text.compare(digits, 2, "px") == 0) return int(number * Font::kSystemFontSize / 16.0);
  return number;
}

platform::ui::TextAlignment QPX_Framework_GetMyObjectAlignment(const Value& value,
                                                               platform::ui::TextAlignment defaultAlignment) {
  if (value.isNull()) return defaultAlignment;
  if (value.isDictionary())
    return QPX_Framework_GetMyObjectAlignment(value.get("Alignment"), defaultAlignment);
  QPX_Assert_Detail(value.isString(), Value("an alignment is neither text nor description"));
  std::string word = value.string();
  for (char& c : word) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (word == "left") return platform::ui::TextAlignment::Left;
  if (word == "right") return platform::ui::TextAlignment::Right;
  if (word == "center") return platform::ui::TextAlignment::Center;
  return defaultAlignment;
}

uint32_t QPX_Framework_GUI_KeyModifierMask(const Value& word, uint32_t mask) {
  if (!word.isString()) return mask;
  if (word.string() == "Control") return platform::ui::kControlKeyMask;
  if (word.string() == "Command") return platform::ui::kCommandKeyMask;
  if (word.string() == "Alternate") return platform::ui::kAlternateKeyMask;
  return mask;
}

std::optional<platform::ui::Color> QPX_Framework_GUI_GetAttributeColor(
    const Value& description, const std::string& key, const std::optional<std::string>& defaultSpec) {
  const Value spec = GetAttribute(description, key, defaultSpec ? Value(*defaultSpec) : Value());
  if (spec.isNull()) return std::nullopt;
  QPX_Assert_Detail(spec.isString(), Value("colour attribute " + key + " is not a text"));
  return QPX_Framework_GetColorFromString(spec.string());
}

std::string QPX_Framework_GUI_TextContents(const Value& contents) {
  if (!contents.isString()) return {};
  return QPX_Framework_LocalizedString(contents.string());
}

std::optional<std::string> QPX_Framework_GUI_HTMLContents(const std::string& text) {
  if (text.rfind("HTML:", 0) != 0) return std::nullopt;
  return text.substr(5);
}

// ---- Fonts ----

namespace {
struct FontSettings {
  std::optional<std::string> defaultName;
  std::set<std::string> ignored;
};
FontSettings& Fonts() {
  static auto* settings = new FontSettings();
  return *settings;
}
}  // namespace

void QPX_Framework_GUI_SetDefaultFont(const std::optional<std::string>& fontName) {
  Fonts().defaultName = fontName;
  QPX_Log(QPX_LOG_TRACE, "DefaultFontName: %s", fontName ? fontName->c_str() : "(none)");
}

void QPX_Framework_GUI_IgnoreFont(const std::string& fontName) { Fonts().ignored.insert(fontName); }

void _QPX_Framework_GUI_ResetFonts() { Fonts() = FontSettings(); }

std::optional<Font> QPX_Framework_GUI_GetMyObjectFont(const Value& description, const std::string& nameKey,
                                                      const std::string& sizeKey) {
  const Value nameValue = GetAttribute(description, nameKey);
  const int size = QPX_Framework_GUI_FontSize(GetAttribute(description, sizeKey, Value(0)));
  std::optional<std::string> name = nameValue.optString();
  if (name && Fonts().ignored.count(*name) != 0) name.reset();
  if (name && *name == "System:WindowTitle") return Font::TitleBar(size);
  if (!name) {
    if (!Fonts().defaultName) return Font::System(size);
    name = Fonts().defaultName;
  }
  std::optional<Font> font = Font::Named(*name, size);
  if (!font) QPX_Log(QPX_LOG_TRACE, "Font \"%s\" not found", name->c_str());
  return font;
}

void SetFont(const Value& description, View& object) {
  std::optional<Font> font = QPX_Framework_GUI_GetMyObjectFont(description, "Font Name", "Font Size");
  if (!font) return;
  if (auto* control = dynamic_cast<platform::ui::Control*>(&object))
    control->SetFont(*font);
  else if (auto* text = dynamic_cast<platform::ui::TextView*>(&object))
    text->SetFont(*font);
}

// ---- Images ----

std::shared_ptr<platform::ui::Image> QPX_Framework_GetImage(const std::optional<std::string>& name) {
  if (!name || name->empty()) return nullptr;
  std::optional<std::string> path = QPX_Framework_FilePathString("Images/" + *name);
  std::shared_ptr<platform::ui::Image> image;
  if (path) image = QPX_InitWithFile_respectRTL(QPX_Framework_ResourceBranchName(*path), true);
  if (!image) {
    QPX_Log(QPX_LOG_TRACE, "Unable to load image: %s", name->c_str());
    return platform::ui::Image::Empty(Size{10, 10});
  }
  image->setBackgroundColor(platform::ui::Color::Clear());
  return image;
}

std::shared_ptr<platform::ui::Image> GetAttributeImage(const Value& description, const std::string& key) {
  return QPX_Framework_GetImage(GetAttribute(description, key).optString());
}

std::shared_ptr<platform::ui::Image> QPX_Framework_GUI_FillImageBackground(
    const std::shared_ptr<platform::ui::Image>& image, const std::optional<platform::ui::Color>& fill) {
  if (!image || !fill) return image;
  return image->OverColor(*fill);
}

// ---- Labels ----

QPX_Framework_AttributedString QPX_Framework_ProcessUnderscore(
    const std::string& text, std::optional<std::string>& letter,
    const std::optional<platform::ui::Color>& color) {
  QPX_Framework_AttributedString result(text);
  const std::size_t marker = text.find('_');
  if (marker == std::string::npos) return result;
  result.text.erase(marker, 1);
  if (color) result.runs.push_back({0, QPX_Framework_UTF16Length(result.text), 0, color});
  if (marker < result.text.size()) {
    const std::u32string after = platform::ui::CodePointsFromUtf8(result.text.substr(marker));
    const char32_t c = after[0];
    letter = platform::ui::Utf8FromCodePoint(c);
    result.runs.push_back({QPX_Framework_UTF16Length(result.text.substr(0, marker)),
                           std::size_t(c >= 0x10000 ? 2 : 1), 2, std::nullopt});
  }
  return result;
}

// ---- Views and windows ----

bool QPX_Framework_SizeMyObject(View* view, const Value& sizeText) {
  QPX_Assert_Detail(view != nullptr, Value("sizing an object that is not a view"));
  if (view->SupportsResizability()) view->SetResizable(false, false);
  Size size;
  if (QPX_Framework_GetSize(sizeText, size)) {
    view->SetFrameSize(size);
    if (view->SupportsMinMaxSize()) {
      view->SetMinSize(size);
      view->SetMaxSize(size);
    }
    return true;
  }
  view->SizeToFit();
  return false;
}

void QPX_Framework_GUI_PlaceView(View* view, const Value& description, bool isActionLabel) {
  if (!description.contains("Location")) return;
  QPX_Assert_Detail(view != nullptr, Value("placing an object that is not a view"));
  Point location;
  if (!QPX_Framework_GUI_ParseLocation(description.get("Location"), location)) return;
  if (isActionLabel) {
    const Point origin = view->Frame().origin;
    location = Point{origin.x + location.x, origin.y + location.y};
  }
  view->SetFrameOrigin(location);
}

void QPX_Framework_GUI_FitWindowToScreen(platform::ui::Window& window, const std::optional<Size>& screen) {
  Rect frame = window.Frame();
  if (screen) {
    frame.size.width = std::min(frame.width(), screen->width);
    frame.size.height = std::min(frame.height(), screen->height);
  }
  // The minimum wins over the screen.
  const Size minimum = window.MinSize();
  frame.size.width = std::max(frame.width(), minimum.width);
  frame.size.height = std::max(frame.height(), minimum.height);
  window.SetFrame(frame);
}

// ---- Descriptions ----

namespace {
struct Described {
  std::weak_ptr<const void> owner;
  Value description;
  Value baseFrame;
};
std::map<const void*, Described>& Table() {
  static auto* table = new std::map<const void*, Described>();
  return *table;
}
Described* Lookup(const void* key) {
  auto it = Table().find(key);
  if (it == Table().end()) return nullptr;
  if (it->second.owner.expired()) {
    // An entry of an object that died, whose address was taken again.
    Table().erase(it);
    return nullptr;
  }
  return &it->second;
}
Described& Entry(const void* key, std::weak_ptr<const void> owner) {
  Described* found = Lookup(key);
  if (found != nullptr) return *found;
  Described& entry = Table()[key];
  entry.owner = std::move(owner);
  return entry;
}

Rect BaseFrameOf(const Value& data) {
  QPX_Assert_Detail(data.isData() && data.data().size() == 16, Value("a base frame is not 16 bytes"));
  float values[4];
  std::memcpy(values, data.data().data(), sizeof values);
  return Rect(values[0], values[1], values[2], values[3]);
}

void Propagate(View& view, Size difference) {
  for (const std::shared_ptr<View>& subview : view.Subviews()) {
    Described* entry = Lookup(subview.get());
    if (entry == nullptr) continue;
    const Value& description = entry->description;
    Size described;
    if (!QPX_Framework_GetSize(description.get("Size"), described)) continue;
    const bool hasBase = !entry->baseFrame.isNull();
    Size scale;
    if (hasBase && QPX_Framework_GetSize(description.get("LocationScale"), scale)) {
      const Rect base = BaseFrameOf(entry->baseFrame);
      subview->SetFrameOrigin(Point{base.minX() + scale.width * difference.width,
                                    base.minY() + scale.height * difference.height});
    }
    if (hasBase && QPX_Framework_GetSize(description.get("SizeScale"), scale)) {
      const Rect base = BaseFrameOf(entry->baseFrame);
      const Size size{base.width() + scale.width * difference.width,
                      base.height() + scale.height * difference.height};
      subview->SetFrameSize(size);
      Propagate(*subview, Size{size.width - described.width, size.height - described.height});
    }
  }
}

std::shared_ptr<platform::NotificationCenter::Observation>& ResizeObservation() {
  static auto* observation = new std::shared_ptr<platform::NotificationCenter::Observation>();
  return *observation;
}
std::map<const void*, std::weak_ptr<platform::ui::Window>>& ObservedWindows() {
  static auto* windows = new std::map<const void*, std::weak_ptr<platform::ui::Window>>();
  return *windows;
}
}  // namespace

void QPX_Framework_GUI_SetDescription(const View& view, const Value& description) {
  Entry(&view, view.weak_from_this()).description = description;
}

Value QPX_Framework_GUI_GetDescription(const View& view) {
  Described* entry = Lookup(&view);
  return entry != nullptr ? entry->description : Value();
}

void QPX_Framework_GUI_SetDescription(const platform::ui::Window& window, const Value& description) {
  Entry(&window, window.weak_from_this()).description = description;
}

Value QPX_Framework_GUI_GetDescription(const platform::ui::Window& window) {
  Described* entry = Lookup(&window);
  return entry != nullptr ? entry->description : Value();
}

void QPX_Framework_GUI_SetBaseFrame(const View& view, const Rect& frame) {
  const float values[4] = {float(frame.minX()), float(frame.minY()), float(frame.width()),
                           float(frame.height())};
  QPX_Framework_GUI_SetBaseFrameData(
      view, Value::Data(std::string_view(reinterpret_cast<const char*>(values), sizeof values)));
}

void QPX_Framework_GUI_SetBaseFrameData(const View& view, const Value& data) {
  Entry(&view, view.weak_from_this()).baseFrame = data;
}

void QPX_Framework_GUI_ObserveWindowResize(const std::shared_ptr<platform::ui::Window>& window) {
  if (!window) return;
  ObservedWindows()[window.get()] = window;
  if (ResizeObservation()) return;
  // One observer for every window, made on first use and kept.
  ResizeObservation() = platform::NotificationCenter::Default().AddObserver(
      platform::ui::kWindowDidResizeNotification, nullptr, [](const platform::Notification& notification) {
        auto it = ObservedWindows().find(notification.sender);
        if (it == ObservedWindows().end()) return;
        std::shared_ptr<platform::ui::Window> window = it->second.lock();
        if (!window) {
          ObservedWindows().erase(it);
          return;
        }
        QPX_Framework_GUI_WindowDidResize(*window);
      });
}

void QPX_Framework_GUI_WindowDidResize(platform::ui::Window& window) {
  const Value description = QPX_Framework_GUI_GetDescription(window);
  QPX_Assert_Detail(!description.isNull(), Value("a resized window has no description"));
  Size described;
  if (!QPX_Framework_GetSize(description.get("Size"), described)) return;
  QPX_Log(QPX_LOG_TRACE, "%s", window.Title().c_str());
  const Size content = window.ContentRect().size;
  const Size difference{content.width - described.width, content.height - described.height};
  QPX_Log(QPX_LOG_TRACE, "Diff: %g*%g", difference.width, difference.height);
  if (std::shared_ptr<View> contentView = window.ContentView()) Propagate(*contentView, difference);
}
