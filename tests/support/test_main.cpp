// The tests' entry point: a UTF-8 locale for the code-page conversions, UDT4
// started once for the whole run and left, like the programs leave it, once every
// thread of the library has ended; with TEST_MAIN_QT also a Qt application
// (TEST_MAIN_WIDGETS: one with widgets, offscreen) whose main thread runs the
// synchronized calls.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <memory>

#include "thread.h"
#include "udt_h.h"

#if defined(TEST_MAIN_WIDGETS)
#include <QApplication>
#elif defined(TEST_MAIN_QT)
#include <QCoreApplication>
#endif
#if defined(TEST_MAIN_QT)
#include "app_support.h"
#endif

namespace {

class UdtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { FServices = std::make_unique<TUDTSocketServices>(); }
  void TearDown() override {
    if (!TThread::WaitForAllThreads(std::chrono::seconds(10)))
      ADD_FAILURE() << TThread::RunningThreads() << " library threads still running at exit";
  }
  // Ends a run that started UDT4 without its clean-up, which can crash on a
  // handshake that a test's last connection left in flight (see EndProcess).
  void End(int Result) {
    if (FServices) FServices->EndProcess(Result);
  }

 private:
  std::unique_ptr<TUDTSocketServices> FServices;
};

}  // namespace

int main(int argc, char** argv) {
#if defined(TEST_MAIN_WIDGETS)
  // Test discovery runs this program without the test environment.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  auto app = std::make_unique<QApplication>(argc, argv);
#elif defined(TEST_MAIN_QT)
  auto app = std::make_unique<QCoreApplication>(argc, argv);
#endif
#if defined(TEST_MAIN_QT)
  InstallMainThreadSynchronize();
#endif
  // After the application object, which sets the locale from the environment.
  if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "");
  ::testing::InitGoogleTest(&argc, argv);
  auto* udt = new UdtEnvironment;
  ::testing::AddGlobalTestEnvironment(udt);
  const int result = RUN_ALL_TESTS();
#if defined(TEST_MAIN_QT)
  app.reset();  // before the end's leak check, as at a normal exit
#endif
  udt->End(result);
  return result;  // listing the tests starts nothing
}
