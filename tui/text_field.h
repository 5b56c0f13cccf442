// TTextField: a single-line edit held as plain text with a cursor, for the
// terminal pages.
#pragma once

#include <cstddef>
#include <string>

// One line of editable UTF-16 text and the cursor's place in it. Main thread only.
class TTextField {
 public:
  TTextField() = default;
  explicit TTextField(std::u16string Text) : FText(std::move(Text)), FCursor(FText.size()) {}

  const std::u16string& Text() const noexcept { return FText; }
  // Replaces the text and puts the cursor at its end.
  void SetText(std::u16string Text);
  // The cursor, in code units from the start; never inside a surrogate pair.
  size_t Cursor() const noexcept { return FCursor; }

  // Inserts one character (a code point) at the cursor.
  void Insert(char32_t c);
  // Deletes the character before the cursor (Backspace) or at it (Delete).
  void DeleteBack();
  void DeleteForward();
  void Left();
  void Right();
  void Home() { FCursor = 0; }
  void End() { FCursor = FText.size(); }

 private:
  std::u16string FText;
  size_t FCursor = 0;
};
