// The client window's logic over a recording view, against a real UDT server:
// Open, Close, Send, the traffic views and the error log.
#include <atomic>
#include <regex>
#include <thread>

#include "client_fixture.h"
#include "raw_udt.h"

namespace client_test {
namespace {

using ClientFormTest = ClientFixture;

TEST_F(ClientFormTest, SendShowsEachFrameAsCountThenTextAndLogsTheReply) {
  Connect();
  view.edtContent = u"hi";
  form->Button2Click(nullptr);

  // 12 code units: the count shows as U+240C (12) and U+2400 (its NUL high half).
  ASSERT_EQ(view.Sent.size(), 2u);
  EXPECT_EQ(U8(view.Sent[0]), U8(u"\u240C\u2400"));
  EXPECT_EQ(U8(view.Sent[1]), "09:05:03: hi");
  ASSERT_GE(view.Received.size(), 2u);
  EXPECT_EQ(U8(view.Received[0]), U8(u"\u2411\u2400"));
  EXPECT_EQ(U8(view.AllReceived()), U8(u"\u2411\u2400" + protocol::Reply(u"09:05:03: hi")));
  ASSERT_EQ(view.Log.size(), 1u);
  EXPECT_EQ(U8(view.Log[0]), U8(protocol::Reply(u"09:05:03: hi")));
  ASSERT_TRUE(server->WaitForKind("message"));
  EXPECT_EQ(U8(server->Messages().at(0)), "09:05:03: hi");
}

TEST_F(ClientFormTest, TimeStampFollowsTheClockAndTheUsersTimeSeparator) {
  Connect();
  view.edtContent = u"";
  form->SetClock([] {
    std::tm t{};
    t.tm_hour = 21;
    t.tm_min = 7;
    t.tm_sec = 9;
    return t;
  });
  form->SetFormatSettings(TFormatSettings{u'.', u','});
  form->Button2Click(nullptr);
  // The system clock, with the default separator.
  form->SetClock(nullptr);
  form->SetFormatSettings(TFormatSettings{});
  form->Button2Click(nullptr);

  ASSERT_TRUE(server->WaitForKind("message", 2));
  auto messages = server->Messages();
  EXPECT_EQ(U8(messages[0]), "21.07.09. ");
  EXPECT_EQ(messages[1].size(), 10u);
  EXPECT_TRUE(std::regex_match(U8(messages[1]), std::regex("([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]: ")))
      << U8(messages[1]);
  EXPECT_EQ(U8(view.Log.at(0)), U8(protocol::Reply(u"21.07.09. ")));
}

TEST_F(ClientFormTest, OpenKeepsAnUnchangedConnectionAndReconnectsAfterAChange) {
  Connect();
  const int32_t first = form->udtClient1->Handle();
  form->Button1Click(nullptr);
  EXPECT_EQ(form->udtClient1->Handle(), first);
  view.edtContent = u"one";
  form->Button2Click(nullptr);

  // Another address text for the same peer: the old connection goes, a new one comes.
  view.Edit3 = u"localhost";
  form->Button1Click(nullptr);
  EXPECT_TRUE(form->udtClient1->Connected());
  EXPECT_NE(form->udtClient1->Handle(), first);
  view.edtContent = u"two";
  form->Button2Click(nullptr);

  // Another port: a second server.
  TempFolder otherFolder;
  TestServer other(otherFolder.Path());
  ASSERT_TRUE(other.Listening());
  view.Edit2 = Utf8ToUtf16(other.PortText());
  form->Button1Click(nullptr);
  view.edtContent = u"three";
  form->Button2Click(nullptr);

  ASSERT_TRUE(server->WaitForKind("end", 2)) << "the replaced connections did not end";
  auto units = server->Units();
  std::vector<std::pair<int, std::string>> seen;
  for (const auto& u : units)
    if (u.Kind != "end") seen.emplace_back(u.Conversation, U8(u.Text));
  EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{1, "09:05:03: one"},
                                                             {2, "09:05:03: two"}}));
  ASSERT_TRUE(other.WaitForKind("message"));
  EXPECT_EQ(U8(other.Messages().at(0)), "09:05:03: three");
  EXPECT_EQ(view.Log.size(), 3u);
  form->Button4Click(nullptr);
}

