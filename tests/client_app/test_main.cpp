// Test entry point: a UTF-8 locale, the Qt application (offscreen unless told
// otherwise) and UDT4 started once for the whole run.
#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <memory>

#include "udt_h.h"

int main(int argc, char** argv) {
  if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TUDTSocketServices services;
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
