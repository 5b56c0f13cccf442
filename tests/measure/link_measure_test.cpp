// The bench measures a real loopback transfer between its two windows: the
// link statistics, both sides' SHA-256 and the CSV of the samples. (Cancel, which
// is about real input, is tested on a virtual desktop with the e2e tests.)
#include <gtest/gtest.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <sstream>

#include "client_window.h"
#include "events.h"
#include "files.h"
#include "ports.h"
#include "modal_answer.h"
#include "server_window.h"
#include "statistics_panel.h"
#include "test_server.h"
#include "thread.h"
#include "transfer_table.h"

namespace client_test {
using namespace test_support;
namespace {

namespace fs = std::filesystem;

// UDT4 carries this many bytes of data in a packet of the bench's segment size.
constexpr int64_t kPayload = 1052 - 44;

std::string Sha256Of(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

class LinkMeasureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = FreeUdpPort();
    server = std::make_unique<TServerWindow>(nullptr, std::to_string(port));
    server->Form().SetReceiveFolder(folder.Path().string());
    server->SetErrorDisplay([this](const std::u16string& e) { serverErrors.push_back(e); });
    client = std::make_unique<TClientWindow>();
    client->show();
    client->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(client.get())) << "the client window never became active";
  }
  void TearDown() override {
    client.reset();
    server.reset();
    EXPECT_TRUE(TThread::WaitForAllThreads(kWaitBound)) << "server threads still running";
  }

  template <typename T>
  T* Control(const char* name) {
    return ControlOf<T>(client.get(), name);
  }
  void Connect(uint16_t to) {
    Control<QLineEdit>("Edit3")->setText("127.0.0.1");
    Control<QLineEdit>("Edit2")->setText(QString::number(to));
    QTest::mouseClick(Control<QPushButton>("Button1"), Qt::LeftButton);
    ASSERT_TRUE(client->Form().udtClient1->Connected()) << "the client did not connect";
    client->StatisticsPanel()->Tick();  // opens the first interval of the new connection
  }
  QString Cell(int row, int column) {
    QTableWidgetItem* item = server->TransferTable()->item(row, column);
    return item ? item->text() : QString();
  }
  TempFolder folder;
  TempFolder source;
  uint16_t port = 0;
  std::vector<std::u16string> serverErrors;
  std::unique_ptr<TServerWindow> server;
  std::unique_ptr<TClientWindow> client;
};

TEST_F(LinkMeasureTest, TransferIsMeasuredHashedOnBothSidesAndSavedAsCsv) {
  Connect(port);
  const fs::path path = source.Path() / "measured.bin";
  const std::string bytes = WriteFile(path, 3 * 1024 * 1024 + 77, 5);
  const std::string expected = Sha256Of(bytes);
  ChooseFileInNextDialog(path.string());
  QTest::mouseClick(Control<QPushButton>("btnSendFile"), Qt::LeftButton);

  ASSERT_TRUE(WaitWithEvents([&] { return server->TransferTable()->rowCount() == 1; }))
      << "the server recorded no transfer";
  EXPECT_EQ(Cell(0, TTransferTable::colSha256).toStdString(), expected);
  EXPECT_EQ(Cell(0, TTransferTable::colResult), "complete");
  EXPECT_EQ(Cell(0, TTransferTable::colBytes).toLongLong(), static_cast<qint64>(bytes.size()));
  EXPECT_EQ(Cell(0, TTransferTable::colName), "measured.bin");
  EXPECT_GT(Cell(0, TTransferTable::colRtt).toDouble(), 0);

  const auto& summary = client->Form().LastTransfer();
  ASSERT_TRUE(summary.has_value()) << "the client showed no summary";
  EXPECT_EQ(summary->Outcome, TTransferOutcome::Complete);
  EXPECT_EQ(summary->Sha256, expected);
  EXPECT_EQ(summary->Bytes, static_cast<int64_t>(bytes.size()));
  EXPECT_GT(summary->MBps, 0);

  // Every byte has arrived, so the sender's counters hold the whole file.
  TStatisticsPanel* panel = client->StatisticsPanel();
  panel->Tick();
  const std::vector<TLinkSample>& samples = panel->Monitor().Statistics().Samples();
  ASSERT_FALSE(samples.empty());
  EXPECT_GE(samples.back().PacketsSent * kPayload, static_cast<int64_t>(bytes.size()));
  EXPECT_GT(samples.back().RttMs, 0);
  EXPECT_GT(panel->Monitor().Statistics().Rtt().Max, 0);
  EXPECT_TRUE(std::any_of(samples.begin(), samples.end(), [](const TLinkSample& s) { return s.SendMbps > 0; }))
      << "no sample saw data going out";

  const fs::path csv = folder.Path() / "samples.csv";
  ASSERT_TRUE(panel->SaveStatistics(QString::fromStdString(csv.string())));
  std::istringstream lines(ReadFile(csv));
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, kLinkSampleCsvHeader);
  size_t rows = 0;
  while (std::getline(lines, line)) {
    ++rows;
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 12) << line;
  }
  EXPECT_EQ(rows, samples.size());
}

}  // namespace
}  // namespace client_test
