// Test entry point: a UTF-8 locale for the code-page conversions, and UDT4
// started once for the whole run.
#include <gtest/gtest.h>

#include <clocale>
#include <memory>

#include "udt_h.h"

namespace {

class UdtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { FServices = std::make_unique<TUDTSocketServices>(); }
  void TearDown() override { FServices.reset(); }

 private:
  std::unique_ptr<TUDTSocketServices> FServices;
};

}  // namespace

int main(int argc, char** argv) {
  if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "");
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new UdtEnvironment);
  return RUN_ALL_TESTS();
}
