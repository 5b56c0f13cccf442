// udtbench-path as a real process: the round trip, the rate and the loss it
// sets, measured with sockets in its namespaces; that it removes them however
// it ends; and a file sent with udtbench-cli across it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonDocument>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "events.h"
#include "files.h"
#include "program_process.h"
#include "wait.h"

namespace netpath_test {
namespace {

using namespace test_support;

constexpr char kA[] = "198.18.0.1";
constexpr char kB[] = "198.18.0.2";

bool Exists(const std::string& Namespace) {
  struct stat st;
  return ::stat(("/run/netns/" + Namespace).c_str(), &st) == 0;
}

double Seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }

double RealNow() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return Seconds(t);
}

// A UDP socket bound to Address:Port inside a namespace: this thread enters it
// for the socket's creation only, and the socket stays there.
int UdpSocketIn(const std::string& Namespace, const char* Address, uint16_t Port) {
  const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = ::open(("/run/netns/" + Namespace).c_str(), O_RDONLY | O_CLOEXEC);
  int s = -1;
  if (home >= 0 && there >= 0 && ::setns(there, CLONE_NEWNET) == 0) {
    s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    inet_pton(AF_INET, Address, &a.sin_addr);
    const int on = 1, buffer = 4 << 20;
    ::setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    timeval bound{2, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(s);
      s = -1;
    }
    EXPECT_EQ(::setns(home, CLONE_NEWNET), 0);
  }
  if (home >= 0) ::close(home);
  if (there >= 0) ::close(there);
  return s;
}

// Receives one datagram; the kernel's arrival time in Arrival. Its size, or -1.
ssize_t Receive(int Socket, char* Buffer, size_t Size, double& Arrival) {
  char control[256];
  iovec io{Buffer, Size};
  msghdr m{};
  m.msg_iov = &io;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(Socket, &m, 0);
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); n >= 0 && c; c = CMSG_NXTHDR(&m, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
      Arrival = Seconds(*reinterpret_cast<timespec*>(CMSG_DATA(c)));
  return n;
}

bool SendTo(int Socket, const char* Address, uint16_t Port, const std::string& Data) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(Port);
  inet_pton(AF_INET, Address, &a.sin_addr);
  return ::sendto(Socket, Data.data(), Data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
         static_cast<ssize_t>(Data.size());
}

// udtbench-path with namespaces named after this process and Tag, started with
// Settings; its JSON lines on standard output.
class EmulatedPath : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "udtbench-path needs root to create network namespaces";
  }
  void Start(const std::string& Tag, QStringList Settings) {
    Name = "t" + std::to_string(::getpid()) + Tag;
    Settings << "--name" << QString::fromStdString(Name);
    Path = std::make_unique<ProgramProcess>(UDTBENCH_PATH_EXE, Settings);
    ASSERT_TRUE(Path->WaitForOutput("\"ready\"")) << Path->Err().toStdString();
  }
  // Ends the path with SIGTERM; the counters of direction Direction at its end.
  QJsonObject Stop(const char* Direction = "ab") {
    Path->Process().terminate();
    EXPECT_EQ(Path->Finish(), 0) << Path->Err().toStdString();
    EXPECT_FALSE(Exists(A()) || Exists(B())) << "the namespaces outlived the path";
    const auto end = Events(*Path, "end");
    return end.empty() ? QJsonObject() : end.back().value(Direction).toObject();
  }
  // The counters of Direction in the path's latest "stats" line.
  QJsonObject Latest(const char* Direction = "ab") {
    const auto stats = Events(*Path, "stats");
    return stats.empty() ? QJsonObject() : stats.back().value(Direction).toObject();
  }
  std::string A() const { return Name + "-a"; }
  std::string B() const { return Name + "-b"; }

  std::string Name;
  std::unique_ptr<ProgramProcess> Path;
};

