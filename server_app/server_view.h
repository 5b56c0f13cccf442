// IServerView: the view operations the server window's logic runs over, so the
// same handlers drive the Qt window, a terminal front-end or a test recorder.
#pragma once

#include <string>

#include "link_statistics.h"

// The two edits whose text the logic reads.
enum TServerEdit { edtIP, edtPort };
// The two buttons whose state the logic sets.
enum TServerButton { btnOpen, btnClose };

// One line of the server log. A conversation's line carries its peer's host
// and port and the text of what happened; other lines only their text.
struct TServerLogLine {
  std::u16string Host;
  std::u16string Port;
  std::u16string Text;
  bool FromPeer = false;
  // The line as the log shows it: "<%s: %s> %s" of host, port and text, or the text.
  std::u16string Line() const { return FromPeer ? u"<" + Host + u": " + Port + u"> " + Text : Text; }
};

// What the server window's logic needs of its window. Every operation is called
// on the main thread only.
class IServerView {
 public:
  virtual ~IServerView() = default;

  // The current text of an edit.
  virtual std::u16string EditText(TServerEdit Which) const = 0;
  // Enables or disables a button.
  virtual void SetButtonEnabled(TServerButton Which, bool Enabled) = 0;
  // Adds a line at the end of the server log.
  virtual void AppendLog(const std::u16string& Line) = 0;
  // Adds a line given by its fields; a view that shows only text takes Line.Line().
  virtual void AppendLogLine(const TServerLogLine& Line) { AppendLog(Line.Line()); }
  // Empties the server log.
  virtual void ClearLog() = 0;
  // Shows every other window of the application.
  virtual void ShowOtherWindows() = 0;
  // Adds a row to the table of received files; a view without one ignores it.
  virtual void AddTransfer(const TTransferSummary&) {}
};
