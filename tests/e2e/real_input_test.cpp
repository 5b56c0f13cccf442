// The bench as a person uses it: the whole window on an X server with a window
// manager, the mouse and the keyboard driven through the window system. What
// the file dialog leaves behind and what a wait for the peer does to Cancel
// show only there.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "bench.h"
#include "client_window.h"
#include "container_window.h"
#include "files.h"
#include "ports.h"
#include "real_input.h"
#include "server_window.h"
#include "thread.h"
#include "udt_h.h"
#include "events.h"
#include "transfer_table.h"

namespace client_test {
using namespace test_support;
namespace {

namespace fs = std::filesystem;

// Steps of an operator, each taken once its condition holds. They run from a
// timer, so they go on inside the nested event loops of the dialog and of the
// transfer, where the test's own code is suspended.
class TOperator {
 public:
  struct TStep {
    std::function<bool()> Ready;
    std::function<void()> Act;
  };
  explicit TOperator(std::vector<TStep> Steps) : FSteps(std::move(Steps)) {
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      if (FNext < FSteps.size() && FSteps[FNext].Ready()) FSteps[FNext++].Act();
      if (FNext == FSteps.size()) FTimer.stop();
    });
    FTimer.start();
  }
  bool Done() const { return FNext == FSteps.size(); }
  size_t StepsTaken() const { return FNext; }

 private:
  std::vector<TStep> FSteps;
  size_t FNext = 0;
  QTimer FTimer;
};

class RealInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!RealInputAvailable()) GTEST_SKIP() << "needs an X server and xdotool (the e2e label's wrapper gives both)";
    port = FreeUdpPort();
    TBenchOptions options;
    options.Listen = TListenAddress{"127.0.0.1", port};
    options.Folder = folder.Path().string();
    bench = std::make_unique<TBench>(options);
    bench->Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&bench->Container())) << "the window never became active";
    client = &bench->ClientWindow();
    ShowPage(1);
  }
  void TearDown() override {
    bench.reset();
    EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "server threads still running";
  }

  template <typename T>
  T* Control(const char* name) {
    return ControlOf<T>(client, name);
  }
  // Clicks a page's tab; true once the page shows.
  bool ShowPage(int index) {
    QTabBar* tabs = bench->Container().PageControl1()->tabBar();
    RealClick(tabs->mapToGlobal(tabs->tabRect(index).center()));
    return WaitWithEvents([&] { return bench->Container().PageControl1()->currentIndex() == index; });
  }
  void Connect(uint16_t to) {
    Control<QLineEdit>("Edit3")->setText("127.0.0.1");
    Control<QLineEdit>("Edit2")->setText(QString::number(to));
    RealClick(Control<QPushButton>("Button1"));
    ASSERT_TRUE(WaitWithEvents([&] { return client->Form().udtClient1->Connected(); }))
        << "the client did not connect";
  }
  bool CancelOffered() { return Control<QPushButton>("btnCancel")->isEnabled(); }
  std::string Log() { return Control<QPlainTextEdit>("Memo1")->toPlainText().toStdString(); }

  TempFolder folder;
  TempFolder source;
  uint16_t port = 0;
  std::unique_ptr<TBench> bench;
  TClientWindow* client = nullptr;
};

// How the operator stops the transfer: the first click on Cancel, or Esc.
class FileDialogThenStop : public RealInputTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FileDialogThenStop, APathTypedIntoTheDialogAndReturnThenTheFirstCancelStopsTheTransfer) {
  const bool byEsc = GetParam();
  Connect(port);
  // Large enough that no machine sends it before Cancel lands; sparse, so it costs no disk.
  const fs::path path = source.Path() / "typed.bin";
  const int64_t size = int64_t{1} << 30;
  std::ofstream(path, std::ios::binary).close();
  fs::resize_file(path, size);

  TOperator person({
      {[] { return true; }, [&] { RealClick(Control<QPushButton>("btnSendFile")); }},
      // Typed as a person does, which brings up the dialog's completion list.
      {[] {
         auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
         return d && d->isActiveWindow();
       },
       [&] {
         RealType(QString::fromStdString(path.string()));
         RealKey("Return");
       }},
      {[&] {
         return client->Form().FileSender().State() == TFileSender::TState::Sending &&
                client->GaugeProgress() >= 1;
       },
       [&] { byEsc ? RealKey("Escape") : RealClick(Control<QPushButton>("btnCancel")); }},
  });
  ASSERT_TRUE(WaitWithEvents([&] { return person.Done() && !client->Form().Transferring(); }))
      << "steps taken: " << person.StepsTaken();
  const auto& summary = client->Form().LastTransfer();
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->Outcome, TTransferOutcome::Cancelled) << "the first " << (byEsc ? "Esc" : "click")
                                                           << " after the dialog was lost";
  EXPECT_LT(summary->Bytes, size);
  EXPECT_FALSE(client->Form().udtClient1->Active());
  // The server kept what came as a cut transfer, and its page answers the first click on its tab.
  TTransferTable* table = bench->ServerWindow().TransferTable();
  ASSERT_TRUE(WaitWithEvents([&] { return table->rowCount() == 1; })) << "the server recorded no transfer";
  EXPECT_EQ(table->item(0, TTransferTable::colResult)->text().toStdString(), "cut");
  EXPECT_FALSE(fs::exists(folder.Path() / "typed.bin")) << "partial data under the target name";
  EXPECT_TRUE(ShowPage(0)) << "the first click on the server page's tab was lost";
}

INSTANTIATE_TEST_SUITE_P(CancelOrEsc, FileDialogThenStop, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Esc" : "CancelClick");
                         });

TEST_F(RealInputTest, TheFirstClickOnCancelEndsAConnectWaitAndAReplyWait) {
  // A connect to a port where nobody answers waits for UDT4's three seconds.
  Control<QLineEdit>("Edit3")->setText("127.0.0.1");
  Control<QLineEdit>("Edit2")->setText(QString::number(FreeUdpPort()));
  {
    TOperator person({{[] { return true; }, [&] { RealClick(Control<QPushButton>("Button1")); }},
                      {[&] { return CancelOffered(); },
                       [&] { RealClick(Control<QPushButton>("btnCancel")); }}});
    ASSERT_TRUE(WaitWithEvents([&] { return person.Done() && !CancelOffered(); }))
        << "steps taken: " << person.StepsTaken();
    EXPECT_FALSE(client->Form().udtClient1->Connected());
    EXPECT_EQ(Log().find("time out"), std::string::npos) << "the connect ran into its time-out: " << Log();
  }

  // A peer that completes handshakes in UDT4's own threads and never answers.
  const uint16_t silentPort = FreeUdpPort();
  const int32_t silent = udt_socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(silentPort);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(udt_bind(silent, &at, sizeof at), 0);
  ASSERT_EQ(udt_listen(silent, 5), 0);
  Connect(silentPort);
  {
    TOperator person({{[] { return true; }, [&] { RealClick(Control<QPushButton>("Button2")); }},
                      {[&] { return CancelOffered(); },
                       [&] { RealClick(Control<QPushButton>("btnCancel")); }}});
    ASSERT_TRUE(WaitWithEvents([&] { return person.Done() && !CancelOffered(); }))
        << "steps taken: " << person.StepsTaken();
    EXPECT_FALSE(client->Form().udtClient1->Active()) << "Cancel left the connection open";
  }
  udt_close(silent);
}

}  // namespace
}  // namespace client_test
