// The real client window, offscreen: its controls, clicks on them, the file
// dialog and the error display answered as an operator would, and its views.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <regex>

#include "client_window.h"
#include "statistics_panel.h"
#include "modal_answer.h"
#include "test_server.h"
#include "thread.h"
#include "bytes.h"

namespace client_test {

using namespace test_support;
namespace {

std::string U8(const QString& s) { return s.toStdString(); }

class ClientWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<TestServer>(folder.Path());
    ASSERT_TRUE(server->Listening());
    window = std::make_unique<TClientWindow>();
    window->show();
  }
  void TearDown() override {
    window.reset();
    server.reset();
    EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "server threads still running";
  }

  template <typename T>
  T* Control(const char* name) {
    return ControlOf<T>(window.get(), name);
  }

  void Click(const char* name) { QTest::mouseClick(Control<QPushButton>(name), Qt::LeftButton); }

  void Type(const char* edit, const QString& text) {
    QLineEdit* e = Control<QLineEdit>(edit);
    e->clear();
    QTest::keyClicks(e, text);
  }

  void ConnectToServer() {
    Type("Edit3", "127.0.0.1");
    Type("Edit2", QString::fromStdString(server->PortText()));
    Click("Button1");
    ASSERT_TRUE(window->Form().udtClient1->Connected());
  }

  TempFolder folder;
  DebugCapture debug;
  std::unique_ptr<TestServer> server;
  std::unique_ptr<TClientWindow> window;
};

TEST_F(ClientWindowTest, ShowsItsControlsWithTheirTexts) {
  EXPECT_EQ(U8(window->windowTitle()), "udt客户端");
  EXPECT_EQ(window->font().pixelSize(), 11);
  EXPECT_EQ(U8(Control<QLabel>("Label1")->text()), "对方IP");
  EXPECT_EQ(U8(Control<QLabel>("Label2")->text()), "对方端口");
  EXPECT_EQ(U8(Control<QLineEdit>("Edit3")->text()), TForm2::kDefaultRemoteHost);
  EXPECT_EQ(U8(Control<QLineEdit>("Edit2")->text()), "2048");
  EXPECT_EQ(U8(Control<QLineEdit>("edtContent")->text()), "edtContent");
  for (auto [name, caption] : {std::pair{"Button1", "Open"}, std::pair{"Button4", "Close"},
                               std::pair{"Button2", "Send"}, std::pair{"btnSendFile", "SendFile"}})
    EXPECT_EQ(U8(Control<QPushButton>(name)->text()), caption);
  QProgressBar* gauge = Control<QProgressBar>("Gauge1");
  EXPECT_EQ(gauge->value(), 0);
  EXPECT_EQ(gauge->maximum(), 100);
  for (const char* memo : {"Memo1", "Memo2", "Memo3"})
    EXPECT_TRUE(Control<QPlainTextEdit>(memo)->document()->isEmpty()) << memo;
  EXPECT_EQ(window->findChild<QFileDialog*>(), nullptr) << "a file dialog exists while none runs";

  TUDTClient* c = window->Form().udtClient1;
  EXPECT_EQ(c->RemoteHost(), TForm2::kDefaultRemoteHost);
  EXPECT_EQ(c->RemotePort(), "2048");
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(c->BlockMode(), bmBlocking);
  EXPECT_FALSE(c->OnConnect || c->OnDisconnect || c->OnCreateHandle || c->OnDestroyHandle);
  EXPECT_TRUE(c->OnReceive && c->OnSend && c->OnError);

  // The gauge keeps its position inside its range, as the gauge control does.
  window->SetGaugeProgress(150);
  EXPECT_EQ(gauge->value(), 100);
  window->SetGaugeMaxValue(50);
  EXPECT_EQ(window->GaugeProgress(), 50);
}

TEST_F(ClientWindowTest, ClickingSendShowsTheTrafficAndTheReply) {
  ConnectToServer();
  Click("Button2");
  // The views take their text in the next pass of the event loop.
  QCoreApplication::processEvents();
  const std::string stamp = "([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]: ";
  const std::string reply = test_support::U8(std::u16string(protocol::kReplyPrefix)) + stamp;
  const std::string log = U8(Control<QPlainTextEdit>("Memo1")->toPlainText());
  EXPECT_TRUE(std::regex_match(log, std::regex(reply + "edtContent"))) << log;
  // 20 code units sent (U+2414), 25 received (U+2419), each count's high half a NUL.
  const std::string sent = U8(Control<QPlainTextEdit>("Memo3")->toPlainText());
  EXPECT_TRUE(std::regex_match(sent, std::regex("\u2414\u2400" + stamp + "edtContent"))) << sent;
  const std::string received = U8(Control<QPlainTextEdit>("Memo2")->toPlainText());
  EXPECT_TRUE(std::regex_match(received, std::regex("\u2419\u2400" + reply + "edtContent")))
      << received;
  Click("Button4");
  EXPECT_FALSE(window->Form().udtClient1->Active());
}

