// The pieces the terminal screen and its pages draw with: text in columns,
// boxes, scrolling lines, edits and buttons. Curses must be started.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "text_field.h"

// Last: it takes some names away.
#include "curses_include.h"

namespace terminal {

// UTF-16 to the terminal's wide characters; a lone surrogate shows as U+FFFD.
std::wstring Wide(const std::u16string& s);
// The columns a character takes; characters the terminal cannot show become '?'.
int Columns(wchar_t& c);
int Columns(const std::wstring& s);
// Writes text at row, col within width columns; returns the columns used.
int Put(int row, int col, int width, const std::wstring& text, attr_t attr = A_NORMAL);
int Put(int row, int col, int width, const std::u16string& text, attr_t attr = A_NORMAL);
// Breaks text into rows of at most width columns.
void Wrap(const std::wstring& text, int width, std::vector<std::wstring>& rows);
// A frame with its title in the top edge.
void Box(int top, int left, int height, int width, const std::u16string& title);
// Lines in a box, the newest at the bottom, scroll rows back from the newest
// (clamped to what there is).
void DrawLines(int top, int left, int height, int width,
               const std::deque<std::u16string>& lines, int& scroll);
// The end of a stream of text in a box, broken into rows of the box's width.
void DrawStream(int top, int left, int height, int width, const std::u16string& text);
// An edit of width columns, scrolled so its cursor shows; returns the cursor's column.
int DrawField(int row, int col, int width, const TTextField& field, bool focused);
// A button: its key and caption, dim while disabled; returns the columns used.
int DrawButton(int row, int col, int width, const std::u16string& key,
               const std::u16string& caption, bool enabled);
// A page's title: its caption up to the first line break.
std::u16string Title(const std::u16string& caption);

}  // namespace terminal