TEST_F(EmulatedPath, RoundTripIsTwiceTheDelayPlusSerializationAndAStreamKeepsTheRate) {
  Start("r", {"--rtt", "40ms", "--rate", "20mbit", "--queue", "4000000"});
  const int a = UdpSocketIn(A(), kA, 7000), b = UdpSocketIn(B(), kB, 7000);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);

  // Echoes of 1000-byte datagrams (1028 bytes as IP packets), one at a time.
  std::vector<double> rtts;
  char buffer[2048];
  for (int i = 0; i < 25; ++i) {
    double sent = RealNow(), atB = 0, back = 0;
    ASSERT_TRUE(SendTo(a, kB, 7000, std::string(1000, 'e')));
    ASSERT_EQ(Receive(b, buffer, sizeof buffer, atB), 1000) << "no echo request in " << i;
    ASSERT_TRUE(SendTo(b, kA, 7000, std::string(buffer, 1000)));
    ASSERT_EQ(Receive(a, buffer, sizeof buffer, back), 1000) << "no echo in " << i;
    rtts.push_back((back - sent) * 1e3);
  }
  std::nth_element(rtts.begin(), rtts.begin() + 12, rtts.end());
  const double expected = 40 + 2 * 1028 * 8 / 20e6 * 1e3;
  EXPECT_NEAR(rtts[12], expected, expected * 0.05);

  // 1500 full-size packets at once drain from the queue at the rate.
  constexpr int kPackets = 1500;
  std::atomic<int> received{0};
  double first = 0, last = 0;
  std::thread receiver([&] {
    char data[2048];
    double t = 0;
    while (received < kPackets && Receive(b, data, sizeof data, t) == 1472) {
      if (received++ == 0) first = t;
      last = t;
    }
  });
  for (int i = 0; i < kPackets; ++i) ASSERT_TRUE(SendTo(a, kB, 7000, std::string(1472, 's')));
  receiver.join();
  ASSERT_EQ(received, kPackets);
  const double mbit = (kPackets - 1) * 1500 * 8 / (last - first) / 1e6;
  EXPECT_NEAR(mbit, 20, 20 * 0.03);
  ::close(a);
  ::close(b);
  const QJsonObject ab = Stop();
  EXPECT_EQ(ab.value("packets_out").toInteger(), kPackets + 25);
  EXPECT_EQ(ab.value("queue_drops").toInteger(), 0);
  EXPECT_GT(ab.value("max_queue_bytes").toInteger(), 1'000'000);
}

TEST_F(EmulatedPath, RandomLossMatchesItsSettingAndTheCountedDrops) {
  Start("l", {"--delay", "1ms", "--rate", "0", "--loss", "2%", "--seed", "7"});
  const int a = UdpSocketIn(A(), kA, 7000), b = UdpSocketIn(B(), kB, 7000);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  constexpr int kPackets = 20000;
  std::atomic<int> received{0};
  std::thread receiver([&] {
    char data[256];
    double t = 0;
    while (Receive(b, data, sizeof data, t) == 100) ++received;
  });
  // In steps small enough for the receiving socket's buffer.
  for (int i = 0; i < kPackets; ++i) {
    ASSERT_TRUE(SendTo(a, kB, 7000, std::string(100, 'l')));
    if (i % 200 == 199) {
      ASSERT_TRUE(WaitUntil([&] { return received > (i + 1) * 0.9; })) << "stuck after " << i;
    }
  }
  // Until every packet has arrived or been dropped on the path.
  EXPECT_TRUE(WaitWithEvents([&] {
    return received + Latest().value("random_drops").toInteger() >= kPackets;
  })) << received << " arrived; " << QJsonDocument(Latest()).toJson().toStdString();
  const QJsonObject ab = Stop();
  ::shutdown(b, SHUT_RDWR);
  receiver.join();
  const double loss = 1 - received / static_cast<double>(kPackets);
  EXPECT_NEAR(loss, 0.02, 0.02 * 0.25);
  // What the path says it dropped is what did not arrive.
  EXPECT_EQ(ab.value("random_drops").toInteger(), kPackets - received)
      << QJsonDocument(ab).toJson().toStdString();
  EXPECT_EQ(ab.value("queue_drops").toInteger() + ab.value("write_drops").toInteger(), 0);
  ::close(a);
  ::close(b);
}

