#include "terminal_drawing.h"

#include <algorithm>
#include <cwchar>

#include "sysutils.h"

namespace terminal {

// UTF-16 to the terminal's wide characters; a lone surrogate shows as U+FFFD.
std::wstring Wide(const std::u16string& s) {
  std::wstring out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(static_cast<wchar_t>(NextCodePoint(s, i)));
  return out;
}

// The columns a character takes; characters the terminal cannot show become '?'.
int Columns(wchar_t& c) {
  int w = ::wcwidth(c);
  if (w < 0) {
    c = L'?';
    w = 1;
  }
  return w;
}

int Columns(const std::wstring& s) {
  int n = 0;
  for (wchar_t c : s) n += Columns(c);
  return n;
}

// Writes text at row, col within width columns; returns the columns used.
int Put(int row, int col, int width, const std::wstring& text, attr_t attr) {
  if (width <= 0) return 0;
  std::wstring shown;
  int used = 0;
  for (wchar_t c : text) {
    const int w = Columns(c);
    if (used + w > width) break;
    shown.push_back(c);
    used += w;
  }
  attr_set(attr, 0, nullptr);
  mvaddnwstr(row, col, shown.c_str(), static_cast<int>(shown.size()));
  attr_set(A_NORMAL, 0, nullptr);
  return used;
}

int Put(int row, int col, int width, const std::u16string& text, attr_t attr) {
  return Put(row, col, width, Wide(text), attr);
}

// Breaks text into rows of at most width columns.
void Wrap(const std::wstring& text, int width, std::vector<std::wstring>& rows) {
  std::wstring row;
  int used = 0;
  for (wchar_t c : text) {
    const int w = Columns(c);
    if (used + w > width && !row.empty()) {
      rows.push_back(std::move(row));
      row.clear();
      used = 0;
    }
    row.push_back(c);
    used += w;
  }
  rows.push_back(std::move(row));
}

void Box(int top, int left, int height, int width, const std::u16string& title) {
  if (height < 2 || width < 2) return;
  mvhline(top, left + 1, ACS_HLINE, width - 2);
  mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
  mvvline(top + 1, left, ACS_VLINE, height - 2);
  mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
  mvaddch(top, left, ACS_ULCORNER);
  mvaddch(top, left + width - 1, ACS_URCORNER);
  mvaddch(top + height - 1, left, ACS_LLCORNER);
  mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
  Put(top, left + 2, width - 4, u" " + title + u" ", A_BOLD);
}

// Lines in a box, the newest at the bottom, scroll rows back from the newest
// (clamped to what there is).
void DrawLines(int top, int left, int height, int width,
               const std::deque<std::u16string>& lines, int& scroll) {
  if (height <= 0 || width <= 0) return;
  std::deque<std::wstring> rows;
  std::vector<std::wstring> wrapped;
  const size_t wanted = static_cast<size_t>(height + std::max(scroll, 0));
  bool all = true;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (rows.size() >= wanted) {
      all = false;
      break;
    }
    wrapped.clear();
    Wrap(Wide(*it), width, wrapped);
    for (auto r = wrapped.rbegin(); r != wrapped.rend(); ++r) rows.push_front(std::move(*r));
  }
  const int total = static_cast<int>(rows.size());
  if (all) scroll = std::clamp(scroll, 0, std::max(0, total - height));
  const int last = total - scroll;  // one past the last row shown
  const int first = std::max(0, last - height);
  for (int i = first, row = top + height - (last - first); i < last; ++i, ++row)
    Put(row, left, width, rows[static_cast<size_t>(i)]);
}

// The end of a stream of text in a box, broken into rows of the box's width.
void DrawStream(int top, int left, int height, int width, const std::u16string& text) {
  if (height <= 0 || width <= 0) return;
  const size_t span = static_cast<size_t>(height) * static_cast<size_t>(width);
  size_t start = text.size() > span ? text.size() - span : 0;
  // Rows begin at multiples of the width, so they stay put while text is added.
  start -= start % static_cast<size_t>(width);
  if (start < text.size() && text[start] >= 0xDC00 && text[start] <= 0xDFFF) ++start;
  std::vector<std::wstring> rows;
  Wrap(Wide(text.substr(start)), width, rows);
  const size_t first = rows.size() > static_cast<size_t>(height) ? rows.size() - height : 0;
  for (size_t i = first; i < rows.size(); ++i)
    Put(top + static_cast<int>(i - first), left, width, rows[i]);
}

// An edit of width columns, scrolled so its cursor shows; returns the cursor's column.
int DrawField(int row, int col, int width, const TTextField& field, bool focused) {
  const std::wstring text = Wide(field.Text());
  const size_t cursor = Wide(field.Text().substr(0, field.Cursor())).size();
  size_t start = 0;
  while (start < cursor && Columns(text.substr(start, cursor - start)) > width - 1) ++start;
  const attr_t attr = A_UNDERLINE | (focused ? A_BOLD : A_NORMAL);
  attr_set(attr, 0, nullptr);
  mvhline(row, col, ' ', width);
  Put(row, col, width, text.substr(start), attr);
  return col + Columns(text.substr(start, cursor - start));
}

// A button: its key and caption, dim while disabled; returns the columns used.
int DrawButton(int row, int col, int width, const std::u16string& key,
               const std::u16string& caption, bool enabled) {
  return Put(row, col, width, u"[" + key + u" " + caption + u"]", enabled ? A_BOLD : A_DIM);
}

// A page's title: its caption up to the first line break.
std::u16string Title(const std::u16string& caption) {
  return caption.substr(0, caption.find_first_of(u"\r\n"));
}

}  // namespace terminal
