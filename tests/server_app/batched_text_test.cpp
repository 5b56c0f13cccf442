// Text views that take their text in batches: what a handler appends shows
// after the work already queued, whole and in order, in one layout per batch.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QTextBlock>

#include "batched_text.h"

namespace {

class BatchedTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QObject::connect(&View, &QPlainTextEdit::textChanged, [this] { ++Changes; });
  }
  QStringList Blocks() const {
    QStringList blocks;
    for (QTextBlock b = View.document()->begin(); b.isValid(); b = b.next()) blocks << b.text();
    return blocks;
  }

  QPlainTextEdit View;
  int Changes = 0;
};

TEST_F(BatchedTextTest, BurstOfLinesShowsInOrderAfterQueuedWorkInOneChange) {
  TBatchedText log(&View, TBatchedText::TMode::Lines);
  View.setPlainText(QStringLiteral("Memo1"));
  Changes = 0;
  QStringList seenByQueuedWork;
  QMetaObject::invokeMethod(
      &View, [&] { seenByQueuedWork = Blocks(); }, Qt::QueuedConnection);
  for (int i = 0; i < 1000; ++i) log.Append(QStringLiteral("line %1").arg(i));
  log.Append(QString());
  EXPECT_EQ(Blocks(), QStringList{"Memo1"}) << "the lines were laid out inside the handler";

  QCoreApplication::processEvents();
  EXPECT_EQ(seenByQueuedWork, QStringList{"Memo1"}) << "the batch went before work queued earlier";
  const QStringList blocks = Blocks();
  ASSERT_EQ(blocks.size(), 1002);
  EXPECT_EQ(blocks[0], "Memo1");
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(blocks[i + 1], QStringLiteral("line %1").arg(i));
  EXPECT_EQ(blocks[1001], QString()) << "an empty line is a line too";
  EXPECT_EQ(Changes, 1) << "the burst was laid out more than once";
}

TEST_F(BatchedTextTest, ClearDropsWhatIsQueuedAndLaterLinesStillShow) {
  TBatchedText log(&View, TBatchedText::TMode::Lines);
  log.Append(QStringLiteral("before"));
  QCoreApplication::processEvents();
  log.Append(QStringLiteral("queued"));
  log.Clear();
  EXPECT_TRUE(View.toPlainText().isEmpty());
  log.Append(QStringLiteral("after"));
  QCoreApplication::processEvents();
  EXPECT_EQ(View.toPlainText(), QStringLiteral("after"));
}

TEST_F(BatchedTextTest, StreamKeepsEveryCodeUnitAcrossBatchesInBoundedLines) {
  TBatchedText stream(&View, TBatchedText::TMode::Stream, 7);
  QString expected;
  for (int batch = 0; batch < 5; ++batch) {
    for (int piece = 0; piece < 3; ++piece) {
      const QString text = QString(batch + piece + 1, QChar(u'a' + batch));
      stream.Append(text);
      expected += text;
    }
    // A surrogate pair never splits across lines.
    stream.Append(QString::fromUtf16(u"\U0001F600"));
    expected += QString::fromUtf16(u"\U0001F600");
    stream.Append(QString());
    QCoreApplication::processEvents();
  }
  QString joined;
  for (const QString& b : Blocks()) {
    EXPECT_LE(b.size(), 7) << b.toStdString();
    EXPECT_FALSE(!b.isEmpty() && b.back().isHighSurrogate()) << "a pair was split";
    joined += b;
  }
  EXPECT_EQ(joined, expected);
}

}  // namespace
