// Test entry point: an offscreen Qt application, a UTF-8 locale for the code-page
// conversions, and UDT4 started once for the whole run.
#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <clocale>
#include <memory>

#include "app_support.h"
#include "thread.h"
#include "udt_h.h"

namespace {

class UdtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { FServices = std::make_unique<TUDTSocketServices>(); }
  void TearDown() override {
    // UDT4's clean-up must not race with workers still leaving their last call.
    if (!TThread::WaitForAllThreads(std::chrono::seconds(10)))
      ADD_FAILURE() << TThread::RunningThreads() << " server threads still running at exit";
    FServices.reset();
  }

 private:
  std::unique_ptr<TUDTSocketServices> FServices;
};

}  // namespace

int main(int argc, char** argv) {
  // Test discovery runs this program without the test environment.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "");
  InstallMainThreadSynchronize();
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new UdtEnvironment);
  return RUN_ALL_TESTS();
}
