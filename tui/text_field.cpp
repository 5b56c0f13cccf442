#include "text_field.h"

namespace {

bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void TTextField::SetText(std::u16string Text) {
  FText = std::move(Text);
  FCursor = FText.size();
}

void TTextField::Insert(char32_t c) {
  std::u16string units;
  if (c >= 0x10000 && c <= 0x10FFFF) {
    c -= 0x10000;
    units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else if (c < 0xD800 || (c > 0xDFFF && c < 0x10000)) {
    units.push_back(static_cast<char16_t>(c));
  } else {
    return;
  }
  FText.insert(FCursor, units);
  FCursor += units.size();
}

void TTextField::DeleteBack() {
  if (FCursor == 0) return;
  const size_t from = FCursor >= 2 && IsLowSurrogate(FText[FCursor - 1]) ? FCursor - 2 : FCursor - 1;
  FText.erase(from, FCursor - from);
  FCursor = from;
}

void TTextField::DeleteForward() {
  if (FCursor >= FText.size()) return;
  const size_t n = FCursor + 1 < FText.size() && IsLowSurrogate(FText[FCursor + 1]) ? 2 : 1;
  FText.erase(FCursor, n);
}

void TTextField::Left() {
  if (FCursor == 0) return;
  --FCursor;
  if (FCursor > 0 && IsLowSurrogate(FText[FCursor])) --FCursor;
}

void TTextField::Right() {
  if (FCursor >= FText.size()) return;
  ++FCursor;
  if (FCursor < FText.size() && IsLowSurrogate(FText[FCursor])) ++FCursor;
}
