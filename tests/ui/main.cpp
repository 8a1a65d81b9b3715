// The window tests run in one QApplication per process, on Qt's offscreen
// platform unless another one is asked for.
#include <gtest/gtest.h>

#include <QApplication>

#include "ui/model/register.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  vr::ui::RegisterUi();
  return RUN_ALL_TESTS();
}
