// Conversions between the program's wide text (UTF-16 code units) and UTF-8,
// on utfcpp: the pipe's encoding, the log's, and the ANSI code page of POSIX
// (the platform layer has the ANSI conversions of each system).
#pragma once

#include <string>
#include <string_view>

namespace kelto {

// Checked UTF-8 decoding. Throws a utf8::exception (not_enough_room,
// invalid_utf8, invalid_code_point) on malformed input; never repairs.
std::u16string utf8ToWide(std::string_view bytes);

// The same decoding for text that arrives in pieces, appended to `out`: a
// sequence split between two pieces is completed by the next one, so a large
// message never needs all its bytes in memory at once.
class Utf8Decoder {
 public:
  explicit Utf8Decoder(std::u16string& out) : out_(out) {}
  // Throws a utf8::exception on malformed input.
  void feed(std::string_view bytes);
  // Throws utf8::not_enough_room when the text ended inside a sequence.
  void finish();

 private:
  void decodeWhole(std::string_view bytes);

  std::u16string& out_;
  std::string pending_;
};

// Checked UTF-8 encoding. Throws utf8::invalid_utf16 on an unpaired surrogate.
std::string wideToUtf8(const std::u16string& text);

// The number of bytes wideToUtf8 makes of `text`, without making them. An
// unpaired surrogate counts as the three bytes of a replacement character.
std::size_t utf8Length(std::u16string_view text);

// UTF-8 of text that may hold lone surrogates (they arrive through JSON
// escapes): each becomes `lone` instead of failing. Never throws but
// std::bad_alloc.
std::string wideToUtf8Lenient(std::u16string_view text, char32_t lone);

// Calls `take(codePoint)` for every code point of UTF-16 text, a surrogate
// pair giving one. A lone surrogate is given as `lone`, or, when `lone` is 0,
// ends the walk. Returns false when the walk ended early (a lone surrogate
// with `lone` 0, or `take` returning false), else true.
template <typename Take>
bool forEachCodePoint(std::u16string_view text, char32_t lone, Take&& take) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00u);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (lone == 0) return false;
      cp = lone;
    }
    if (!take(cp)) return false;
  }
  return true;
}

}  // namespace kelto
