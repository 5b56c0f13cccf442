#include "transfer_table.h"

#include <QHeaderView>

#include "statistics_text.h"

namespace {

struct TColumnText {
  const char* title;
  const char* meaning;
};

constexpr TColumnText kColumnTexts[TTransferTable::kColumns] = {
    {"Peer", "The client's address and port."},
    {"Name", "The file name the client sent."},
    {"Bytes", "Bytes received and stored."},
    {"Seconds", "From the file request to the end of the data."},
    {"MB/s", "Bytes stored per second, in 10^6 bytes."},
    {"SHA-256", "SHA-256 of the bytes stored, computed as they arrived; compare it with the "
                "client's summary."},
    {"Result", "complete: every announced byte stored under the name; cut: the transfer "
               "ended early; refused: no file was created."},
    {"Loss seen", "Packets the server's socket found missing during the transfer (each was "
                  "asked for again)."},
    {"Avg RTT ms", "Average of the round-trip time UDT measured on the server's socket "
                   "during the transfer."},
    {"MSS", "The segment size the connection settled on: the smaller of the two ends'."},
    {"Block", "Bytes of file data per receive call on the server."},
    {"Link settings", "The connection's settings, read back from UDT4 after it was accepted."},
};

static_assert(TTransferTable::colMss == kSummaryColumns && TTransferTable::colSha256 == scSha256 &&
              TTransferTable::colRtt == scAverageRtt);

}  // namespace

TTransferTable::TTransferTable(QWidget* parent) : QTableWidget(0, kColumns, parent) {
  setObjectName(QStringLiteral("TransferTable"));
  for (int c = 0; c < kColumns; ++c) {
    auto* header = new QTableWidgetItem(QString::fromUtf8(kColumnTexts[c].title));
    header->setToolTip(QString::fromUtf8(kColumnTexts[c].meaning));
    setHorizontalHeaderItem(c, header);
  }
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  verticalHeader()->setVisible(false);
  verticalHeader()->setDefaultSectionSize(18);
  horizontalHeader()->setStretchLastSection(true);
}

void TTransferTable::AddTransfer(const TTransferSummary& s) {
  if (rowCount() >= kMaxRows) removeRow(0);
  const int row = rowCount();
  insertRow(row);
  const auto summary = SummaryColumns(s);
  const std::string settings[] = {s.Settings ? std::to_string(s.Settings->Mss) : "",
                                  s.Settings ? std::to_string(s.Settings->Block) : "",
                                  s.Settings ? LinkSettingsText(*s.Settings) : ""};
  // The summary's columns, then the link settings'.
  auto texts = [&](int c) -> const std::string& {
    return c < kSummaryColumns ? summary[static_cast<size_t>(c)] : settings[c - kSummaryColumns];
  };
  for (int c = 0; c < kColumns; ++c) {
    auto* item = new QTableWidgetItem(QString::fromStdString(texts(c)));
    if (c == colBytes || c == colSeconds || c == colMBps || c == colLoss || c == colRtt ||
        c == colMss || c == colBlock)
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setItem(row, c, item);
  }
  resizeColumnsToContents();
  scrollToBottom();
}
