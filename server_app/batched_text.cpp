#include "batched_text.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>

namespace {

const QEvent::Type kFlushEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

TBatchedText::TBatchedText(QPlainTextEdit* View, TMode Mode, int LineLength)
    : QObject(View), FView(View), FMode(Mode), FLineLength(std::max(1, LineLength)) {}

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
  if (!FScheduled) {
    FScheduled = true;
    // Low priority: lines and replies already on their way are handled first.
    QCoreApplication::postEvent(this, new QEvent(kFlushEvent), Qt::LowEventPriority);
  }
}

bool TBatchedText::event(QEvent* Event) {
  if (Event->type() != kFlushEvent) return QObject::event(Event);
  FScheduled = false;
  Flush();
  return true;
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
