#include "platform/ui/qt_internal.h"

#include <QPaintEvent>
#include <QPainter>
#include <cmath>

#include "platform/ui/application.h"
#include "platform/ui/window.h"

namespace platform::ui {

std::string Utf8FromCodePoint(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x110000) {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += "\xEF\xBF\xBD";
  }
  return out;
}

std::u32string CodePointsFromUtf8(const std::string& text) {
  std::u32string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char b = *p;
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || end - p <= extra) {
      out += U'\uFFFD';
      ++p;
      continue;
    }
    char32_t c = extra == 0 ? b : b & (0x3F >> extra);
    bool ok = true;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (p[i] & 0x3F);
    }
    if (!ok) {
      out += U'\uFFFD';
      ++p;
      continue;
    }
    out += c;
    p += extra + 1;
  }
  return out;
}

std::string Utf8FromCodePoints(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) out += Utf8FromCodePoint(c);
  return out;
}

namespace internal {

thread_local bool g_eventUnhandled = false;

QColor ToQColor(const Color& color) {
  QColor q;
  q.setRgbF(float(std::clamp(color.red, 0.0, 1.0)), float(std::clamp(color.green, 0.0, 1.0)),
            float(std::clamp(color.blue, 0.0, 1.0)), float(std::clamp(color.alpha, 0.0, 1.0)));
  return q;
}

Color FromQColor(const QColor& color) {
  return Color::Calibrated(color.redF(), color.greenF(), color.blueF(), color.alphaF());
}

QFont ToQFont(const Font& font) {
  QFont q(Q(font.family()));
  // Points of the design are pixels on the screen: a 13-point system font is 13 pixels high
  // whatever the screen's resolution, so layouts keep their proportions.
  q.setPixelSize(std::max(1, int(std::lround(font.pointSize()))));
  q.setBold(font.bold());
  q.setItalic(font.italic());
  return q;
}

Qt::Alignment ToQtHorizontal(TextAlignment alignment) {
  switch (alignment) {
    case TextAlignment::Right:
      return Qt::AlignRight;
    case TextAlignment::Center:
      return Qt::AlignHCenter;
    case TextAlignment::Justified:
      return Qt::AlignJustify;
    case TextAlignment::Left:
    case TextAlignment::Natural:
      break;
  }
  return Qt::AlignLeft;
}

uint32_t ModifierFlagsFromQt(Qt::KeyboardModifiers modifiers) {
  uint32_t flags = 0;
  if (modifiers & Qt::ShiftModifier) flags |= kShiftKeyMask;
  // The Ctrl key plays the part of the command key on Linux; the Meta (Super) key that of
  // the control key.
  if (modifiers & Qt::ControlModifier) flags |= kCommandKeyMask;
  if (modifiers & Qt::MetaModifier) flags |= kControlKeyMask;
  if (modifiers & Qt::AltModifier) flags |= kAlternateKeyMask;
  return flags;
}

Qt::KeyboardModifiers QtModifiersFromFlags(uint32_t flags) {
  Qt::KeyboardModifiers modifiers;
  if (flags & kShiftKeyMask) modifiers |= Qt::ShiftModifier;
  if (flags & kCommandKeyMask) modifiers |= Qt::ControlModifier;
  if (flags & kControlKeyMask) modifiers |= Qt::MetaModifier;
  if (flags & kAlternateKeyMask) modifiers |= Qt::AltModifier;
  return modifiers;
}

namespace {
struct KeyMapping {
  int key;
  char32_t character;
};
constexpr KeyMapping kKeyMappings[] = {
    {Qt::Key_Up, kUpArrowFunctionKey},
    {Qt::Key_Down, kDownArrowFunctionKey},
    {Qt::Key_Left, kLeftArrowFunctionKey},
    {Qt::Key_Right, kRightArrowFunctionKey},
    {Qt::Key_Delete, kDeleteFunctionKey},
    {Qt::Key_Escape, 0x1B},
    {Qt::Key_Tab, 0x09},
    {Qt::Key_Return, 0x0D},
    {Qt::Key_Enter, 0x03},
    {Qt::Key_Backspace, 0x7F},
};
}  // namespace

std::string CharactersOfKey(int key, const QString& text) {
  if (key >= Qt::Key_F1 && key <= Qt::Key_F12)
    return Utf8FromCodePoint(kF1FunctionKey + char32_t(key - Qt::Key_F1));
  for (const KeyMapping& mapping : kKeyMappings)
    if (mapping.key == key) return Utf8FromCodePoint(mapping.character);
  return S(text);
}

int QtKeyForCharacter(char32_t character) {
  if (character >= kF1FunctionKey && character < kF1FunctionKey + 12)
    return Qt::Key_F1 + int(character - kF1FunctionKey);
  for (const KeyMapping& mapping : kKeyMappings)
    if (mapping.character == character) return mapping.key;
  if (character == 0) return 0;
  const QString text = QString::fromUcs4(&character, 1).toUpper();
  return text.isEmpty() ? 0 : int(text.at(0).unicode());
}

Point WindowPointForWidgetPoint(const View& view, QPointF local) {
  const Rect bounds = view.Bounds();
  const Point inView{local.x(), view.IsFlipped() ? local.y() : bounds.height() - local.y()};
  return view.ConvertToWindow(inView);
}

Event MouseEventFor(const View& view, QWidget* /*widget*/, Event::Type type, const QMouseEvent& qevent) {
  Event event;
  event.type = type;
  event.modifierFlags = ModifierFlagsFromQt(qevent.modifiers());
  event.locationInWindow = WindowPointForWidgetPoint(view, qevent.position());
  event.clickCount = qevent.type() == QEvent::MouseButtonDblClick ? 2 : 1;
  std::shared_ptr<Window> window = view.GetWindow();
  event.window = window.get();
  return event;
}

ViewWidget::ViewWidget(View* view, QWidget* parent) : QWidget(parent), view_(view) {
  setAttribute(Qt::WA_NoSystemBackground);
}

void ViewWidget::paintEvent(QPaintEvent* event) {
  if (view_ == nullptr) return;
  QPainter qpainter(this);
  qpainter.setRenderHint(QPainter::Antialiasing);
  qpainter.setRenderHint(QPainter::TextAntialiasing);
  const double rotation = view_->FrameRotation();
  if (rotation != 0) {
    // Turned about the centre; counter-clockwise on the screen.
    qpainter.translate(width() / 2.0, height() / 2.0);
    qpainter.rotate(-rotation);
    qpainter.translate(-width() / 2.0, -height() / 2.0);
  }
  const Rect bounds = view_->Bounds();
  Painter painter(qpainter, bounds.height(), view_->IsFlipped());
  if (auto background = view_->BackgroundColor()) painter.FillRect(bounds, *background);
  const QRect r = event->rect();
  const Rect dirty = view_->IsFlipped()
                         ? Rect(r.x(), r.y(), r.width(), r.height())
                         : Rect(r.x(), bounds.height() - r.y() - r.height(), r.width(), r.height());
  view_->Draw(painter, dirty);
}

namespace {
template <class Hook>
void Forward(View* view, QWidget* widget, QMouseEvent* qevent, Event::Type type, Hook hook) {
  if (view == nullptr) {
    qevent->ignore();
    return;
  }
  std::shared_ptr<View> keep = view->shared_from_this();
  const Event event = MouseEventFor(*view, widget, type, *qevent);
  g_eventUnhandled = false;
  (view->*hook)(event);
  if (g_eventUnhandled)
    qevent->ignore();
  else
    qevent->accept();
  g_eventUnhandled = false;
}
}  // namespace

void ViewWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton)
    Forward(view_, this, event, Event::Type::RightMouseDown, &View::RightMouseDown);
  else
    Forward(view_, this, event, Event::Type::LeftMouseDown, &View::MouseDown);
}

void ViewWidget::mouseReleaseEvent(QMouseEvent* event) {
  Forward(view_, this, event, Event::Type::LeftMouseUp, &View::MouseUp);
}

void ViewWidget::mouseMoveEvent(QMouseEvent* event) {
  Forward(view_, this, event, Event::Type::LeftMouseDragged, &View::MouseDragged);
}

void ViewWidget::enterEvent(QEnterEvent* event) {
  if (view_ == nullptr) return;
  std::shared_ptr<View> keep = view_->shared_from_this();
  Event e;
  e.type = Event::Type::MouseEntered;
  e.locationInWindow = WindowPointForWidgetPoint(*view_, event->position());
  view_->MouseEntered(e);
}

void ViewWidget::leaveEvent(QEvent* /*event*/) {
  if (view_ == nullptr) return;
  std::shared_ptr<View> keep = view_->shared_from_this();
  Event e;
  e.type = Event::Type::MouseExited;
  view_->MouseExited(e);
}

}  // namespace internal
}  // namespace platform::ui
