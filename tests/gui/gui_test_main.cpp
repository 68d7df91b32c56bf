// GoogleTest main for the window tests: widgets need a QApplication before anything else.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  // Windows tests run without a display unless told otherwise.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
