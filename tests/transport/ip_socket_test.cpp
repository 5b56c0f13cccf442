// The IP socket: host and port look-ups, socket addresses, the local bind, the
// host and port property rules, and the operating-system datagram calls.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <udt/udt.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ip_socket.h"
#include "udt_peer.h"

using namespace transport_test;

namespace {

// Exposes the protected local bind to the tests.
class BindableIpSocket : public TUDTIpSocket {
 public:
  using TUDTIpSocket::TUDTIpSocket;
  using TUDTIpSocket::BindLocal;
};

// The message of the conversion failure that a port text raises, or "<none>".
std::string ConversionFailure(TUDTIpSocket& s, const std::string& port) {
  try {
    s.LookupPort(port);
  } catch (const EConvertError& e) {
    return e.what();
  }
  return "<none>";
}

TEST(HostLookup, EmptyHostIsEveryLocalAddress) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.LookupHostAddr(""), "0.0.0.0");
}

TEST(HostLookup, DottedAddressIsReturnedUnchanged) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.LookupHostAddr("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(s.LookupHostAddr("127.0.0.2"), "127.0.0.2");
}

TEST(HostLookup, TextStartingWithADigitThatIsNoAddressIsEmpty) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.LookupHostAddr("999.1.1.1"), "");
  EXPECT_EQ(s.LookupHostAddr("1abc"), "");
  EXPECT_EQ(s.LookupHostAddr("255.255.255.255"), "") << "the all-ones failure value";
}

TEST(HostLookup, LocalhostResolvesToALoopbackAddress) {
  TUDTIpSocket s(nullptr);
  const std::string a = s.LookupHostAddr("localhost");
  EXPECT_EQ(a.rfind("127.", 0), 0u) << a;
  EXPECT_NE(inet_addr(a.c_str()), INADDR_NONE) << a;
}

TEST(HostLookup, LoopbackAddressHasAName) {
  TUDTIpSocket s(nullptr);
  EXPECT_FALSE(s.LookupHostName("127.0.0.1").empty());
  EXPECT_EQ(s.LookupHostName("999.1.1.1"), "");
  EXPECT_EQ(s.LookupHostName(""), "");
}

TEST(HostLookup, LocalHostNameIsTheMachinesName) {
  TUDTIpSocket s(nullptr);
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(s.LocalHostName(), std::string(name));
}

TEST(PortLookup, EmptyTextIsPortZero) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.LookupPort(""), 0);
}

TEST(PortLookup, ServiceNameGivesItsPort) {
  servent* se = getservbyname("http", nullptr);
  if (!se) GTEST_SKIP() << "this machine has no services database entry for http";
  const uint16_t expected = ntohs(static_cast<uint16_t>(se->s_port));
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.LookupPort("http"), expected);
  if (getservbyname("http", "tcp")) {
    EXPECT_EQ(s.LookupPort("http", "tcp"), expected);
  }
}

TEST(PortLookup, NumbersAreReadAsIntegers) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.LookupPort("2048"), 2048);
  EXPECT_EQ(s.LookupPort("0"), 0);
  EXPECT_EQ(s.LookupPort("  80"), 80) << "leading blanks";
  EXPECT_EQ(s.LookupPort("+80"), 80);
}

TEST(PortLookup, HexadecimalForms) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.LookupPort("$50"), 80);
  EXPECT_EQ(s.LookupPort("0x50"), 80);
  EXPECT_EQ(s.LookupPort("0X50"), 80);
  EXPECT_EQ(s.LookupPort("x50"), 80);
  EXPECT_EQ(s.LookupPort("X50"), 80);
  EXPECT_EQ(s.LookupPort("$fF"), 255);
}

TEST(PortLookup, ValuesOutsideSixteenBitsKeepTheirLowBits) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.LookupPort("-1"), 65535);
  EXPECT_EQ(s.LookupPort("65536"), 0);
  EXPECT_EQ(s.LookupPort("70000"), 70000 & 0xFFFF);
  EXPECT_EQ(s.LookupPort("2147483647"), 65535);
  EXPECT_EQ(s.LookupPort("-2147483648"), 0);
}

