// Conversions between the program's wide text (UTF-16 code units) and the
// byte encodings at its edges: UTF-8 on the pipe, the ANSI code page for
// narrow system calls.
#pragma once

#include <string>
#include <string_view>

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

// The system ANSI code page (UTF-8 on POSIX). Never fails visibly.
std::u16string ansiToWide(const std::string& bytes);
std::string wideToAnsi(const std::u16string& text);

