#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "gui/password_dialog.h"

namespace drv {
namespace {

// Runs `act` on the dialog once it is modal; the dialog is rejected afterwards in any case
// so that a failing step cannot leave the test stuck in exec().
void WhenModal(TForm2& dialog, std::function<void()> act) {
  QTimer::singleShot(0, &dialog, [&dialog, act] {
    EXPECT_EQ(QApplication::activeModalWidget(), &dialog);
    act();
    if (dialog.isVisible()) dialog.reject();
  });
}

class PasswordDialogTest : public ::testing::Test {
 protected:
  QLineEdit* Entry() { return dialog.findChild<QLineEdit*>("MaskEdit1"); }
  QPushButton* Button(const char* name) { return dialog.findChild<QPushButton*>(name); }

  TForm2 dialog;
};

TEST_F(PasswordDialogTest, LooksAsDescribed) {
  EXPECT_EQ(dialog.objectName(), "Form2");
  EXPECT_EQ(dialog.windowTitle(), "Закрытый доступ");
  EXPECT_EQ(dialog.size(), QSize(281, 93));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(dialog.findChild<QLabel*>()->text(), "Введите пароль для доступа");
  ASSERT_NE(Entry(), nullptr);
  EXPECT_EQ(Entry()->maxLength(), 5);
  EXPECT_EQ(Entry()->echoMode(), QLineEdit::Password);
  EXPECT_EQ(Button("BitBtn1")->text(), "ОК");
  EXPECT_EQ(Button("BitBtn2")->text(), "Отмена");

  // One star per digit; empty positions stay blank.
  EXPECT_EQ(Entry()->displayText(), "");
  QTest::keyClicks(Entry(), "12");
  EXPECT_EQ(Entry()->displayText(), "**");
  QTest::keyClicks(Entry(), "345");
  EXPECT_EQ(Entry()->displayText(), "*****");
}

enum class Action { kOk, kCancel, kEscape, kCloseBox };

struct AskCase {
  const char* name;
  const char* password;
  const char* typed;
  Action action;
  int expected;
};

const AskCase kAskCases[] = {
    {"right", "48213", "48213", Action::kOk, TForm2::kOk},
    {"wrong", "48213", "48214", Action::kOk, TForm2::kWrong},
    {"fewer_digits_never_match", "48213", "4821", Action::kOk, TForm2::kWrong},
    {"nothing_typed", "48213", "", Action::kOk, TForm2::kWrong},
    {"letters_are_refused", "48213", "4x82y13", Action::kOk, TForm2::kOk},
    {"sixth_digit_is_refused", "48213", "482135", Action::kOk, TForm2::kOk},
    {"no_password_lets_anything_in", "", "9", Action::kOk, TForm2::kOk},
    {"cancel_with_right_entry", "48213", "48213", Action::kCancel, TForm2::kCancelled},
    {"escape", "48213", "48213", Action::kEscape, TForm2::kCancelled},
    {"close_box", "48213", "48213", Action::kCloseBox, TForm2::kCancelled},
};

TEST(PasswordDialogAsk, ReturnsOkWrongOrCancelled) {
  for (const auto& c : kAskCases) {
    SCOPED_TRACE(c.name);
    TForm2 dialog;
    WhenModal(dialog, [&] {
      auto* entry = dialog.findChild<QLineEdit*>("MaskEdit1");
      QTest::keyClicks(entry, c.typed);
      switch (c.action) {
        case Action::kOk: QTest::mouseClick(dialog.findChild<QPushButton*>("BitBtn1"), Qt::LeftButton); break;
        case Action::kCancel: QTest::mouseClick(dialog.findChild<QPushButton*>("BitBtn2"), Qt::LeftButton); break;
        case Action::kEscape: QTest::keyClick(entry, Qt::Key_Escape); break;
        case Action::kCloseBox: dialog.close(); break;
      }
    });
    EXPECT_EQ(dialog.Ask(c.password), c.expected);
  }
}

TEST_F(PasswordDialogTest, EntryIsKeptAndSelectedForTheNextUse) {
  WhenModal(dialog, [&] {
    QTest::keyClicks(Entry(), "48213");
    QTest::mouseClick(Button("BitBtn1"), Qt::LeftButton);
  });
  ASSERT_EQ(dialog.Ask("48213"), TForm2::kOk);

  // Second use: the old entry is there, wholly selected, and Enter accepts it.
  WhenModal(dialog, [&] {
    EXPECT_EQ(dialog.EnteredText(), "48213");
    EXPECT_EQ(Entry()->selectedText(), Entry()->text());
    EXPECT_TRUE(Entry()->hasFocus());
    QTest::keyClick(Entry(), Qt::Key_Return);
  });
  EXPECT_EQ(dialog.Ask("48213"), TForm2::kOk);

  // Third use: typing replaces the selected old entry.
  WhenModal(dialog, [&] {
    QTest::keyClicks(Entry(), "7");
    QTest::mouseClick(Button("BitBtn1"), Qt::LeftButton);
  });
  EXPECT_EQ(dialog.Ask("48213"), TForm2::kWrong);
  EXPECT_EQ(dialog.EnteredText(), "7");
}

}  // namespace
}  // namespace drv
