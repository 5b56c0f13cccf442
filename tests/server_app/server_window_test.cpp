// The server window: its logic over a recording view, and the Qt window itself
// offscreen, driven by real clicks.
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server_test_support.h"
#include "server_window.h"
#include "udt_h.h"
#include "exchange_protocol.h"

namespace server_test {
namespace {

using Clock = std::chrono::steady_clock;

bool Answers(uint16_t port) {
  RawClient c;
  return c.Connect(port) && c.Exchange(u"ping") == protocol::Reply(u"ping");
}

// ---- the logic over a recording view ----

using ServerForm = ServerFixture;

TEST_F(ServerForm, ButtonsFollowEachState) {
  EXPECT_EQ(FView.Enabled, (std::map<TServerButton, bool>{{btnOpen, false}, {btnClose, true}}));
  FForm->actCloseExecute();
  FForm->actCloseUpdate();
  EXPECT_FALSE(FForm->UdtServer1()->Active());
  EXPECT_EQ(FView.Enabled, (std::map<TServerButton, bool>{{btnOpen, true}, {btnClose, false}}));

  const uint16_t port2 = FreeUdpPort();
  FView.Edits[edtPort] = U16(std::to_string(port2));
  FForm->actOpenExecute();
  FForm->actCloseUpdate();
  EXPECT_TRUE(FForm->UdtServer1()->Listening());
  EXPECT_EQ(FForm->UdtServer1()->LocalHost(), "127.0.0.1");
  EXPECT_EQ(FView.Enabled, (std::map<TServerButton, bool>{{btnOpen, false}, {btnClose, true}}));
  // Opening and closing leave no trace in the log.
  QCoreApplication::sendPostedEvents();
  EXPECT_TRUE(FView.Log.empty()) << LogText();
  EXPECT_TRUE(Answers(port2));
}

TEST_F(ServerForm, ButtonsFollowAServerItsErrorPathClosedOnAnotherThread) {
  // Pulling the listener away makes the server's own threads fail on it and
  // close it. Only posted work runs here, no timer: the buttons must follow
  // from a notification.
  const int32_t listener = FForm->UdtServer1()->Handle();
  std::thread([listener] { udt_close(listener); }).join();
  const auto start = Clock::now();
  bool followed = false;
  while (!followed && Clock::now() - start < kWaitBound) {
    QCoreApplication::sendPostedEvents();
    followed = FView.Enabled[btnOpen] && !FView.Enabled[btnClose];
    if (!followed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(followed) << "btnOpen was not enabled after the server closed itself";
  EXPECT_FALSE(FForm->UdtServer1()->Active());
  // The dispatcher notices within its 100 ms wait slice; a second is far beyond
  // any wake-up delay of a loaded machine yet well short of a lost update.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

// ---- the Qt window ----

class ServerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPort = FreeUdpPort();
    ASSERT_NE(FPort, 0);
    FWindow = std::make_unique<TServerWindow>(nullptr, std::to_string(FPort));
    FWindow->SetErrorDisplay([this](const std::u16string& text) { FErrors.push_back(text); });
    ASSERT_TRUE(FDir.isValid());
    FWindow->Form().SetReceiveFolder(FDir.path().toStdString());
  }
  void TearDown() override { FWindow.reset(); }

  QStringList LogLines() const { return FWindow->Memo1()->toPlainText().split(u'\n'); }
  bool ButtonsShowListening() const {
    return !FWindow->btnOpen()->isEnabled() && FWindow->btnClose()->isEnabled();
  }
  bool ButtonsShowClosed() const {
    return FWindow->btnOpen()->isEnabled() && !FWindow->btnClose()->isEnabled();
  }

  uint16_t FPort = 0;
  QTemporaryDir FDir;
  std::vector<std::u16string> FErrors;
  std::unique_ptr<TServerWindow> FWindow;
};

TEST_F(ServerWindowTest, ComesUpListeningWithItsControls) {
  TServerWindow& w = *FWindow;
  EXPECT_EQ(w.windowTitle(), QStringLiteral(u"udt服务端"));
  EXPECT_EQ(w.font().pixelSize(), 11);
  EXPECT_EQ(w.font().family(), QStringLiteral("Tahoma"));
  EXPECT_EQ(w.edtIP()->text(), QStringLiteral("127.0.0.1"));
  EXPECT_EQ(w.edtPort()->text(), QStringLiteral("2048"));
  EXPECT_EQ(w.btnOpen()->text(), QStringLiteral(u"打开"));
  EXPECT_EQ(w.btnClose()->text(), QStringLiteral(u"关闭"));
  EXPECT_EQ(w.Button1()->text(), QStringLiteral(u"客户端"));
  EXPECT_TRUE(w.Button1()->isHidden());
  EXPECT_EQ(w.Memo1()->toPlainText(), QStringLiteral("Memo1"));

  EXPECT_TRUE(w.Form().UdtServer1()->Listening());
  EXPECT_EQ(w.Form().UdtServer1()->LocalHost(), "");
  EXPECT_EQ(LocalPortOf(w.Form().UdtServer1()->Handle()), FPort);
  EXPECT_TRUE(ButtonsShowListening());
  EXPECT_TRUE(Answers(FPort));
}

TEST_F(ServerWindowTest, CloseThenOpenListensOnTheEditsAddress) {
  FWindow->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(FWindow.get()));
  QTest::mouseClick(FWindow->btnClose(), Qt::LeftButton);
  EXPECT_FALSE(FWindow->Form().UdtServer1()->Active());
  EXPECT_TRUE(ButtonsShowClosed());

  // The edits' port is the one this test listens on (2048 may be in use).
  FWindow->edtPort()->setText(QString::number(FPort));
  // UDT holds a just-closed listener's port for a few seconds; opening waits for it.
  QTest::mouseClick(FWindow->btnOpen(), Qt::LeftButton);
  EXPECT_TRUE(FErrors.empty());
  EXPECT_TRUE(FWindow->Form().UdtServer1()->Listening());
  EXPECT_EQ(FWindow->Form().UdtServer1()->LocalHost(), "127.0.0.1");
  EXPECT_TRUE(ButtonsShowListening());
  EXPECT_TRUE(Answers(FPort));
  EXPECT_EQ(LogLines().front(), QStringLiteral("Memo1"));
}

TEST_F(ServerWindowTest, PortThatCannotBeBoundLeavesTheWindowClosedAndSilent) {
  FWindow->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(FWindow.get()));
  const uint16_t port2 = FreeUdpPort();
  const HeldUdpPort blocker(port2);
  ASSERT_EQ(blocker.Port(), port2);
  QTest::mouseClick(FWindow->btnClose(), Qt::LeftButton);
  FWindow->edtPort()->setText(QString::number(port2));
  QTest::mouseClick(FWindow->btnOpen(), Qt::LeftButton);
  EXPECT_TRUE(FErrors.empty());
  EXPECT_TRUE(ButtonsShowClosed());
  EXPECT_EQ(FWindow->Memo1()->toPlainText(), QStringLiteral("Memo1"));
}

TEST_F(ServerWindowTest, FailureLeavingAHandlerIsShownAndTheWindowGoesOn) {
  FWindow->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(FWindow.get()));
  QTest::mouseClick(FWindow->btnClose(), Qt::LeftButton);
  FWindow->edtPort()->setText(QStringLiteral("no-such-service"));
  QTest::mouseClick(FWindow->btnOpen(), Qt::LeftButton);
  ASSERT_EQ(FErrors.size(), 1u);
  EXPECT_NE(FErrors[0].find(u"no-such-service"), std::u16string::npos) << U8(FErrors[0]);
  // Active without listening: only closing helps.
  EXPECT_TRUE(FWindow->Form().UdtServer1()->Active());
  EXPECT_FALSE(FWindow->Form().UdtServer1()->Listening());
  EXPECT_TRUE(ButtonsShowListening());
  QTest::mouseClick(FWindow->btnClose(), Qt::LeftButton);
  EXPECT_TRUE(ButtonsShowClosed());
  EXPECT_EQ(FErrors.size(), 1u);
}