TEST(PortLookup, TextThatIsNoIntegerRaisesTheConversionFailure) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(ConversionFailure(s, "abc"), "''abc'' is not a valid integer value");
  EXPECT_EQ(ConversionFailure(s, "80 "), "''80 '' is not a valid integer value");
  for (const char* bad : {"8 0", "0x", "$", "-", " ", "1.5", "2147483648", "-2147483649",
                          "$100000000", "80abc"})
    EXPECT_NE(ConversionFailure(s, bad), "<none>") << "'" << bad << "' was accepted";
}

TEST(PortLookup, ConversionFailureCarriesTheText) {
  TUDTIpSocket s(nullptr);
  try {
    s.LookupPort("abc");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"''abc'' is not a valid integer value");
  }
}

TEST(ProtocolLookup, KnownAndUnknownNames) {
  TUDTIpSocket s(nullptr);
  protoent* pe = getprotobyname("udp");
  if (pe) {
    EXPECT_EQ(s.LookupProtocol("udp"), pe->p_proto);
  }
  EXPECT_EQ(s.LookupProtocol("no-such-protocol"), 0);
}

TEST(SocketAddress, EmptyHostAndPortGiveAnyAddressAndPortZero) {
  TUDTIpSocket s(nullptr);
  sockaddr_in a = s.GetSocketAddr("", "");
  EXPECT_EQ(a.sin_family, 2);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(a.sin_port, 0);
}

TEST(SocketAddress, HostAndPortInNetworkOrder) {
  TUDTIpSocket s(nullptr);
  sockaddr_in a = s.GetSocketAddr("127.0.0.1", "2048");
  EXPECT_EQ(a.sin_family, AF_INET);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(a.sin_port, htons(2048));
  const auto* octets = reinterpret_cast<const unsigned char*>(&a.sin_addr);
  EXPECT_EQ(octets[0], 127);
  EXPECT_EQ(octets[3], 1);
}

TEST(SocketAddress, HostThatDoesNotResolveGivesAllOnes) {
  TUDTIpSocket s(nullptr);
  sockaddr_in a = s.GetSocketAddr("999.1.1.1", "1");
  EXPECT_EQ(a.sin_addr.s_addr, INADDR_NONE);
}

TEST(SocketAddress, BadPortRaises) {
  TUDTIpSocket s(nullptr);
  EXPECT_THROW(s.GetSocketAddr("127.0.0.1", "abc"), EConvertError);
}

