// The terminal pages' own parts: the edits, and the file field that stands in
// for the window's file dialog.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client_page.h"
#include "test_server.h"
#include "app_support.h"
#include "page_host.h"
#include "sysutils.h"
#include "text_field.h"
#include "udt_h.h"

namespace tui_test {
namespace {

namespace fs = std::filesystem;

// A host that records what the page asks of the screen.
class RecordingHost : public TPageHost {
 public:
  void Invalidate() override { ++Invalidated; }
  void ShowError(const std::u16string& Text) override { Errors.push_back(Text); }
  int Invalidated = 0;
  std::vector<std::u16string> Errors;
};

// Runs the test in a fresh folder, the working folder for its duration.
class InFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    FBefore = fs::current_path();
    ASSERT_FALSE(FTemp.Path().empty());
    FFolder = FTemp.Path();
    fs::current_path(FFolder);
  }
  void TearDown() override { fs::current_path(FBefore); }
  test_support::TempFolder FTemp;
  fs::path FBefore, FFolder;
};

TEST(TextFieldTest, EditsWholeCharactersAroundTheCursor) {
  TTextField f(u"ab");
  EXPECT_EQ(f.Cursor(), 2u);
  f.Left();
  f.Insert(U'\U0001F600');  // a surrogate pair in UTF-16
  f.Insert(U'中');
  EXPECT_EQ(f.Text(), u"a\U0001F600中b");
  f.Left();
  f.Left();
  EXPECT_EQ(f.Cursor(), 1u) << "Left stepped into a surrogate pair";
  f.DeleteForward();
  EXPECT_EQ(f.Text(), u"a中b");
  f.Right();
  f.DeleteBack();
  EXPECT_EQ(f.Text(), u"ab");
  f.Insert(U'\U0001F600');
  f.DeleteBack();
  EXPECT_EQ(f.Text(), u"ab") << "Backspace left half a surrogate pair";
  f.Insert(0xD800);  // a lone surrogate is no character
  EXPECT_EQ(f.Text(), u"ab");
  f.Home();
  f.DeleteBack();
  EXPECT_EQ(f.Text(), u"ab");
  f.End();
  f.DeleteForward();
  EXPECT_EQ(f.Text(), u"ab");
  f.SetText(u"xyz");
  EXPECT_EQ(f.Cursor(), 3u);
}

TEST_F(InFolder, FileFieldGivesTheFullPathOfARegularFileOnly) {
  RecordingHost host;
  TClientPage page(host);
  std::u16string path = u"untouched";
  EXPECT_FALSE(page.ExecuteOpenDialog(path)) << "an empty field counts as a cancelled dialog";
  EXPECT_EQ(path, u"untouched");

  fs::create_directory("sub");
  std::ofstream("sub/data.bin") << "data";
  page.Field(TClientField::FilePath).SetText(u"sub/../sub/data.bin");
  ASSERT_TRUE(page.ExecuteOpenDialog(path));
  EXPECT_EQ(Utf16ToUtf8(path), (FFolder / "sub" / "data.bin").string());

  const char* home = std::getenv("HOME");
  const std::string oldHome = home ? home : "";
  ::setenv("HOME", FFolder.c_str(), 1);
  page.Field(TClientField::FilePath).SetText(u"~/sub/data.bin");
  const bool expanded = page.ExecuteOpenDialog(path);
  ::setenv("HOME", oldHome.c_str(), 1);
  ASSERT_TRUE(expanded);
  EXPECT_EQ(Utf16ToUtf8(path), (FFolder / "sub" / "data.bin").string());

  // A folder or a missing file would never leave a file dialog: refused before
  // anything is sent.
  page.Field(TClientField::FilePath).SetText(u"sub");
  EXPECT_THROW(page.ExecuteOpenDialog(path), Exception);
  page.Field(TClientField::FilePath).SetText(u"missing.bin");
  try {
    page.ExecuteOpenDialog(path);
    ADD_FAILURE() << "a missing file was accepted";
  } catch (const Exception& e) {
    EXPECT_NE(Utf16ToUtf8(e.Message()).find((FFolder / "missing.bin").string()), std::string::npos)
        << Utf16ToUtf8(e.Message());
  }
}

