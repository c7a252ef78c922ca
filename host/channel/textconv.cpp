#include "channel/textconv.h"

#include <iterator>

#include <utf8.h>

#include "platform/platform.h"



std::u16string utf8ToWide(std::string_view bytes) {
  std::u16string wide;
  // A UTF-8 text never has more UTF-16 units than bytes: one allocation.
  wide.reserve(bytes.size());
  utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(wide));
  return wide;
}

std::string wideToUtf8(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size());
  utf8::utf16to8(text.begin(), text.end(), std::back_inserter(bytes));
  return bytes;
}

std::u16string ansiToWide(const std::string& bytes) {
  return kelto::platform::ansiToWide(bytes);
}

std::string wideToAnsi(const std::u16string& text) {
  return kelto::platform::wideToAnsi(text);
}