class LocalBind : public ::testing::Test {
 protected:
  void SetUp() override { FLog.AttachWithTransfers(FSocket); }
  sockaddr_in BoundName() {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    int len = sizeof a;
    EXPECT_EQ(UDT::getsockname(FSocket.Handle(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    return a;
  }
  EventLog FLog;  // declared first: it outlives the socket's last events
  BindableIpSocket FSocket{nullptr};
};

TEST_F(LocalBind, EmptyHostAndPortBindEveryAddressOnAPortUdtPicks) {
  FSocket.Open();
  ASSERT_TRUE(FSocket.BindLocal());
  sockaddr_in a = BoundName();
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_NE(a.sin_port, 0);
  EXPECT_EQ(FLog.Count("error:"), 0);
  EXPECT_TRUE(FSocket.Active());
}

TEST_F(LocalBind, BindsTheGivenHostAndPort) {
  FSocket.SetLocalHost("127.0.0.1");
  FSocket.SetLocalPort("0");
  FSocket.Open();
  ASSERT_TRUE(FSocket.BindLocal());
  sockaddr_in a = BoundName();
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  ASSERT_NE(a.sin_port, 0);

  // The bound address is where a raw client reaches it.
  ASSERT_EQ(udt_listen(FSocket.Handle(), 5), 0);
  RawSocket client(UDT::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in to = Loopback(ntohs(a.sin_port));
  EXPECT_EQ(UDT::connect(client.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
}

TEST_F(LocalBind, ClosedSocketGivesFalseWithoutACall) {
  EXPECT_FALSE(FSocket.BindLocal());
  FSocket.Open();
  FSocket.Close();
  FLog.Clear();
  EXPECT_FALSE(FSocket.BindLocal());
  EXPECT_TRUE(FLog.Entries().empty()) << "a bind of the closed handle would have failed";
}

TEST_F(LocalBind, FailedBindReportsAndCloses) {
  FSocket.Open();
  ASSERT_TRUE(FSocket.BindLocal());
  EXPECT_FALSE(FSocket.BindLocal()) << "UDT refuses a second bind";
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"create", "error:5000", "destroy"}));
  EXPECT_FALSE(FSocket.Active());
}

TEST_F(LocalBind, BadPortRaisesWithoutAnErrorEvent) {
  FSocket.SetLocalPort("abc");
  FSocket.Open();
  EXPECT_THROW(FSocket.BindLocal(), EConvertError);
  EXPECT_EQ(FLog.Count("error:"), 0);
  EXPECT_TRUE(FSocket.Active());
}

TEST(IpSocketProperties, NewObjectIsAnIPv4SocketWithEmptyTexts) {
  TUDTIpSocket s(nullptr);
  EXPECT_EQ(s.Domain(), pfINET);
  EXPECT_EQ(s.LocalHost(), "");
  EXPECT_EQ(s.LocalPort(), "");
  EXPECT_EQ(s.RemoteHost(), "");
  EXPECT_EQ(s.RemotePort(), "");
  EXPECT_FALSE(s.Active());
}

TEST(IpSocketProperties, SameTextKeepsTheSocketOpen) {
  EventLog log;
  TUDTIpSocket s(nullptr);
  log.AttachWithTransfers(s);
  s.SetRemoteHost("127.0.0.1");
  s.SetRemotePort("2048");
  s.Open();
  s.SetRemoteHost("127.0.0.1");
  s.SetRemotePort("2048");
  s.SetLocalHost("");
  s.SetLocalPort("");
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(log.Entries(), std::vector<std::string>{"create"});
}

TEST(IpSocketProperties, DifferentTextClosesWithoutReopening) {
  EventLog log;
  TUDTIpSocket s(nullptr);
  log.AttachWithTransfers(s);
  s.SetRemoteHost("localhost");
  s.Open();
  s.SetRemoteHost("LOCALHOST");  // case counts
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.RemoteHost(), "LOCALHOST");
  s.Open();
  s.SetRemotePort("1");
  EXPECT_FALSE(s.Active());
  s.Open();
  s.SetLocalHost("127.0.0.1");
  EXPECT_FALSE(s.Active());
  s.Open();
  s.SetLocalPort("2048");
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(log.Count("create"), 4);
  EXPECT_EQ(log.Count("destroy"), 4);
  EXPECT_EQ(s.LocalPort(), "2048");
}

TEST(IpSocketProperties, LoadingOrDesigningStoresTheTextOnly) {
  TUDTIpSocket s(nullptr);
  s.Open();
  s.BeginLoading();
  s.SetRemoteHost("127.0.0.1");
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(s.RemoteHost(), "127.0.0.1");
  s.EndLoading();
  s.SetDesigning(true);
  s.SetLocalPort("2048");
  EXPECT_TRUE(s.Active());
  EXPECT_EQ(s.LocalPort(), "2048");
  EXPECT_EQ(StateOf(s.Handle()), INIT);
}

TEST(DatagramCalls, SendToOnAUdtHandleTakesTheErrorPath) {
  EventLog log;
  TUDTIpSocket s(nullptr);
  log.AttachWithTransfers(s);
  s.Open();
  log.Clear();
  EXPECT_EQ(s.SendTo("abc", 3, Loopback(9), 0), -1);
  ASSERT_EQ(log.Entries().size(), 3u);
  EXPECT_EQ(log.Entries()[0], "send:3");
  EXPECT_EQ(log.Entries()[1].rfind("error:", 0), 0u);
  EXPECT_EQ(log.Entries()[2], "destroy");
  EXPECT_FALSE(s.Active());
  EXPECT_EQ(s.BytesSent(), 0u);
}

TEST(DatagramCalls, ReceiveFromOnAUdtHandleTakesTheErrorPath) {
  EventLog log;
  TUDTIpSocket s(nullptr);
  log.AttachWithTransfers(s);
  s.Open();
  log.Clear();
  char buf[16];
  sockaddr_in from;
  std::memset(&from, 0, sizeof from);
  int32_t len = sizeof from;
  EXPECT_EQ(s.ReceiveFrom(buf, sizeof buf, from, len, 0), -1);
  ASSERT_EQ(log.Entries().size(), 2u);
  EXPECT_EQ(log.Entries()[0].rfind("error:", 0), 0u);
  EXPECT_EQ(log.Entries()[1], "destroy");
  EXPECT_EQ(s.BytesReceived(), 0u);
}

}  // namespace