TEST_F(ServerWindowTest, LogKeepsItsLastLinesOnly) {
  for (int i = 0; i < TServerWindow::kLogLines + 5; ++i)
    FWindow->AppendLog(u"line " + U16(std::to_string(i)));
  QCoreApplication::processEvents();
  const QStringList lines = LogLines();
  ASSERT_EQ(lines.size(), TServerWindow::kLogLines);
  EXPECT_EQ(lines.front(), QStringLiteral("line 5"));
  EXPECT_EQ(lines.back(), QStringLiteral("line %1").arg(TServerWindow::kLogLines + 4));
}

TEST_F(ServerWindowTest, DoubleClickEmptiesTheLogWhileLinesArrive) {
  constexpr int kMessages = 60;
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  std::atomic<bool> failed{false};
  std::atomic<int> sent{0};
  // The client holds its second half back until the log has been emptied, so
  // the double click always falls inside the conversation.
  std::mutex lock;
  std::condition_variable clearedSignal;
  bool cleared = false;
  std::thread client([&] {
    for (int i = 0; i < kMessages && !failed; ++i) {
      if (i == kMessages / 2) {
        std::unique_lock<std::mutex> g(lock);
        if (!clearedSignal.wait_for(g, kWaitBound, [&] { return cleared; })) failed = true;
      }
      const std::u16string text = u"n" + U16(std::to_string(i));
      if (!failed && c.Exchange(text) != protocol::Reply(text)) failed = true;
      ++sent;
    }
  });
  const bool someArrived = WaitWithEvents([&] { return LogLines().size() > 10 || failed; });
  QTest::mouseDClick(FWindow->Memo1()->viewport(), Qt::LeftButton);
  const bool emptied = FWindow->Memo1()->toPlainText().isEmpty();
  const int sentAtClear = sent;
  {
    std::lock_guard<std::mutex> g(lock);
    cleared = true;
  }
  clearedSignal.notify_all();
  const bool allSent = WaitWithEvents([&] { return sent == kMessages || failed; });
  client.join();
  ASSERT_TRUE(someArrived && allSent && !failed) << "the client's conversation failed";
  EXPECT_TRUE(emptied);
  EXPECT_LT(sentAtClear, kMessages) << "the conversation was over before the double click";
  // After the double click the log holds whole lines that continue the
  // conversation in order, up to its last message.
  const QString last = QStringLiteral("> n%1").arg(kMessages - 1);
  ASSERT_TRUE(WaitWithEvents([&] { return LogLines().back().endsWith(last); }))
      << FWindow->Memo1()->toPlainText().toStdString();
  const QStringList lines = LogLines();
  EXPECT_FALSE(lines.contains(QStringLiteral("Memo1")));
  ASSERT_LT(lines.size(), kMessages);
  const int first = kMessages - static_cast<int>(lines.size());
  for (int i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i].startsWith(QStringLiteral("<127.0.0.1: ")) &&
                lines[i].endsWith(QStringLiteral("> n%1").arg(first + i)))
        << lines[i].toStdString();
  }
}

