#include "program.h"

#include <unistd.h>

#include <algorithm>

#include "ports.h"
#include "thread.h"
#include "wait.h"
#include "bytes.h"

namespace test_support {

std::string UniqueName(const std::string& what) {
  return what + "-" + std::to_string(::getpid()) + ".bin";
}

DefaultPortPeer::DefaultPortPeer() {
  FClient.SetRemoteHost("127.0.0.1");
  FClient.SetRemotePort(std::to_string(kDefaultPort));
  FClient.Open();
}

std::u16string DefaultPortPeer::Exchange(const std::u16string& message) {
  if (!FClient.Connected()) return u"(not connected)";
  FClient.SendString(message);
  std::u16string reply;
  FClient.ReceiveString(reply);
  return reply;
}

bool DefaultPortPeer::SendAll(const std::string& data) {
  for (size_t at = 0; at < data.size();) {
    const int32_t r = FClient.SendBuf(
        data.data() + at, static_cast<int32_t>(std::min<size_t>(64 * 1024, data.size() - at)));
    if (r <= 0) return false;
    at += static_cast<size_t>(r);
  }
  return true;
}

bool DefaultPortPeer::Announce(const std::u16string& name, int32_t size) {
  if (Exchange(test_support::kFileRequest) != protocol::Reply(protocol::kFileRequest)) return false;
  return SendAll(std::string(reinterpret_cast<const char*>(&size), 4)) &&
         FClient.SendString(name) > 0;
}

void WholeProgramTest::SetUp() {
  ASSERT_FALSE(UdpPortBound(kDefaultPort)) << "port " << kDefaultPort << " is taken";
}

void WholeProgramTest::TearDown() {
  EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound))
      << TThread::RunningThreads() << " library threads still running";
  std::error_code ec;
  for (const auto& f : FCleanUp) std::filesystem::remove(f, ec);
}

}  // namespace test_support
