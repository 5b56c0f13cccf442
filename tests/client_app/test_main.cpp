// Test entry point: a UTF-8 locale, the Qt application (offscreen unless told
// otherwise) and UDT4 started once for the whole run.
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <memory>

#include "app_support.h"
#include "udt_h.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TUDTSocketServices services;
  QApplication app(argc, argv);
  // After the application object, which sets the locale from the environment.
  if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "");
  InstallMainThreadSynchronize();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
