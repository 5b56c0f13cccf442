// TTerminalPage: what the terminal screen needs of a page it shows.
#pragma once

#include <vector>

class TTextField;

// A page of the terminal screen: it lays out and draws its own fields, and
// lists its edits for the focus. Main thread only.
class TTerminalPage {
 public:
  // Where the focused edit's cursor stands.
  struct TCursor {
    int Row;
    int Column;
  };

  virtual ~TTerminalPage() = default;
  // Draws the page below the tab row of a screen Height rows by Width columns,
  // leaving its last three rows (the error line and the help) to the screen.
  virtual TCursor Draw(int Height, int Width) = 0;
  // The page's edits, in focus order.
  virtual std::vector<TTextField*> FocusFields() = 0;

  // The edit that has the focus, an index into FocusFields.
  int Focus = 0;
  // Log rows scrolled back from the newest.
  int Scroll = 0;
  // Rows of the log shown at the last draw, for paging.
  int LogRows = 1;
};
