// TTransferTable: the server page's table of received files, one row per file
// request: peer, name, bytes, time, rate, SHA-256 of the bytes stored, result,
// the receiving socket's own view of loss and RTT, and the link settings in force.
#pragma once

#include <QTableWidget>

#include "link_statistics.h"

// The table of received files. Main thread only.
class TTransferTable : public QTableWidget {
  Q_OBJECT

 public:
  // The table keeps its last this many rows.
  static constexpr int kMaxRows = 10000;
  enum TColumn { colPeer, colName, colBytes, colSeconds, colMBps, colSha256, colResult, colLoss, colRtt,
                 colMss, colBlock, colSettings, kColumns };

  explicit TTransferTable(QWidget* parent = nullptr);
  // Adds the row of one file request at the bottom.
  void AddTransfer(const TTransferSummary& Summary);
};
