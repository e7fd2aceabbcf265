#pragma once
// A skinned view that shows exactly one of its switchable children at a time, chosen by
// number (the order in which they were added), or none.
//
// Main thread only.

#include <cstdint>
#include <memory>
#include <vector>

#include "gui/builder_objects.h"
#include "gui/skinned_view.h"

class QPX_Framework_SwitchView : public QPX_Framework_SkinnedView, public QPX_Framework_GUI_SubviewHost {
 public:
  // No child shown, none to show.
  static std::shared_ptr<QPX_Framework_SwitchView> init();

  // Appends the view as a switchable child, hidden. The switch view grows (never shrinks)
  // to cover the child's frame.
  void addSubview(const std::shared_ptr<platform::ui::View>& view) override;

  // Shows the child of that number and answers it; the index shown already changes
  // nothing. An index out of range (-1 among them) leaves nothing shown and answers null.
  std::shared_ptr<platform::ui::View> QPX_Framework_SwitchView_Display(int32_t index);
  void setIntValue(int32_t index) { QPX_Framework_SwitchView_Display(index); }
  int32_t intValue() const { return Current_; }
  // The child shown, or null.
  std::shared_ptr<platform::ui::View> QPX_Framework_SwitchView_Current() const;
  const std::vector<std::shared_ptr<platform::ui::View>>& QPX_Framework_SwitchView_Subviews() const {
    return Subviews_;
  }
  // The child's number, or -1 when it is not a switchable child.
  int32_t QPX_Framework_SwitchView_ViewNumber(const platform::ui::View* view) const;
  // Shows that child; a view that is not a switchable child is an assertion.
  void QPX_Framework_SwitchView_DisplayView(const platform::ui::View* view);

  // Every switchable child that takes an enabled state gets it, the hidden ones too.
  void setEnabled(bool enabled) override;

 private:
  QPX_Framework_SwitchView() = default;
  std::vector<std::shared_ptr<platform::ui::View>> Subviews_;
  int32_t Current_ = -1;
};