TEST_F(InFolder, SendFileTakesTheTypedPathAndRefusesAFolderBeforeSendingAnything) {
  test_support::TempFolder stored;
  test_support::TestServer server(stored.Path());
  ASSERT_TRUE(server.Listening());
  RecordingHost host;
  TClientPage page(host);
  page.Field(TClientField::Edit3).SetText(u"127.0.0.1");
  page.Field(TClientField::Edit2).SetText(Utf8ToUtf16(server.PortText()));
  page.ClickOpen();
  ASSERT_TRUE(page.Connected());

  fs::create_directory("folder");
  page.Field(TClientField::FilePath).SetText(u"folder");
  page.ClickSendFile();
  ASSERT_EQ(host.Errors.size(), 1u);
  EXPECT_NE(Utf16ToUtf8(host.Errors[0]).find("not a file"), std::string::npos)
      << Utf16ToUtf8(host.Errors[0]);
  EXPECT_TRUE(page.SendFileEnabled());
  EXPECT_TRUE(page.ConnectionButtonsEnabled());
  // The message that follows is the first thing the server sees.
  page.ClickSend();
  ASSERT_EQ(page.Log().size(), 1u);
  EXPECT_TRUE(page.Log().back().starts_with(protocol::kReplyPrefix));
  ASSERT_TRUE(server.WaitForKind("message"));
  EXPECT_EQ(server.Count("request"), 0) << "the refused folder reached the server";

  // A relative path: the file goes under its bare name, with the progress shown.
  const std::string data = test_support::WriteFile(FFolder / "data.bin", 2 * 2048);
  page.Field(TClientField::FilePath).SetText(u"data.bin");
  page.ClickSendFile();
  ASSERT_TRUE(server.WaitForKind("stored")) << "the file did not arrive";
  EXPECT_EQ(test_support::ReadFile(stored.Path() / "data.bin"), data);
  EXPECT_EQ(page.GaugeProgress(), 100);
  EXPECT_EQ(page.Caption(), u"4096/4096= 100.00");
  EXPECT_EQ(host.Errors.size(), 1u);
  EXPECT_TRUE(page.SendFileEnabled());
}

TEST(ClientPageTest, StartsAsTheWindowDoesAndKeepsTheGaugeInRange) {
  RecordingHost host;
  TClientPage page(host);
  EXPECT_EQ(page.Caption(), u"udt客户端");
  EXPECT_EQ(page.EditText(TClientEdit::Edit2), u"2048");
  EXPECT_EQ(page.EditText(TClientEdit::edtContent), u"edtContent");
  EXPECT_EQ(Utf16ToUtf8(page.EditText(TClientEdit::Edit3)), TForm2::kDefaultRemoteHost);
  page.SetGaugeProgress(150);
  EXPECT_EQ(page.GaugeProgress(), 100);
  page.SetGaugeProgress(-3);
  EXPECT_EQ(page.GaugeProgress(), 0);
  page.SetGaugeProgress(80);
  page.SetGaugeMaxValue(50);
  EXPECT_EQ(page.GaugeProgress(), 50);
  // The traffic views keep their end once they grow past their limit.
  const std::u16string piece(TClientPage::kMaxTrafficUnits, u'x');
  page.AppendReceived(piece);
  page.AppendReceived(piece);
  page.AppendReceived(u"end");
  EXPECT_LE(page.Received().size(), 2 * TClientPage::kMaxTrafficUnits);
  EXPECT_EQ(page.Received().substr(page.Received().size() - 3), u"end");
  EXPECT_GT(host.Invalidated, 0);
}

}  // namespace
}  // namespace tui_test
