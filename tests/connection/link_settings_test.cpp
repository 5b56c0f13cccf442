// Link settings on real UDT4 connections: what each end reads back after the
// connect, and a value UDT4 refuses.
#include <future>

#include "connection_support.h"

namespace connection_test {
namespace {

TEST_F(ConnectionTest, LinkSettingsReachUdt4OnBothEndsAndTheSmallerSegmentSizeWins) {
  MakeServer();
  TLinkSettings listen;
  listen.Mss = 1300;
  listen.FlowWindow = 4096;
  listen.FixedRateMbps = 50;
  Server->SetLinkSettings(listen);
  std::promise<std::optional<TLinkSettingsInForce>> accepted;
  Hub.SetBeforeServe([&](int, TUDTCustomIpClient* c) { accepted.set_value(c->SettingsInForce()); });
  Port = OpenOnFreePort(*Server);
  ASSERT_TRUE(Server->Listening());

  auto client = MakeClient(Port);
  TLinkSettings ask;
  ask.Mss = 1500;
  ask.SndBuf = 4 << 20;
  ask.UdpSndBuf = 1 << 20;
  ask.UdpRcvBuf = 1 << 20;
  ask.MaxRateMbps = 800;
  client->SetLinkSettings(ask);
  client->Open();
  ASSERT_TRUE(client->Connected());
  const auto mine = client->SettingsInForce();
  ASSERT_TRUE(mine);
  EXPECT_EQ(mine->Mss, 1300) << "the listener's smaller segment size is the connection's";
  // UDT4 keeps the buffer in packets of the segment size it was set with.
  EXPECT_EQ(mine->SndBuf, (4 << 20) / (1500 - 28) * (1300 - 28));
  EXPECT_EQ(mine->UdpSndBuf, 1 << 20);
  EXPECT_EQ(mine->UdpRcvBuf, 1 << 20);
  EXPECT_EQ(mine->FlowWindow, 25600);
  EXPECT_EQ(mine->MaxBandwidth, 100000000);
  EXPECT_EQ(mine->FixedRateMbps, 0);

  auto future = accepted.get_future();
  ASSERT_EQ(future.wait_for(kWaitBound), std::future_status::ready) << "no connection was accepted";
  const auto theirs = future.get();
  ASSERT_TRUE(theirs);
  EXPECT_EQ(theirs->Mss, 1300);
  EXPECT_EQ(theirs->FlowWindow, 4096);
  EXPECT_EQ(theirs->FixedRateMbps, 50) << "the accepted connection runs its listener's control";
  EXPECT_EQ(theirs->MaxBandwidth, -1);
  EXPECT_TRUE(Echo(*client, u"tuned"));
}

TEST_F(ConnectionTest, ASegmentSizeUdt4RefusesTakesTheErrorPathNamingTheOption) {
  auto client = MakeClient(1);
  TLinkSettings ask;
  ask.Mss = 50;
  client->SetLinkSettings(ask);
  int errors = 0;
  client->OnError = [&](TObject*, int32_t, const char*) { ++errors; };
  client->Open();
  EXPECT_FALSE(client->Active());
  EXPECT_GE(errors, 1);
  ASSERT_TRUE(client->SettingRefused());
  EXPECT_EQ(client->SettingRefused()->Text().rfind("--mss 50: UDT4 refused it (", 0), 0u)
      << client->SettingRefused()->Text();
}

}  // namespace
}  // namespace connection_test
