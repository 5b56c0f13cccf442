// The stored setting itself: a new server window listens on every local IPv4
// address, port 2048. Needs port 2048 free, so it runs alone.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <QPushButton>

#include "program.h"
#include "server_test_support.h"
#include "server_window.h"
#include "exchange_protocol.h"

namespace server_test {
namespace {

using DefaultPort = WholeProgramTest;

TEST_F(DefaultPort, NewWindowListensOnEveryAddressPort2048) {
  TServerWindow window;
  window.SetErrorDisplay([](const std::u16string& text) { ADD_FAILURE() << U8(text); });
  TUDTServer* server = window.Form().UdtServer1();
  ASSERT_TRUE(server->Listening()) << "port 2048 is not free";
  sockaddr_in a{};
  int len = sizeof a;
  ASSERT_EQ(UDT::getsockname(server->Handle(), reinterpret_cast<sockaddr*>(&a), &len), 0);
  EXPECT_EQ(ntohs(a.sin_port), 2048);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_FALSE(window.btnOpen()->isEnabled());
  EXPECT_TRUE(window.btnClose()->isEnabled());
  RawClient c;
  ASSERT_TRUE(c.Connect(2048));
  EXPECT_EQ(c.Exchange(u"default"), protocol::Reply(u"default"));
}

}  // namespace
}  // namespace server_test