TEST_F(ClientWindowTest, SendFileThroughTheDialogShowsProgressAndShutsOutTheOtherButtons) {
  ConnectToServer();
  TempFolder source;
  const auto path = source.Path() / "through dialog.bin";
  const std::string data = WriteFile(path, 3u << 20);
  ChooseFileInNextDialog(path.string());
  int seen = 0;
  QTimer watch;
  watch.setInterval(0);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (!window->Form().Transferring()) return;
    ++seen;
    EXPECT_FALSE(Control<QPushButton>("Button1")->isEnabled());
    EXPECT_FALSE(Control<QPushButton>("Button4")->isEnabled());
    EXPECT_FALSE(Control<QPushButton>("Button2")->isEnabled());
    EXPECT_FALSE(Control<QPushButton>("btnSendFile")->isEnabled());
  });
  watch.start();
  Click("btnSendFile");
  watch.stop();
  EXPECT_GT(seen, 0) << "no window event ran during the transfer";
  // The last change of the rounded percentage (to 100) came at 99.54 %.
  EXPECT_EQ(U8(window->windowTitle()), "3131392/3145728= 99.54");
  EXPECT_EQ(Control<QProgressBar>("Gauge1")->value(), 100);
  for (const char* b : {"Button1", "Button4", "Button2", "btnSendFile"})
    EXPECT_TRUE(Control<QPushButton>(b)->isEnabled()) << b;
  ASSERT_TRUE(server->WaitForKind("stored"));
  EXPECT_EQ(ReadFile(folder.Path() / "through dialog.bin"), data);
}

TEST_F(ClientWindowTest, LinkSettingsDialogRefusesABadValueInPlaceAndIsGoneBeforeTheNextOpen) {
  std::string problem;
  AnswerNextModal([&](QWidget* w) {
    auto edit = [w](const char* name) { return w->findChild<QLineEdit*>(name); };
    ASSERT_NE(edit("edt_mss"), nullptr) << "the modal window is not the settings dialog";
    QPushButton* ok = w->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    QTest::keyClicks(edit("edt_mss"), "lots");
    QTest::mouseClick(ok, Qt::LeftButton);
    problem = U8(w->findChild<QLabel*>("Problem")->text());
    edit("edt_mss")->clear();
    QTest::keyClicks(edit("edt_mss"), "1500");
    QTest::keyClicks(edit("edt_block"), "1MiB");
    QTest::mouseClick(ok, Qt::LeftButton);
  });
  Click("btnLinkSettings");
  EXPECT_EQ(problem.rfind("mss: ", 0), 0u) << problem;
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(window->findChild<QDialog*>("LinkSettingsDialog"), nullptr) << "the dialog outlived its answer";
  EXPECT_EQ(window->Form().LinkSettings().Block, 1 << 20);
  ConnectToServer();
  // The test server listens with MSS 1052, which caps the 1500 asked for.
  const std::string shown = U8(Control<QLabel>("LinkSettings")->text());
  EXPECT_NE(shown.find("Link: MSS 1052,"), std::string::npos) << shown;
  EXPECT_NE(shown.find("block 1048576 B"), std::string::npos) << shown;
}

TEST_F(ClientWindowTest, FailureLeavingAHandlerIsShownInAMessageBox) {
  Type("Edit2", "abc");
  std::string shown;
  AnswerNextModal([&shown](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr) << "the modal window is no message box";
    shown = U8(box->text());
    box->accept();
  });
  Click("Button1");
  EXPECT_EQ(shown, "''abc'' is not a valid integer value");
  EXPECT_TRUE(Control<QPlainTextEdit>("Memo1")->document()->isEmpty());
}

TEST_F(ClientWindowTest, TrafficViewsKeepEveryCodeUnitInLinesOfBoundedLength) {
  std::u16string expected;
  for (int i = 0; i < 3000; ++i) {
    std::vector<char16_t> units(100, static_cast<char16_t>(u'a' + i % 26));
    units[0] = 0;  // a NUL in every piece
    int32_t n = 200;
    window->Form().udtClient1Receive(nullptr, units.data(), n);
    expected += u'\u2400' + std::u16string(99, static_cast<char16_t>(u'a' + i % 26));
  }
  QCoreApplication::processEvents();
  QTextDocument* doc = Control<QPlainTextEdit>("Memo2")->document();
  EXPECT_EQ(doc->blockCount(), (300000 + TClientWindow::kTrafficLineLength - 1) /
                                   TClientWindow::kTrafficLineLength);
  QString joined;
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
    EXPECT_LE(b.text().size(), TClientWindow::kTrafficLineLength);
    joined += b.text();
  }
  EXPECT_TRUE(joined == QString::fromStdU16String(expected)) << "the view lost or changed text";
}

}  // namespace
}  // namespace client_test
