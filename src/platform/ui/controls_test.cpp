// Controls and menus: actions run on the user's act, values, key equivalents.

#include "platform/ui/controls.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>

#include "platform/ui/alert.h"
#include "platform/ui/menu.h"
#include "platform/ui/ui_test_support.h"

namespace platform::ui {
namespace {

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureApplication(); }
};

TEST_F(ControlsTest, ACheckboxTogglesAndThenRunsItsAction) {
  auto box = Button::Make(Rect(10, 10, 100, 22), Button::Type::Switch, "Force RTL");
  std::vector<int> states;
  box->SetAction([&](Control& sender) { states.push_back(sender.IntegerValue()); });
  box->PerformClick();
  box->PerformClick();
  EXPECT_EQ(states, (std::vector<int>{1, 0}));
  box->SetEnabled(false);
  box->PerformClick();
  EXPECT_EQ(states.size(), 2u);
  EXPECT_EQ(box->Title(), "Force RTL");
}

TEST_F(ControlsTest, ATextFieldReportsTheUsersEditsButNotCodes) {
  auto field = TextField::Make(Rect(0, 0, 150, 22));
  field->SetPlaceholder("Enter command");
  std::vector<std::string> seen;
  field->SetTextDidChangeHandler([&](TextField& f) { seen.push_back(f.StringValue()); });
  field->SetStringValue("set by code");
  field->TypeText("AT");
  field->TypeText("");
  EXPECT_EQ(seen, (std::vector<std::string>{"AT", ""}));
  EXPECT_EQ(field->Placeholder(), "Enter command");
  auto secure = TextField::MakeSecure(Rect(0, 0, 80, 22));
  EXPECT_EQ(static_cast<QLineEdit*>(secure->widget())->echoMode(), QLineEdit::Password);
  auto label = TextField::MakeLabel(Rect(0, 0, 10, 10), "Device: ");
  EXPECT_FALSE(label->IsEditable());
  label->SizeToFit();
  EXPECT_GT(label->Frame().width(), 10);
}

TEST_F(ControlsTest, ADropDownSelectsByIndexAndTitle) {
  auto popup = PopUpButton::Make(Rect(0, 0, 150, 22));
  int actions = 0;
  popup->SetAction([&](Control&) { ++actions; });
  popup->AddItems({"None", "0000002a", "0000002b"});
  EXPECT_EQ(popup->NumberOfItems(), 3u);
  EXPECT_TRUE(popup->SelectItemWithTitle("0000002b"));
  EXPECT_EQ(popup->IndexOfSelectedItem(), 2);
  EXPECT_FALSE(popup->SelectItemWithTitle("missing"));
  EXPECT_EQ(popup->TitleOfSelectedItem(), "0000002b");
  EXPECT_EQ(actions, 0);  // selecting in code is not the user's choice
  popup->ChooseItemAt(1);
  EXPECT_EQ(actions, 1);
  EXPECT_EQ(popup->StringValue(), "0000002a");
  popup->RemoveAllItems();
  EXPECT_EQ(popup->TitleOfSelectedItem(), std::nullopt);
}

TEST_F(ControlsTest, MenuItemsCarryKeyEquivalentsAndRunTheirActions) {
  auto menu = Menu::Make("Dashboard");
  int quits = 0;
  auto quit = menu->AddItem(
      "Quit Dashboard", [&](MenuItem&) { ++quits; }, "q");
  quit->SetKeyEquivalentModifierMask(kCommandKeyMask);
  menu->AddItem(MenuItem::Separator());
  auto hide = menu->AddItem("Hide Others", nullptr, "h");
  hide->SetKeyEquivalentModifierMask(kCommandKeyMask | kAlternateKeyMask);

  EXPECT_EQ(quit->qaction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  EXPECT_EQ(hide->qaction()->shortcut(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_H));
  EXPECT_EQ(menu->ItemForKeyEquivalent("h", kCommandKeyMask | kAlternateKeyMask), hide);
  EXPECT_EQ(menu->ItemForKeyEquivalent("h", kCommandKeyMask), nullptr);
  quit->qaction()->trigger();
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(hide->PerformAction());  // no action
  EXPECT_EQ(menu->NumberOfItems(), 3u);
  EXPECT_TRUE(menu->ItemAt(1)->IsSeparator());
  EXPECT_EQ(menu->ItemWithTitle("Quit Dashboard"), quit);

  // Function keys map to their keys.
  auto help = MenuItem::Make("Help", nullptr, Utf8FromCodePoint(kF1FunctionKey + 4));
  EXPECT_EQ(help->qaction()->shortcut(), QKeySequence(Qt::Key_F5));
}

TEST_F(ControlsTest, AnAlertIsAnsweredByTheResponderWhereNobodyCanSeeIt) {
  Alert alert;
  alert.messageText = "Assertion Failed";
  alert.buttons = {"Quit", "Crash Me"};
  EXPECT_EQ(alert.RunModal(), Alert::kFirstButtonReturn);  // offscreen: the first button
  Alert::SetModalResponder(
      [](const Alert& a) { return Alert::kFirstButtonReturn + int(a.buttons.size()) - 1; });
  EXPECT_EQ(alert.RunModal(), Alert::kFirstButtonReturn + 1);
  Alert::SetModalResponder(nullptr);
}

}  // namespace
}  // namespace platform::ui
