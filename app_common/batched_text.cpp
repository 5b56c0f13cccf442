#include "batched_text.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <algorithm>

TBatchedText::TBatchedText(QPlainTextEdit* View, TMode Mode, int LineLength)
    : QObject(View),
      FView(View),
      FMode(Mode),
      FLineLength(std::max(1, LineLength)),
      FFlushTimer(new QTimer(this)) {
  // A zero timer fires in the event loop's next pass, after the events already
  // posted (lines and replies on their way), and unlike a posted event of our
  // own it never touches the queue that worker threads post to.
  FFlushTimer->setSingleShot(true);
  FFlushTimer->setInterval(0);
  connect(FFlushTimer, &QTimer::timeout, this, &TBatchedText::Flush);
}

void TBatchedText::Append(const QString& Text) {
  if (FMode == TMode::Lines) {
    if (FHasPending) FPending += u'\n';
    FPending += Text;
    FHasPending = true;
  } else {
    if (Text.isEmpty()) return;
    FPending += Text;
    FHasPending = true;
  }
  if (!FFlushTimer->isActive()) FFlushTimer->start();
}

void TBatchedText::Flush() {
  if (!FHasPending) return;
  const QString text = std::move(FPending);
  FPending.clear();
  FHasPending = false;
  if (FMode == TMode::Lines)
    FView->appendPlainText(text);
  else
    InsertStream(text);
}

void TBatchedText::Clear() {
  FPending.clear();
  FHasPending = false;
  FView->clear();
}

void TBatchedText::InsertStream(const QString& all) {
  QScrollBar* bar = FView->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  QTextDocument* doc = FView->document();
  QTextCursor cursor(doc);
  cursor.beginEditBlock();
  cursor.movePosition(QTextCursor::End);
  qsizetype pos = 0;
  while (pos < all.size()) {
    const qsizetype room = FLineLength - (cursor.block().length() - 1);
    if (room <= 0) {
      cursor.insertBlock();
      continue;
    }
    qsizetype take = std::min<qsizetype>(room, all.size() - pos);
    // Keep a surrogate pair on one line.
    if (take < all.size() - pos && all.at(pos + take - 1).isHighSurrogate()) {
      if (take > 1) {
        --take;
      } else if (cursor.block().length() > 1) {
        cursor.insertBlock();
        continue;
      }
    }
    cursor.insertText(all.mid(pos, take));
    pos += take;
  }
  cursor.endEditBlock();
  if (atEnd) bar->setValue(bar->maximum());
}
