// TBatchedText: text appended to a QPlainTextEdit in batches. Appends are
// collected and laid out together once per pass of the event loop, after the
// work already queued, so a burst of lines or traffic pieces costs one layout
// and a handler that appends never waits for text layout.
#pragma once

#include <QObject>
#include <QString>

class QPlainTextEdit;
class QTimer;

// The batches of one text view; a child of the view. Main thread only.
class TBatchedText : public QObject {
 public:
  enum class TMode {
    Lines,  // each append is a new line, as appendPlainText
    Stream  // appends continue the text, broken into lines of at most LineLength
  };

  TBatchedText(QPlainTextEdit* View, TMode Mode, int LineLength = 0);
  TBatchedText(const TBatchedText&) = delete;
  TBatchedText& operator=(const TBatchedText&) = delete;

  // Queues text for the view; it shows after the work already queued for the event loop.
  void Append(const QString& Text);
  // Puts everything queued into the view now.
  void Flush();
  // Drops what is queued and empties the view.
  void Clear();

 private:
  void InsertStream(const QString& Text);

  QPlainTextEdit* FView;
  TMode FMode;
  int FLineLength;
  QString FPending;
  bool FHasPending = false;
  QTimer* FFlushTimer;  // runs Flush in the event loop's next pass
};
