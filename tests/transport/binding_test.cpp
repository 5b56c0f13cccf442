// The flat binding and the shared vocabulary: type mappings, socket sets, the
// library's exception, and the entry points carried end to end over loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <udt/udt.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "base_socket.h"
#include "udt_h.h"
#include "udt_peer.h"

using namespace transport_test;

namespace {

// Removes any setsockopt hook when the test ends, however it ends.
struct SockOptHookGuard {
  ~SockOptHookGuard() { udt_SetSockOptHook(nullptr); }
};

TEST(SocketTypeMapping, DomainsMapToAddressFamilies) {
  EXPECT_EQ(TUDTBaseSocket::MapDomain(pfUnspec), 0);
  EXPECT_EQ(TUDTBaseSocket::MapDomain(pfINET), 2);
  EXPECT_EQ(TUDTBaseSocket::MapDomain(pfINET6), AF_INET6);
}

TEST(SocketTypeMapping, SocketTypesMapToStreamAndDatagram) {
  EXPECT_EQ(TUDTBaseSocket::MapSockType(stStream), 1);
  EXPECT_EQ(TUDTBaseSocket::MapSockType(stDgram), 2);
}

TEST(SocketSet, MembershipFollowsSetClearAndZero) {
  UDSET set = TUDTBaseSocket::UDSET_NEW();
  ASSERT_NE(set, nullptr);
  EXPECT_FALSE(TUDTBaseSocket::UDSET_ISSET(42, set));

  TUDTBaseSocket::UDSET_SET(42, set);
  TUDTBaseSocket::UDSET_SET(7, set);
  EXPECT_TRUE(TUDTBaseSocket::UDSET_ISSET(42, set));
  EXPECT_TRUE(TUDTBaseSocket::UDSET_ISSET(7, set));
  EXPECT_FALSE(TUDTBaseSocket::UDSET_ISSET(43, set));

  TUDTBaseSocket::UDSET_CLR(7, set);
  EXPECT_FALSE(TUDTBaseSocket::UDSET_ISSET(7, set));
  EXPECT_TRUE(TUDTBaseSocket::UDSET_ISSET(42, set));

  TUDTBaseSocket::UDSET_ZERO(set);
  EXPECT_FALSE(TUDTBaseSocket::UDSET_ISSET(42, set));
  TUDTBaseSocket::UDSET_FREE(set);
}

TEST(SocketSet, NullSetIsEmptyAndIgnored) {
  TUDTBaseSocket::UDSET_SET(1, nullptr);
  TUDTBaseSocket::UDSET_ZERO(nullptr);
  TUDTBaseSocket::UDSET_CLR(1, nullptr);
  EXPECT_FALSE(TUDTBaseSocket::UDSET_ISSET(1, nullptr));
  TUDTBaseSocket::UDSET_FREE(nullptr);
}

TEST(EUDTSocketErrorTest, CarriesMessageAndCode) {
  EUDTSocketError e("some failure", 7);
  EXPECT_EQ(e.ErrorCode(), 7);
  EXPECT_EQ(e.Message(), u"some failure");
  EXPECT_STREQ(e.what(), "some failure");
}

TEST(EUDTSocketErrorTest, IsTheGeneralExceptionAndConvertsItsText) {
  try {
    throw EUDTSocketError("\xE6\xB5\x8B\xE8\xAF\x95", -3);  // 测试 in the UTF-8 code page
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"测试");
    ASSERT_NE(dynamic_cast<const EUDTSocketError*>(&e), nullptr);
    EXPECT_EQ(dynamic_cast<const EUDTSocketError&>(e).ErrorCode(), -3);
  }
}

TEST(FlatBinding, CarriesAConnectionEndToEnd) {
  int32_t listener = udt_socket(AF_INET, 1, 0);
  ASSERT_NE(listener, -1);
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(udt_bind(listener, &a, sizeof a), 0);
  int len = sizeof a;
  ASSERT_EQ(UDT::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
  ASSERT_EQ(udt_listen(listener, 5), 0);

  int32_t client = udt_socket(AF_INET, 1, 0);
  ASSERT_NE(client, -1);
  ASSERT_EQ(udt_connect(client, &a, sizeof a), 0);

  // A larger record than needed: the length that comes back is the address's own.
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof storage);
  int32_t peerLen = sizeof storage;
  int32_t accepted = udt_accept(listener, reinterpret_cast<sockaddr_in*>(&storage), &peerLen);
  ASSERT_NE(accepted, -1);
  EXPECT_EQ(peerLen, 16);
  sockaddr_in peer;
  std::memcpy(&peer, &storage, sizeof peer);
  EXPECT_EQ(peer.sin_family, AF_INET);
  EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  sockaddr_in clientName;
  len = sizeof clientName;
  ASSERT_EQ(UDT::getsockname(client, reinterpret_cast<sockaddr*>(&clientName), &len), 0);
  EXPECT_EQ(peer.sin_port, clientName.sin_port);

  BoundBlockingCalls(accepted);
  BoundBlockingCalls(client);
  EXPECT_EQ(udt_send(client, "hello", 5, 0), 5);
  char buf[16] = {};
  EXPECT_EQ(udt_recv(accepted, buf, sizeof buf, 0), 5);
  EXPECT_STREQ(buf, "hello");

  EXPECT_EQ(udt_close(client), 0);
  EXPECT_EQ(udt_close(accepted), 0);
  EXPECT_EQ(udt_close(listener), 0);
}