TEST_F(ClientFormTest, CloseEndsTheConversationAndDoesNothingWhenClosed) {
  form->Button4Click(nullptr);
  EXPECT_FALSE(form->udtClient1->Active());
  Connect();
  form->Button4Click(nullptr);
  EXPECT_FALSE(form->udtClient1->Active());
  EXPECT_TRUE(server->WaitForKind("end")) << "the server did not see the close";
  form->Button4Click(nullptr);
  EXPECT_TRUE(view.Log.empty());
  EXPECT_TRUE(view.Errors.empty());
}

TEST_F(ClientFormTest, UnreachablePeerIsLoggedAndTheClientIsClosedAgain) {
  view.Edit2 = Utf8ToUtf16(std::to_string(FreeUdpPort()));
  form->Button1Click(nullptr);
  EXPECT_FALSE(form->udtClient1->Active());
  ASSERT_EQ(view.Log.size(), 1u);
  EXPECT_EQ(U8(view.Log[0]), "Connection setup failure: connection time out.");
}

TEST_F(ClientFormTest, CancelFromTheWindowsEventsGivesUpAnOpenToAPeerThatNeverAnswers) {
  // A plain UDP socket takes the handshakes and never answers them.
  const int quiet = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at = Loopback(0);
  socklen_t len = sizeof at;
  ASSERT_EQ(::bind(quiet, reinterpret_cast<sockaddr*>(&at), len), 0);
  ASSERT_EQ(::getsockname(quiet, reinterpret_cast<sockaddr*>(&at), &len), 0);
  view.Edit2 = Utf8ToUtf16(std::to_string(ntohs(at.sin_port)));
  bool held = false;
  view.OnEvents = [&](int) {
    held = form->Cancellable() && !view.ConnectionButtonsEnabled && !view.SendFileEnabled;
    form->btnCancelClick(nullptr);
  };
  form->Button1Click(nullptr);
  const int32_t given = form->udtClient1->Handle();
  ::close(quiet);
  EXPECT_TRUE(held) << "the buttons were not held while the connect ran";
  // UDT4 gives up after seconds and logs its time-out; a cancel logs nothing.
  EXPECT_TRUE(view.Log.empty()) << U8(view.Log.at(0));
  EXPECT_TRUE(view.Errors.empty());
  EXPECT_FALSE(form->udtClient1->Active());
  EXPECT_TRUE(view.ConnectionButtonsEnabled && view.SendFileEnabled && !form->Cancellable());
  EXPECT_TRUE(WaitUntil([&] { return StateOf(given) == CLOSED || StateOf(given) == NONEXIST; }))
      << "the given-up socket was never closed";
  view.Edit2 = Utf8ToUtf16(server->PortText());
  Connect();
}

// A reply that never comes (even), or stops after its count (odd), is ended
// from the window's events: by Cancel (0, 1), or by the window closing (2, 3).
class ReplyWaitTest : public ClientFixture, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Cases, ReplyWaitTest, ::testing::Range(0, 4));

TEST_P(ReplyWaitTest, CancelOrClosingEndsASendWhoseReplyNeverComesOrStopsAfterItsCount) {
  const bool countOnly = GetParam() & 1, closing = GetParam() & 2;
  RawListener peer;
  ASSERT_TRUE(peer.Ok());
  view.Edit2 = Utf8ToUtf16(std::to_string(peer.Port()));
  Connect();
  RawSocket conn = peer.Accept();
  ASSERT_TRUE(conn.Valid());
  // The count of a five-unit reply, and never its text.
  if (countOnly) ASSERT_TRUE(conn.SendAll(std::string("\x05\0\0\0", 4)));
  std::atomic<bool> ended{false};
  std::thread watchdog([&] {
    if (!WaitUntil([&] { return ended.load(); })) conn.Close();
  });
  bool held = false;
  view.OnEvents = [&](int) {
    held = form->Cancellable() && !view.ConnectionButtonsEnabled;
    // The peer's first bytes may take a few hundred ms to come through.
    if (!countOnly || form->udtClient1->BytesReceived() >= 4)
      closing ? form->Shutdown() : form->btnCancelClick(nullptr);
  };
  form->Button2Click(nullptr);
  ended = true;
  watchdog.join();
  EXPECT_TRUE(held) << "Cancel was not offered while the reply was awaited";
  // Closing shows what came of a reply cut after its count, as before.
  EXPECT_EQ(view.Log.size(), closing && countOnly ? 1u : 0u);
  EXPECT_FALSE(form->udtClient1->Active());
  EXPECT_TRUE(view.ConnectionButtonsEnabled && view.SendFileEnabled && !form->Cancellable());
}

