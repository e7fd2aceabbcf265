#include "platform/ui/alert.h"

#include <QMessageBox>
#include <QPushButton>
#include <mutex>

#include "platform/ui/application.h"
#include "platform/ui/qt_internal.h"

namespace platform::ui {

namespace {
std::mutex& ResponderMutex() {
  static std::mutex mutex;
  return mutex;
}
Alert::Responder& TheResponder() {
  static auto* responder = new Alert::Responder();
  return *responder;
}
}  // namespace

void Alert::SetModalResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(ResponderMutex());
  TheResponder() = std::move(responder);
}

int Alert::RunModal() const {
  Responder responder;
  {
    std::lock_guard<std::mutex> lock(ResponderMutex());
    responder = TheResponder();
  }
  if (responder) return responder(*this);
  if (!Application::IsInitialized() || Application::IsOffscreen()) {
    Log(2, "Alert \"%s\" (%s) answered with its first button: nobody can see it", messageText.c_str(),
        informativeText.c_str());
    return kFirstButtonReturn;
  }
  return OnMainThread([this] {
    QMessageBox box;
    box.setIcon(style == Style::Critical        ? QMessageBox::Critical
                : style == Style::Informational ? QMessageBox::Information
                                                : QMessageBox::Warning);
    box.setText(internal::Q(messageText));
    box.setInformativeText(internal::Q(informativeText));
    std::vector<std::string> titles = buttons.empty() ? std::vector<std::string>{"OK"} : buttons;
    std::vector<QPushButton*> qbuttons;
    for (const std::string& title : titles)
      qbuttons.push_back(box.addButton(internal::Q(title), QMessageBox::AcceptRole));
    box.setDefaultButton(qbuttons.front());
    box.exec();
    for (std::size_t i = 0; i < qbuttons.size(); ++i)
      if (box.clickedButton() == qbuttons[i]) return kFirstButtonReturn + int(i);
    return kFirstButtonReturn;
  });
}

}  // namespace platform::ui
