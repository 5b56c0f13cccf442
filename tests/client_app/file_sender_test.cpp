// The file sender over a recording view, against a real UDT server storing the
// files: progress display, order of the units, and how a transfer ends.
#include <filesystem>
#include <fstream>

#include "client_fixture.h"
#include "file_stream.h"

namespace client_test {
namespace {

class FileSenderTest : public ClientFixture {
 protected:
  // Writes a file of n bytes into the source folder and sends it through the dialog.
  std::string SendFile(const std::string& name, size_t n) {
    std::string data = WriteFile(source.Path() / name, n);
    view.DialogAnswer = Utf8ToUtf16((source.Path() / name).string());
    form->btnSendFileClick(nullptr);
    return data;
  }

  // The units of one conversation, as "kind:value-or-text", without its end.
  std::vector<std::string> Script(int conversation = 1) const {
    std::vector<std::string> script;
    for (const auto& u : server->Units()) {
      if (u.Conversation != conversation) continue;
      if (u.Kind == "size" || u.Kind == "stored" || u.Kind == "cut")
        script.push_back(u.Kind + ":" + std::to_string(u.Value));
      else
        script.push_back(u.Kind + ":" + U8(u.Text));
    }
    return script;
  }

  std::vector<std::string> Pieces() const {
    std::vector<std::string> pieces;
    for (const auto& line : debug.Lines()) pieces.push_back(U8(line));
    return pieces;
  }

  std::string Stored(const std::string& name) const { return ReadFile(server->Folder() / name); }

