// Test entry point: UDT4 started once for the whole run, stopped after every
// test has checked that its threads are gone.
#include <gtest/gtest.h>

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
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new UdtEnvironment);
  return RUN_ALL_TESTS();
}
