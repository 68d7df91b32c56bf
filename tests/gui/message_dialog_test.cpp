#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "gui/message_dialog.h"

namespace drv {
namespace {

struct GeometryCase {
  const char* text;
  int width;
  int button_left;
};

const GeometryCase kGeometry[] = {
    {"Не правильный пароль.", 210, 69},
    {"Порт уже занят!", 150, 39},
    {"Неправильный пароль. В доступе отказано", 390, 159},
    {"Да", 20, -26},
};

class MessageDialogTest : public ::testing::Test {
 protected:
  QLabel* Label() { return dialog.findChild<QLabel*>("Label1"); }
  QPushButton* Button() { return dialog.findChild<QPushButton*>("Button1"); }

  Tadvsm dialog;
};

TEST_F(MessageDialogTest, LooksAsDescribed) {
  EXPECT_EQ(dialog.objectName(), "advsm");
  EXPECT_EQ(dialog.windowTitle(), "advsm");
  ASSERT_NE(Label(), nullptr);
  ASSERT_NE(Button(), nullptr);
  EXPECT_EQ(Button()->text(), "ОК");
  EXPECT_TRUE(Label()->font().bold());
  EXPECT_EQ(Label()->font().pixelSize(), 16);
  EXPECT_EQ(Label()->font().families().value(0), "Times New Roman");
  EXPECT_EQ(Label()->alignment(), Qt::AlignCenter);
}

TEST_F(MessageDialogTest, GrowsWithTheText) {
  for (const auto& c : kGeometry) {
    const QString text = c.text;
    SCOPED_TRACE(c.text);
    dialog.PrepareMessage(text);
    EXPECT_EQ(dialog.Geometry().dialog_width, c.width);
    EXPECT_EQ(dialog.Geometry().button_left, c.button_left);
    EXPECT_EQ(dialog.width(), c.width);
    EXPECT_EQ(Label()->text(), text);
    EXPECT_EQ(Label()->x(), 2);
    EXPECT_EQ(Label()->width(), c.width);
    EXPECT_EQ(Button()->x(), c.button_left);
    EXPECT_EQ(Button()->width(), 72);
  }
}

TEST_F(MessageDialogTest, ShowsModallyUntilOk) {
  bool seen = false;
  QTimer::singleShot(0, &dialog, [&] {
    seen = QApplication::activeModalWidget() == &dialog && Label()->text() == "Порт уже занят!";
    QTest::mouseClick(Button(), Qt::LeftButton);
    if (dialog.isVisible()) dialog.reject();
  });
  dialog.ShowMessageDialog("Порт уже занят!");
  EXPECT_TRUE(seen);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace drv
