// The bench as a user meets it. In this process: the real windows, driven by
// clicks, with the client page talking to the bench's own server. As a
// program: the real executable serving peers, ended by SIGTERM (what the shell
// does when the container is closed), and a transfer whose peer vanishes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <regex>

#include "bench.h"
#include "bytes.h"
#include "client_window.h"
#include "container_window.h"
#include "modal_answer.h"
#include "app_support.h"
#include "received_file.h"
#include "server_window.h"
#include "program.h"
#include "program_process.h"
#include "test_server.h"
#include "thread.h"
#include "exchange_protocol.h"

namespace client_test {

using namespace test_support;
namespace {

namespace fs = std::filesystem;

std::string U8(const QString& s) { return s.toStdString(); }

std::string Unique(const std::string& what) { return UniqueName("e2e-" + what); }

bool FileHolds(const fs::path& path, const std::string& data) {
  std::error_code ec;
  return fs::file_size(path, ec) == data.size() && !ec && ReadFile(path) == data;
}

using EndToEndTest = WholeProgramTest;

TEST_F(EndToEndTest, UserSendsAMessageAndA20MBFileFromTheClientPageToItsOwnServer) {
  auto bench = std::make_unique<TBench>();
  bench->Show();
  QTabWidget* pages = frmCorlan->PageControl1();
  QTabBar* tabs = pages->tabBar();
  QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
  ASSERT_EQ(pages->currentWidget(), Form2);

  auto* edit3 = Form2->findChild<QLineEdit*>("Edit3");
  edit3->selectAll();
  QTest::keyClicks(edit3, "127.0.0.1");
  QTest::mouseClick(Form2->findChild<QPushButton*>("Button1"), Qt::LeftButton);
  QTest::mouseClick(Form2->findChild<QPushButton*>("Button2"), Qt::LeftButton);
  // The log takes its line in the next pass of the event loop.
  QCoreApplication::processEvents();
  const std::string stamp = "([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]: ";
  const std::string log = U8(Form2->findChild<QPlainTextEdit*>("Memo1")->toPlainText());
  EXPECT_TRUE(std::regex_match(log, std::regex(U8(QString::fromStdU16String(protocol::Reply(u""))) + stamp + "edtContent"))) << log;
  EXPECT_TRUE(WaitWithEvents([] {
    return std::regex_search(U8(Form1->Memo1()->toPlainText()),
                             std::regex("<127\\.0\\.0\\.1: [0-9]+> [0-9:]{8}: edtContent"));
  })) << U8(Form1->Memo1()->toPlainText());

  TempFolder source;
  const std::string name = Unique("20MB");
  const fs::path stored = fs::path(ExecutableFolder()) / name;
  RemoveAfterwards(stored);
  const std::string data = WriteFile(source.Path() / name, 20u << 20);
  ChooseFileInNextDialog((source.Path() / name).string());
  QTest::mouseClick(Form2->findChild<QPushButton*>("btnSendFile"), Qt::LeftButton);
  EXPECT_TRUE(WaitWithEvents([&] { return FileHolds(stored, data); }))
      << "the program's folder does not hold the file as sent";
  // The progress shows in the client page's title.
  EXPECT_TRUE(std::regex_match(U8(pages->tabText(1)),
                               std::regex("[0-9]+/20971520= 99\\.[0-9][0-9]")))
      << U8(pages->tabText(1));
  EXPECT_EQ(U8(frmCorlan->windowTitle()), "测试");

  QElapsedTimer sinceClose;
  sinceClose.start();
  frmCorlan->close();
  bench.reset();
  EXPECT_TRUE(TThread::WaitForAllThreads(std::chrono::milliseconds(3000)));
  EXPECT_LT(sinceClose.elapsed(), 5000);
}

TEST_F(EndToEndTest, ProgramServesPeersAndEndsWithExitCodeZeroWhatever) {
  ProgramProcess bench(UDTBENCH_EXE);
  ASSERT_TRUE(bench.WaitListening()) << "the program's server did not start listening";

  DefaultPortPeer idle;  // an open connection that stays idle on a server worker
  ASSERT_TRUE(idle.Connected());
  EXPECT_EQ(U8(QString::fromStdU16String(idle.Exchange(u"hello"))), U8(QString::fromStdU16String(protocol::Reply(u"hello"))));

  const std::string name = Unique("served");
  const fs::path stored = bench.Folder() / name;
  RemoveAfterwards(stored);
  const std::string data = WriteFile(fs::temp_directory_path() / name, 20u << 20);
  fs::remove(fs::temp_directory_path() / name);
  DefaultPortPeer sender;
  ASSERT_TRUE(sender.Announce(Utf8ToUtf16(name), static_cast<int32_t>(data.size())));
  ASSERT_TRUE(sender.SendAll(data));
  EXPECT_TRUE(WaitWithEvents([&] { return FileHolds(stored, data); }))
      << "the program's folder does not hold the file as sent";

  // A transfer the program is still waiting on when it is told to end.
  const std::string partName = Unique("partial");
  const fs::path part = bench.Folder() / (partName + ".part");
  RemoveAfterwards(part);
  DefaultPortPeer partial;
  const std::string partData = Pattern(128 * 1024, 7);  // whole write buffers
  ASSERT_TRUE(partial.Announce(Utf8ToUtf16(partName), 1 << 20));
  ASSERT_TRUE(partial.SendAll(partData));
  const std::string pidPrefix = std::to_string(bench.Process().processId()) + "-";
  EXPECT_TRUE(WaitWithEvents([&] {
    std::error_code ec;
    for (const auto& f : fs::directory_iterator(bench.Folder() / kIncomingFolderName, ec))
      if (f.path().filename().string().rfind(pidPrefix, 0) == 0 && f.file_size(ec) == 128u * 1024)
        return true;
    return false;
  })) << "the partial transfer did not reach the program";

  QElapsedTimer sinceClose;
  sinceClose.start();
  bench.Process().terminate();
  ASSERT_TRUE(bench.Process().waitForFinished(10000)) << "the program did not end";
  EXPECT_LT(sinceClose.elapsed(), 5000);
  EXPECT_EQ(bench.Process().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(bench.Process().exitCode(), 0);
  // The cut transfer keeps what had arrived, all of it, under its partial name.
  EXPECT_TRUE(FileHolds(part, partData)) << part << " does not hold the bytes sent";
}

TEST_F(EndToEndTest, ProgramEndsWithinFiveSecondsWhenThePeerOfATransferVanished) {
  // The peer: another bench, killed in the middle of receiving.
  auto peer = std::make_unique<ProgramProcess>(UDTBENCH_EXE);
  ASSERT_TRUE(peer->WaitListening());
  const std::string name = Unique("vanished");
  RemoveAfterwards(peer->Folder() / name);

  // Our own bench cannot listen on 2048 now, and starts all the same.
  auto bench = std::make_unique<TBench>();
  bench->Show();
  EXPECT_FALSE(Form1->Form().UdtServer1()->Listening());
  TClientWindow* client = Form2;
  client->findChild<QLineEdit*>("Edit3")->setText("127.0.0.1");
  QTest::mouseClick(client->findChild<QPushButton*>("Button1"), Qt::LeftButton);
  ASSERT_TRUE(client->Form().udtClient1->Connected());

  TempFolder source;
  WriteFile(source.Path() / name, 96u << 20);
  ChooseFileInNextDialog((source.Path() / name).string());
  QElapsedTimer sinceClose;
  bool killed = false;
  int passesAfterKill = 0;
  QTimer watch;
  watch.setInterval(0);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!client->Form().Transferring()) return;
    if (!killed && client->GaugeProgress() >= 5) {
      peer->Process().kill();  // no goodbye: its end of the connection just goes silent
      peer->Process().waitForFinished(5000);
      killed = true;
    } else if (killed && ++passesAfterKill == 200 && !sinceClose.isValid()) {
      sinceClose.start();
      frmCorlan->close();
    }
  });
  watch.start();
  QTest::mouseClick(client->findChild<QPushButton*>("btnSendFile"), Qt::LeftButton);
  watch.stop();
  ASSERT_TRUE(killed) << "the transfer ended before the peer was killed";
  ASSERT_TRUE(sinceClose.isValid()) << "the window was not closed during the transfer";
  bench.reset();
  EXPECT_TRUE(TThread::WaitForAllThreads(std::chrono::milliseconds(3000)));
  EXPECT_LT(sinceClose.elapsed(), 5000);
}

}  // namespace
}  // namespace client_test