TEST_F(EmulatedPath, NamespacesGoWithTheCommandTheSignalAndSigkill) {
  // With a command: it runs while they exist, and its exit code is the path's.
  Name = "t" + std::to_string(::getpid()) + "c";
  ProgramProcess command(UDTBENCH_PATH_EXE,
                         {"--name", QString::fromStdString(Name), "--", "sh", "-c",
                          "test -e /run/netns/$UDTBENCH_PATH_A && test -e /run/netns/$UDTBENCH_PATH_B && exit 3"});
  EXPECT_EQ(command.Finish(), 3) << command.Err().toStdString();
  EXPECT_FALSE(Exists(A()) || Exists(B()));

  Start("k", {});
  ASSERT_TRUE(Exists(A()) && Exists(B()));
  Path->Process().kill();
  EXPECT_TRUE(WaitUntil([&] { return !Exists(A()) && !Exists(B()); }))
      << "the namespaces outlived a killed path";
  // The name is free again at once.
  Start("k", {});
  Stop();
}

// With UDT4's own control, and with the fixed-rate one at both ends, whose
// receiving end reports its losses again in packets of its own making.
TEST_F(EmulatedPath, AFileCrossesALossyPathWholeAndTheServerSawTheLoss) {
  for (const QStringList& control : {QStringList{}, QStringList{"--cc", "fixed:50"}}) {
    SCOPED_TRACE(control.join(' ').toStdString());
    Start("t", {"--rtt", "20ms", "--rate", "100mbit", "--loss", "1%"});
    TempFolder in, out;
    const auto file = out.Path() / "sample.bin";
    WriteFile(file, 2'000'000, 5);
    const QString folder = QString::fromStdString(in.Path().string());
    ProgramProcess serve("ip", QStringList{"netns", "exec", QString::fromStdString(B()), UDTBENCH_CLI_EXE,
                                           "serve", "--listen", QString(kB) + ":9000", "--folder", folder,
                                           "--json"} + control);
    ASSERT_TRUE(serve.WaitForOutput("\"listening\"")) << serve.Err().toStdString();
    ProgramProcess send("ip", QStringList{"netns", "exec", QString::fromStdString(A()), UDTBENCH_CLI_EXE,
                                          "send", QString(kB) + ":9000",
                                          QString::fromStdString(file.string()), "--json"} + control);
    ASSERT_EQ(send.Finish(), 0) << send.Err().toStdString();
    ASSERT_TRUE(serve.WaitForOutput("\"event\":\"file\""));
    serve.Process().terminate();
    EXPECT_EQ(serve.Finish(), 0);
    const QJsonObject ab = Stop();

    const std::string expected = Sha256sum(file);
    EXPECT_EQ(Sha256sum(in.Path() / "sample.bin"), expected);
    const auto received = Events(serve, "file");
    const auto sent = Events(send, "sent");
    ASSERT_EQ(received.size(), 1u);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(received[0].value("sha256").toString().toStdString(), expected);
    EXPECT_GT(received[0].value("loss").toInteger(), 0) << serve.Out().toStdString();
    EXPECT_GT(sent[0].value("retransmits").toInteger(), 0) << send.Out().toStdString();
    // Every data packet the path dropped was sent and never received. (More may
    // be missing on the server's count: the sender's resends of packets whose
    // acknowledgement was late, still under way when the server reported, and on
    // a loaded machine the datagrams its host had no room for.)
    EXPECT_GT(ab.value("udt_data_drops").toInteger(), 0);
    EXPECT_GE(sent[0].value("data_packets_sent").toInteger() -
                  received[0].value("data_packets_received").toInteger(),
              ab.value("udt_data_drops").toInteger() - 3);
  }
}

}  // namespace
}  // namespace netpath_test
