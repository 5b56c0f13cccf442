// TPageHost: what a terminal page needs of the screen that shows it.
#pragma once

#include <string>

// The screen's side of a terminal page. Main thread only.
class TPageHost {
 public:
  virtual ~TPageHost() = default;
  // Something the page shows has changed; the screen redraws soon.
  virtual void Invalidate() = 0;
  // Shows a failure that left a handler, in the line the operator dismisses.
  virtual void ShowError(const std::u16string& Text) = 0;
};
