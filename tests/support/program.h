// What the tests of the whole program share: the fixture of a test that runs
// the program (or its server) on the default port, and a peer of the test's own
// on that port.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "custom_ip_client.h"
#include "exchange_protocol.h"

namespace test_support {

// The port the program listens on.
inline constexpr uint16_t kDefaultPort = protocol::kDefaultPortNumber;

// A file name of this test process's own: "<what>-<pid>.bin".
std::string UniqueName(const std::string& what);

// A connected client of the test's own on 127.0.0.1 at the default port.
class DefaultPortPeer {
 public:
  DefaultPortPeer();
  DefaultPortPeer(const DefaultPortPeer&) = delete;
  DefaultPortPeer& operator=(const DefaultPortPeer&) = delete;

  bool Connected() const { return FClient.Connected(); }
  // Sends message and returns the reply ("(not connected)" without a connection).
  std::u16string Exchange(const std::u16string& message);
  // Sends all of data; false once a send fails.
  bool SendAll(const std::string& data);
  // Starts a file transfer: the request, its reply, the size and the name.
  bool Announce(const std::u16string& name, int32_t size);

 private:
  TUDTClient FClient{nullptr};
};

// A test that needs the default port: it starts with the port free, ends with no
// thread of the library left in this process, and removes the files it named.
class WholeProgramTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Removes path when the test ends.
  void RemoveAfterwards(const std::filesystem::path& path) { FCleanUp.push_back(path); }

 private:
  std::vector<std::filesystem::path> FCleanUp;
};

}  // namespace test_support