TEST(FlatBinding, MessageCallsKeepBoundaries) {
  RawListener listener(SOCK_DGRAM);
  ASSERT_TRUE(listener.Ok());
  int32_t client = udt_socket(AF_INET, 2, 0);
  ASSERT_NE(client, -1);
  sockaddr_in to = Loopback(listener.Port());
  ASSERT_EQ(udt_connect(client, &to, sizeof to), 0);
  RawSocket peer = listener.Accept();
  ASSERT_TRUE(peer.Valid());
  ASSERT_TRUE(Settle(client, peer.Get(), true));

  EXPECT_EQ(udt_sendmsg(client, "one", 3, -1, 0), 3);
  EXPECT_EQ(udt_sendmsg(client, "second", 6, -1, 0), 6);
  EXPECT_EQ(peer.RecvMsg(), std::optional<std::string>("one"));
  ASSERT_TRUE(peer.SendMsg("reply"));
  UDSET rs = udt_NEW_UDSET();
  udt_UD_SET(rs, client);
  TUDTTimeVal tv{static_cast<int32_t>(kWaitBound.count() / 1000), 0};
  EXPECT_EQ(udt_select(0, rs, nullptr, nullptr, &tv), 1);
  EXPECT_NE(udt_UD_ISSET(rs, client), 0);
  udt_DEL_UDSET(rs);
  char buf[64];
  EXPECT_EQ(udt_recvmsg(client, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "reply");
  EXPECT_EQ(peer.RecvMsg(), std::optional<std::string>("second"));
  udt_close(client);
}

TEST(FlatBinding, FailureIsFetchedWithCodeAndMessage) {
  EXPECT_EQ(udt_close(123456), -1);
  const char* desc = nullptr;
  EXPECT_EQ(udt_getlasterror2(&desc), 5004);
  ASSERT_NE(desc, nullptr);
  EXPECT_NE(std::string(desc).find("Invalid socket ID"), std::string::npos) << desc;
}

TEST(FlatBinding, ZeroLengthReceiveProbesTheConnection) {
  int32_t unconnected = udt_socket(AF_INET, 1, 0);
  ASSERT_NE(unconnected, -1);
  char b;
  EXPECT_EQ(udt_recv(unconnected, &b, 0, 0), -1) << "an unconnected socket is not alive";
  udt_close(unconnected);

  RawListener listener;
  int32_t client = udt_socket(AF_INET, 1, 0);
  sockaddr_in to = Loopback(listener.Port());
  ASSERT_EQ(udt_connect(client, &to, sizeof to), 0);
  RawSocket peer = listener.Accept();
  ASSERT_TRUE(peer.Valid());
  ASSERT_TRUE(Settle(client, peer.Get(), false));
  EXPECT_EQ(udt_recv(client, &b, 0, 0), 0) << "a live connection";

  peer.Close();
  ASSERT_TRUE(WaitUntil([&] { return StateOf(client) != CONNECTED; }))
      << "the peer's close never reached the client";
  EXPECT_EQ(udt_recv(client, &b, 0, 0), -1) << "a connection the peer closed";
  udt_close(client);
  EXPECT_EQ(udt_recv(client, &b, 0, 0), -1) << "a socket closed here";
}

TEST(SetSockOptSeam, HookReplacesTheCallAndCanReachUdt) {
  SockOptHookGuard guard;
  int32_t s = udt_socket(AF_INET, 1, 0);
  ASSERT_NE(s, -1);
  int calls = 0;
  udt_SetSockOptHook([&](int32_t u, int32_t level, int32_t opt, const void*, int32_t len) {
    ++calls;
    int32_t tooSmall = 75;
    return udt_setsockopt_direct(u, level, opt, &tooSmall, len);
  });
  int32_t mss = 1052;
  EXPECT_EQ(udt_setsockopt(s, 0, 0, &mss, 4), -1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(udt_getlasterror2(nullptr), 5003);

  udt_SetSockOptHook(nullptr);
  EXPECT_EQ(udt_setsockopt(s, 0, 0, &mss, 4), 0);
  int value = 0;
  int valueLen = sizeof value;
  ASSERT_EQ(UDT::getsockopt(s, 0, UDT_MSS, &value, &valueLen), 0);
  EXPECT_EQ(value, 1052);
  udt_close(s);
}

TEST(SetSockOptSeam, ExceptionFromHookDoesNotCrossTheBinding) {
  SockOptHookGuard guard;
  udt_SetSockOptHook([](int32_t, int32_t, int32_t, const void*, int32_t) -> int32_t {
    throw std::runtime_error("hook failed");
  });
  int32_t mss = 1052;
  EXPECT_EQ(udt_setsockopt(1, 0, 0, &mss, 4), -1);
}

}  // namespace