  TempFolder source;
  DebugCapture debug;
};

TEST_F(FileSenderTest, EightFullPiecesMoveTheGaugeInEighthsRoundingHalvesToEven) {
  Connect();
  std::string handed;
  form->FileSender().OnPiece = [&](const TFileSender::TPiece& p) {
    handed.append(p.Data, p.Bytes);
    EXPECT_EQ(p.Sent, static_cast<int32_t>(handed.size()));
  };
  std::string data = SendFile("eight.bin", 8 * 2048);
  EXPECT_EQ(form->FileSender().Outcome(), TFileSender::TOutcome::Complete);
  EXPECT_EQ(handed, data);

  EXPECT_EQ(view.ProgressSets, (std::vector<int>{0, 12, 25, 38, 50, 62, 75, 88, 100}));
  std::vector<std::string> captions;
  for (const auto& c : view.Captions) captions.push_back(U8(c));
  EXPECT_EQ(captions, (std::vector<std::string>{
                          "2048/16384= 12.50", "4096/16384= 25.00", "6144/16384= 37.50",
                          "8192/16384= 50.00", "10240/16384= 62.50", "12288/16384= 75.00",
                          "14336/16384= 87.50", "16384/16384= 100.00"}));
  std::vector<std::string> expected(8, "Send Part Stream: 2048");
  expected.push_back("Send Part Stream: 0");
  EXPECT_EQ(Pieces(), expected);
  EXPECT_EQ(view.EventPasses, 9);

  // Nothing of the transfer reaches the sent view; the reply shows as received.
  EXPECT_TRUE(view.Sent.empty());
  EXPECT_EQ(U8(view.AllReceived()), U8(u"\u240F\u2400" + protocol::Reply(protocol::kFileRequest)));
  EXPECT_TRUE(view.Log.empty());
  EXPECT_EQ(view.SendFileStates, (std::vector<bool>{false, true}));

  ASSERT_TRUE(server->WaitForKind("stored"));
  EXPECT_EQ(Script(), (std::vector<std::string>{"request:#SendFile#", "size:16384",
                                                "name:eight.bin", "stored:16384"}));
  EXPECT_EQ(Stored("eight.bin"), data);

  // The send callback is back: the next message shows in the sent view again.
  form->Button2Click(nullptr);
  EXPECT_EQ(view.Sent.size(), 2u);
  EXPECT_EQ(U8(view.Log.at(0)), U8(protocol::Reply(u"09:05:03: edtContent")));
}

TEST_F(FileSenderTest, SmallFileCompletesAtTheFirstPiece) {
  Connect();
  std::string data = SendFile("small.txt", 1000);
  EXPECT_EQ(view.ProgressSets, (std::vector<int>{0, 100}));
  ASSERT_EQ(view.Captions.size(), 1u);
  EXPECT_EQ(U8(view.Captions[0]), "1000/1000= 100.00");
  EXPECT_EQ(Pieces(), (std::vector<std::string>{"Send Part Stream: 1000", "Send Part Stream: 0"}));
  ASSERT_TRUE(server->WaitForKind("stored"));
  EXPECT_EQ(Stored("small.txt"), data);
}

TEST_F(FileSenderTest, LargeFileTouchesTheCaptionOnlyWhenTheRoundedPercentChanges) {
  form->SetFormatSettings(TFormatSettings{u':', u','});
  Connect();
  std::vector<std::string> captionAtPass;
  view.OnEvents = [&](int pass) {
    if (pass <= 3) captionAtPass.push_back(U8(view.CaptionText));
  };
  std::string data = SendFile("million.bin", 1000000);

  EXPECT_EQ(captionAtPass,
            (std::vector<std::string>{"udt客户端", "udt客户端", "6144/1000000= 0,61"}));
  EXPECT_EQ(view.Captions.size(), 100u);
  // The rounded percentage reaches 100 before the last piece, so the caption
  // keeps the unrounded figure of that moment.
  EXPECT_EQ(U8(view.Captions.back()), "995328/1000000= 99,53");
  EXPECT_EQ(view.ProgressSets.size(), 101u);
  // 488 full pieces, one of 576 bytes, and the empty read.
  auto pieces = Pieces();
  ASSERT_EQ(pieces.size(), 490u);
  EXPECT_EQ(pieces[488], "Send Part Stream: 576");
  ASSERT_TRUE(server->WaitForKind("stored"));
  EXPECT_EQ(Stored("million.bin"), data);
}

TEST_F(FileSenderTest, SecondTransferRestartsTheGaugeAndKeepsTheOldCaptionUntilItChanges) {
  Connect();
  SendFile("first.bin", 1000);
  std::vector<std::pair<int, std::string>> atPass;
  view.OnEvents = [&](int pass) {
    if (pass <= 4) atPass.emplace_back(view.Progress, U8(view.CaptionText));
  };
  view.EventPasses = 0;
  std::string second = SendFile("second.bin", 1000000);
  EXPECT_EQ(atPass, (std::vector<std::pair<int, std::string>>{{0, "1000/1000= 100.00"},
                                                               {0, "1000/1000= 100.00"},
                                                               {1, "6144/1000000= 0.61"},
                                                               {1, "6144/1000000= 0.61"}}));
  ASSERT_TRUE(server->WaitForKind("stored", 2));
  EXPECT_EQ(Script(), (std::vector<std::string>{
                          "request:#SendFile#", "size:1000", "name:first.bin", "stored:1000",
                          "request:#SendFile#", "size:1000000", "name:second.bin",
                          "stored:1000000"}));
  EXPECT_EQ(Stored("second.bin"), second);
}

TEST_F(FileSenderTest, EmptyFileShowsAFullGaugeWithoutDividingByZero) {
  Connect();
  SendFile("empty.bin", 0);
  EXPECT_EQ(view.ProgressSets, (std::vector<int>{0, 100}));
  ASSERT_EQ(view.Captions.size(), 1u);
  EXPECT_EQ(U8(view.Captions[0]), "0/0= 100.00");
  EXPECT_EQ(Pieces(), (std::vector<std::string>{"Send Part Stream: 0"}));
  ASSERT_TRUE(server->WaitForKind("stored"));
  EXPECT_EQ(Script(), (std::vector<std::string>{"request:#SendFile#", "size:0", "name:empty.bin",
                                                "stored:0"}));
  EXPECT_TRUE(std::filesystem::exists(server->Folder() / "empty.bin"));
  EXPECT_EQ(std::filesystem::file_size(server->Folder() / "empty.bin"), 0u);
}

TEST_F(FileSenderTest, FileOfTwoGibibytesIsRefusedBeforeAnythingIsSent) {
  Connect();
  const auto path = source.Path() / "huge.bin";
  { std::ofstream(path, std::ios::binary); }
  std::filesystem::resize_file(path, uint64_t{1} << 31);  // sparse: takes no room
  view.DialogAnswer = Utf8ToUtf16(path.string());
  try {
    form->btnSendFileClick(nullptr);
    ADD_FAILURE() << "the file was not refused";
  } catch (const Exception& e) {
    EXPECT_NE(U8(e.Message()).find(path.string()), std::string::npos) << U8(e.Message());
    EXPECT_NE(U8(e.Message()).find("2147483648"), std::string::npos) << U8(e.Message());
  }
  EXPECT_TRUE(view.SendFileEnabled);
  EXPECT_TRUE(view.ConnectionButtonsEnabled);
  EXPECT_TRUE(Pieces().empty());
  EXPECT_TRUE(view.Received.empty());
  // The connection is clean: the next message is the first thing the server sees.
  form->Button2Click(nullptr);
  EXPECT_EQ(view.Sent.size(), 2u);
  ASSERT_TRUE(server->WaitForKind("message"));
  EXPECT_EQ(Script(), (std::vector<std::string>{"message:09:05:03: edtContent"}));
}

TEST_F(FileSenderTest, OpenCloseAndSendAreShutOutWhileTheFileGoes) {
  Connect();
  bool checked = false;
  view.OnEvents = [&](int pass) {
    if (pass != 2) return;
    checked = true;
    EXPECT_TRUE(form->Transferring());
    EXPECT_FALSE(view.SendFileEnabled);
    EXPECT_FALSE(view.ConnectionButtonsEnabled);
    // Handlers reached anyway (a queued click, a terminal) leave the connection alone.
    form->Button2Click(nullptr);
    form->Button4Click(nullptr);
    view.Edit3 = u"localhost";
    form->Button1Click(nullptr);
    form->btnSendFileClick(nullptr);
  };
  std::string data = SendFile("guarded.bin", 8 * 2048);
  EXPECT_TRUE(checked);
  EXPECT_FALSE(form->Transferring());
  EXPECT_TRUE(view.SendFileEnabled);
  EXPECT_TRUE(view.ConnectionButtonsEnabled);
  EXPECT_EQ(view.DialogRuns, 1);
  EXPECT_TRUE(form->udtClient1->Connected());
  EXPECT_TRUE(view.Log.empty());
  ASSERT_TRUE(server->WaitForKind("stored"));
  EXPECT_EQ(Stored("guarded.bin"), data);
  EXPECT_EQ(server->Messages().size(), 1u);
}

TEST_F(FileSenderTest, NothingHappensWhenClosedOrCancelledAndAnUnopenableFileIsReported) {
  // Not active: no dialog.
  view.DialogAnswer = u"/nonexistent";
  form->btnSendFileClick(nullptr);
  EXPECT_EQ(view.DialogRuns, 0);

  Connect();
  view.DialogAnswer.reset();
  form->btnSendFileClick(nullptr);
  EXPECT_EQ(view.DialogRuns, 1);
  EXPECT_TRUE(view.SendFileStates.empty()) << "a cancelled dialog disabled the button";

  const auto missing = source.Path() / "missing.bin";
  view.DialogAnswer = Utf8ToUtf16(missing.string());
  try {
    form->btnSendFileClick(nullptr);
    ADD_FAILURE() << "no failure for a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(U8(e.Message()), "Cannot open file \"" + missing.string() + "\". No such file or directory");
  }
  EXPECT_EQ(view.SendFileStates, (std::vector<bool>{false, true}));
  EXPECT_TRUE(view.ConnectionButtonsEnabled);