TEST_F(ServerWindowTest, ButtonsFollowAServerClosedOnAnotherThread) {
  const int32_t listener = FWindow->Form().UdtServer1()->Handle();
  const auto start = Clock::now();
  std::thread([listener] { udt_close(listener); }).join();
  ASSERT_TRUE(WaitWithEvents([&] { return ButtonsShowClosed(); }))
      << "the buttons did not follow the server's own close";
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  // No zero-interval timer keeps the buttons up to date.
  std::vector<QObject*> objects{FWindow.get()};
  for (QObject* o : FWindow->findChildren<QObject*>()) objects.push_back(o);
  for (QObject* o : objects) {
    for (const auto& t : QAbstractEventDispatcher::instance()->registeredTimers(o))
      EXPECT_GT(t.interval, 0) << o->objectName().toStdString();
  }
}

TEST_F(ServerWindowTest, LinesPostedAfterTheWindowIsGoneAreDropped) {
  RawClient c;
  ASSERT_TRUE(c.Connect(FPort));
  ASSERT_EQ(c.Exchange(u"hello"), protocol::Reply(u"hello"));
  // The accept and message lines are still queued for the window.
  FWindow.reset();
  EXPECT_TRUE(c.ServerClosed());
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

TEST_F(ServerWindowTest, Button1ShowsTheOtherWindows) {
  QWidget other;
  ASSERT_FALSE(other.isVisible());
  FWindow->Button1()->click();
  EXPECT_TRUE(other.isVisible());
  EXPECT_FALSE(FWindow->isVisible());
}

}  // namespace
}  // namespace server_test
