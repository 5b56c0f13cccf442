// The bench's start-up, its pages and its end, with the real windows offscreen
// in this process, and the program itself without a display.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <unistd.h>

#include "bench.h"
#include "client_window.h"
#include "container_window.h"
#include "modal_answer.h"
#include "app_support.h"
#include "server_window.h"
#include "program.h"
#include "program_process.h"
#include "test_server.h"
#include "thread.h"
#include "exchange_protocol.h"

namespace client_test {

using namespace test_support;
namespace {

std::string U8(const QString& s) { return s.toStdString(); }

using BenchTest = WholeProgramTest;

TEST_F(BenchTest, ServerListensBeforeAnyWindowShowsAndThePagesComeServerFirst) {
  TBench bench;
  EXPECT_EQ(frmCorlan, &bench.Container());
  EXPECT_EQ(Form1, &bench.ServerWindow());
  EXPECT_EQ(Form2, &bench.ClientWindow());
  ASSERT_TRUE(Form1->Form().UdtServer1()->Listening()) << "port 2048 is not free";
  EXPECT_FALSE(frmCorlan->isVisible() || Form1->isVisible() || Form2->isVisible());
  EXPECT_EQ(frmCorlan->PageControl1()->count(), 0);
  EXPECT_EQ(U8(QString::fromStdU16String(DefaultPortPeer().Exchange(u"ping"))), U8(QString::fromStdU16String(protocol::Reply(u"ping"))));

  bench.Show();
  QTabWidget* pages = frmCorlan->PageControl1();
  ASSERT_EQ(pages->count(), 2);
  EXPECT_EQ(pages->widget(0), Form1);
  EXPECT_EQ(pages->widget(1), Form2);
  EXPECT_EQ(U8(pages->tabText(0)), "udt服务端");
  EXPECT_EQ(U8(pages->tabText(1)), "udt客户端");
  EXPECT_EQ(pages->currentIndex(), 0);
  EXPECT_TRUE(Form1->isVisible());
  EXPECT_EQ(U8(frmCorlan->windowTitle()), "测试");
  EXPECT_EQ(pages->geometry(), frmCorlan->rect());
  // Every control of both pages is in view and usable at the size the window
  // opens with, and the pages follow a larger window with their views.
  EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(frmCorlan->geometry()));
  auto controlsInView = [pages] {
    for (int i = 0; i < pages->count(); ++i) {
      pages->setCurrentIndex(i);
      QCoreApplication::processEvents();
      QWidget* page = pages->widget(i);
      for (QWidget* w : page->findChildren<QWidget*>()) {
        // The page's own controls, and those of its statistics panel.
        const QWidget* parent = w->parentWidget();
        if (!w->isVisibleTo(page) || w->isWindow() ||
            (parent != page && parent->objectName() != QStringLiteral("StatisticsPanel")))
          continue;
        const QRect place(w->mapTo(page, QPoint(0, 0)), w->size());
        if (w->width() < 8 || w->height() < 8 || !page->rect().contains(place)) {
          ADD_FAILURE() << w->objectName().toStdString() << " is out of view on page " << i;
          return false;
        }
      }
    }
    pages->setCurrentIndex(0);
    return true;
  };
  EXPECT_TRUE(controlsInView());
  const int logHeight = Form1->Memo1()->height();
  frmCorlan->resize(frmCorlan->width() + 200, frmCorlan->height() + 150);
  QCoreApplication::processEvents();
  EXPECT_TRUE(controlsInView());
  EXPECT_GT(Form1->Memo1()->height(), logHeight) << "the log does not take the room it gets";
  // The conversation of the ping reached the server page's log.
  EXPECT_TRUE(WaitWithEvents([] { return Form1->Memo1()->toPlainText().contains("> ping"); }))
      << U8(Form1->Memo1()->toPlainText());
}

TEST_F(BenchTest, ClientCaptionRetitlesItsPageAndNotTheContainer) {
  TBench bench;
  bench.Show();
  Form2->SetCaption(u"2048/16384= 12.50");
  QTabWidget* pages = frmCorlan->PageControl1();
  EXPECT_EQ(U8(pages->tabText(1)), "2048/16384= 12.50");
  EXPECT_EQ(U8(pages->tabText(0)), "udt服务端");
  EXPECT_EQ(U8(frmCorlan->windowTitle()), "测试");
  Form2->SetCaption(u"first line\nsecond line");
  EXPECT_EQ(U8(pages->tabText(1)), "first line");
}

TEST_F(BenchTest, ClosingTheContainerDuringATransferStopsItAndEndsWithinFiveSeconds) {
  auto bench = std::make_unique<TBench>();
  bench->Show();
  TClientWindow* client = Form2;
  client->findChild<QLineEdit*>("Edit3")->setText("127.0.0.1");
  QTest::mouseClick(client->findChild<QPushButton*>("Button1"), Qt::LeftButton);
  ASSERT_TRUE(client->Form().udtClient1->Connected());

  TempFolder source;
  const std::string name = UniqueName("bench-close");
  RemoveAfterwards(std::filesystem::path(ExecutableFolder()) / name);
  WriteFile(source.Path() / name, 64u << 20);
  ChooseFileInNextDialog((source.Path() / name).string());
  QElapsedTimer sinceClose;
  QTimer closer;
  closer.setInterval(0);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (client->Form().Transferring() && client->GaugeProgress() >= 2 && !sinceClose.isValid()) {
      sinceClose.start();
      frmCorlan->close();
    }
  });
  closer.start();
  QTest::mouseClick(client->findChild<QPushButton*>("btnSendFile"), Qt::LeftButton);
  closer.stop();
  ASSERT_TRUE(sinceClose.isValid()) << "the transfer ended before the window was closed";
  EXPECT_LT(client->GaugeProgress(), 100) << "the transfer ran to its end";
  EXPECT_FALSE(client->Form().udtClient1->Active());
  bench.reset();
  EXPECT_TRUE(TThread::WaitForAllThreads(std::chrono::milliseconds(3000)));
  EXPECT_LT(sinceClose.elapsed(), 5000);
}

TEST(BenchProgram, WithoutADisplaySaysHowToGetOne) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(v);
  ProgramProcess running(UDTBENCH_EXE, env, QProcess::SeparateChannels);
  EXPECT_EQ(running.Finish(), 2) << "it did not end, crashed or ended otherwise";
  const std::string err = running.Err().toStdString();
  EXPECT_NE(err.find("xvfb-run -a ./run"), std::string::npos) << err;
}

}  // namespace
}  // namespace client_test