  form->Button2Click(nullptr);
  EXPECT_EQ(view.Sent.size(), 2u) << "the send callback was not put back";
  ASSERT_TRUE(server->WaitForKind("message"));
  EXPECT_EQ(Script(), (std::vector<std::string>{"message:09:05:03: edtContent"}));
}

TEST_F(FileSenderTest, ServerThatDropsTheConnectionStopsTheTransferWithALogLine) {
  // A folder in the way: the server cannot create the file and ends the conversation.
  std::filesystem::create_directory(server->Folder() / "blocked.bin");
  Connect();
  constexpr size_t kSize = 32u << 20;  // more than UDT can buffer without the peer
  SendFile("blocked.bin", kSize);
  EXPECT_EQ(form->FileSender().Outcome(), TFileSender::TOutcome::SendFailed);
  EXPECT_FALSE(form->udtClient1->Active());
  ASSERT_FALSE(view.Log.empty());
  EXPECT_TRUE(view.SendFileEnabled);
  EXPECT_TRUE(view.ConnectionButtonsEnabled);
  EXPECT_TRUE(view.Errors.empty());
  EXPECT_LT(Pieces().size(), kSize / 2048 + 1) << "the data loop ran to the end";
  ASSERT_TRUE(server->WaitForKind("end"));
  EXPECT_EQ(Script(), (std::vector<std::string>{"request:#SendFile#", "size:33554432",
                                                "name:blocked.bin", "end:"}));
}

TEST_F(FileSenderTest, ShutdownDuringATransferStopsBeforeTheNextPieceAndCloses) {
  Connect();
  view.OnEvents = [&](int pass) {
    if (pass == 3) form->Shutdown();
  };
  SendFile("stopped.bin", 8 * 2048);
  EXPECT_EQ(form->FileSender().Outcome(), TFileSender::TOutcome::Stopped);
  EXPECT_EQ(Pieces().size(), 3u);
  EXPECT_FALSE(form->udtClient1->Active());
  // The two pieces handed over before were delivered.
  ASSERT_TRUE(server->WaitForKind("cut"));
  EXPECT_EQ(Script().at(3), "cut:4096");
  EXPECT_TRUE(view.Errors.empty());
}

TEST_F(FileSenderTest, FileThatShrinksEndsTheConversationInsteadOfCorruptingIt) {
  Connect();
  const auto path = source.Path() / "shrinks.bin";
  // Larger than what the sender reads ahead, so the cut is seen mid-file.
  const int32_t size = 64 * 2048;
  std::string data = WriteFile(path, size);
  view.OnEvents = [&](int pass) {
    if (pass == 2) std::filesystem::resize_file(path, 3000);
  };
  view.DialogAnswer = Utf8ToUtf16(path.string());
  std::string message;
  try {
    form->btnSendFileClick(nullptr);
    ADD_FAILURE() << "the short file was not reported";
  } catch (const Exception& e) {
    message = U8(e.Message());
  }
  EXPECT_EQ(form->FileSender().Outcome(), TFileSender::TOutcome::FileEnded);
  EXPECT_FALSE(form->udtClient1->Active());
  EXPECT_TRUE(view.SendFileEnabled);
  ASSERT_TRUE(server->WaitForKind("cut"));
  // Cut mid-file at a piece boundary, and what did go out is the file as it was.
  const int64_t sent = server->Units().at(3).Value;
  EXPECT_TRUE(sent >= 2 * 2048 && sent < size && sent % 2048 == 0) << sent;
  EXPECT_EQ(Script().at(3), "cut:" + std::to_string(sent));
  EXPECT_EQ(message, "The file ended after " + std::to_string(sent) + " of " +
                         std::to_string(size) + " announced bytes; the connection was closed.");
  EXPECT_EQ(Stored("shrinks.bin"), data.substr(0, static_cast<size_t>(sent)));
}

TEST_F(FileSenderTest, FileThatGrowsSendsOnlyTheAnnouncedBytes) {
  Connect();
  const auto path = source.Path() / "grows.bin";
  std::string data = WriteFile(path, 8 * 2048);
  view.OnEvents = [&](int pass) {
    if (pass == 2) std::ofstream(path, std::ios::binary | std::ios::app) << std::string(5000, 'x');
  };
  view.DialogAnswer = Utf8ToUtf16(path.string());
  form->btnSendFileClick(nullptr);
  form->Button2Click(nullptr);
  EXPECT_EQ(U8(view.Log.at(0)), U8(protocol::Reply(u"09:05:03: edtContent")));
  ASSERT_TRUE(server->WaitForKind("message"));
  EXPECT_EQ(Script(), (std::vector<std::string>{"request:#SendFile#", "size:16384",
                                                "name:grows.bin", "stored:16384",
                                                "message:09:05:03: edtContent"}));
  EXPECT_EQ(Stored("grows.bin"), data);
}

}  // namespace
}  // namespace client_test