TEST_F(ClientFormTest, PortTextThatRaisesLeavesAnOpenSocketUntilACorrectedOpen) {
  const std::u16string port = view.Edit2;
  view.Edit2 = u"abc";
  try {
    form->Button1Click(nullptr);
    ADD_FAILURE() << "no failure for the port text";
  } catch (const EConvertError& e) {
    EXPECT_EQ(U8(e.Message()), "''abc'' is not a valid integer value");
  }
  EXPECT_TRUE(form->udtClient1->Active());
  EXPECT_FALSE(form->udtClient1->Connected());
  const int32_t unconnected = form->udtClient1->Handle();

  view.Edit2 = port;
  form->Button1Click(nullptr);
  EXPECT_TRUE(form->udtClient1->Connected());
  EXPECT_NE(form->udtClient1->Handle(), unconnected);
  form->Button2Click(nullptr);
  ASSERT_TRUE(server->WaitForKind("message"));
  EXPECT_EQ(server->Units().at(0).Conversation, 1);
  EXPECT_EQ(view.Log.size(), 1u);
}

TEST_F(ClientFormTest, SendWithoutConnectionLogsEachFailureThenAnEmptyReply) {
  form->Button2Click(nullptr);
  // The sent view shows the pieces, which are handed over before the transport fails.
  ASSERT_EQ(view.Sent.size(), 2u);
  EXPECT_EQ(U8(view.Sent[1]), "09:05:03: edtContent");
  ASSERT_GE(view.Log.size(), 3u) << "a send and a receive failure, then the reply line";
  for (size_t i = 0; i + 1 < view.Log.size(); ++i) EXPECT_FALSE(view.Log[i].empty());
  EXPECT_TRUE(view.Log.back().empty());
  EXPECT_TRUE(view.Received.empty());
}

TEST_F(ClientFormTest, TrafficViewsShowControlCodeUnitsAndJoinOddPieces) {
  auto receive = [&](std::vector<uint8_t> bytes) {
    int32_t n = static_cast<int32_t>(bytes.size());
    form->udtClient1Receive(form->udtClient1, bytes.data(), n);
    EXPECT_EQ(n, static_cast<int32_t>(bytes.size())) << "the view changed the byte count";
  };
  receive({'A', 0, 0, 0, '\n', 0, 0x7F, 0, 'B'});
  receive({0, 'C'});
  receive({0});
  receive({});
  receive({0x2D, 0x4E});  // U+4E2D
  ASSERT_EQ(view.Received.size(), 4u);
  EXPECT_EQ(U8(view.Received[0]), U8(u"A\u2400\u240A\u2421"));
  EXPECT_EQ(U8(view.Received[1]), "B");
  EXPECT_EQ(U8(view.Received[2]), "C");
  EXPECT_EQ(U8(view.Received[3]), U8(u"\u4E2D"));
  EXPECT_TRUE(view.Sent.empty());
}

}  // namespace
}  // namespace client_test

namespace client_test {

TEST_F(ClientFormTest, LinkSettingsFromTheDialogApplyFromTheNextOpenAndAreReadBack) {
  Connect();
  ASSERT_EQ(view.InForce.size(), 1u);
  EXPECT_EQ(view.InForce[0].Mss, 1052);
  EXPECT_EQ(view.InForce[0].Block, protocol::kPieceSize);
  TLinkSettings asked;
  asked.Mss = 576;
  asked.Block = 4096;
  view.LinkSettingsAnswer = asked;
  form->btnLinkSettingsClick(nullptr);
  EXPECT_EQ(form->LinkSettings(), asked);
  form->Button1Click(nullptr);
  EXPECT_EQ(view.InForce.size(), 1u) << "the open connection keeps its own settings";
  form->Button4Click(nullptr);
  Connect();
  ASSERT_EQ(view.InForce.size(), 2u);
  EXPECT_EQ(view.InForce[1].Mss, 576);
  EXPECT_EQ(view.InForce[1].Block, 4096);
  EXPECT_EQ(form->FileSender().Block(), 4096);
  view.LinkSettingsAnswer.reset();
  form->btnLinkSettingsClick(nullptr);
  EXPECT_EQ(form->LinkSettings(), asked) << "a cancelled dialog changes nothing";
}

}  // namespace client_test
