#pragma once
// Inside the UI layer only: the Qt side of views and windows and the conversions between
// our values and Qt's.

#include <QColor>
#include <QFont>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/event.h"
#include "platform/ui/font.h"
#include "platform/ui/view.h"

namespace platform::ui {
class Window;
}

namespace platform::ui::internal {

inline QString Q(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }
inline std::string S(const QString& text) { return text.toUtf8().toStdString(); }
QColor ToQColor(const Color& color);
Color FromQColor(const QColor& color);
QFont ToQFont(const Font& font);
Qt::Alignment ToQtHorizontal(TextAlignment alignment);

// Our modifier flags for Qt's, and back.
uint32_t ModifierFlagsFromQt(Qt::KeyboardModifiers modifiers);
Qt::KeyboardModifiers QtModifiersFromFlags(uint32_t flags);
// The characters of a key event, with function keys as their private-use code points.
std::string CharactersOfKey(int key, const QString& text);
// A Qt key for a one-character key equivalent (function keys included); 0 when none.
int QtKeyForCharacter(char32_t character);

// The widget of a plain view: forwards painting and mouse events to its view.
class ViewWidget : public QWidget {
 public:
  ViewWidget(View* view, QWidget* parent = nullptr);
  void Detach() { view_ = nullptr; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  View* view_;
};

// Fills an event from a Qt mouse event received by `widget`, which belongs to `view`.
Event MouseEventFor(const View& view, QWidget* widget, Event::Type type, const QMouseEvent& qevent);

// The window-content position of a widget-local point of a view's widget.
Point WindowPointForWidgetPoint(const View& view, QPointF local);

// Default hooks of View mark the event unhandled, so the widget lets Qt pass it on.
extern thread_local bool g_eventUnhandled;

}  // namespace platform::ui::internal

namespace platform::ui::internal {
// Every window made (weakly) and the windows on the screen (kept alive, as the user sees
// them). Never destroyed, so no widget is deleted during the process's exit.
std::vector<std::weak_ptr<Window>>& AllWindows();
std::vector<std::shared_ptr<Window>>& VisibleWindows();
}  // namespace platform::ui::internal
