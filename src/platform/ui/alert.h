#pragma once
// A modal alert: a message, an informative text and up to a few buttons; RunModal answers
// which button ended it (kFirstButtonReturn + index). Where nobody can answer (the offscreen
// platform) the responder set for that purpose answers, or else the first button, logged.

#include <functional>
#include <string>
#include <vector>

namespace platform::ui {

class Alert {
 public:
  enum class Style { Warning, Informational, Critical };
  static constexpr int kFirstButtonReturn = 1000;

  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;  // none: one "OK" button
  Style style = Style::Warning;

  // Shows the alert and waits for the answer (on the main thread; from another thread the
  // caller waits for the main thread).
  int RunModal() const;

  // Answers every alert instead of the user (tests, offscreen runs). Null restores the user.
  using Responder = std::function<int(const Alert&)>;
  static void SetModalResponder(Responder responder);
};

}  // namespace platform::ui
