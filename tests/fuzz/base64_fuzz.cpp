// Base64: decode(encode(x)) == x; any text decodes without reading or
// writing out of bounds, as far as its first character outside the alphabet
// and no further; the wide decoder agrees with the narrow one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "sandbox.h"

using kelto_fuzz::require;

namespace {

bool inAlphabet(unsigned c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string encoded = encodeBase64(data, size);
  require(encoded.size() == (size + 2) / 3 * 4, "encoded length");
  require(decodeBase64(encoded) == std::vector<std::uint8_t>(data, data + size),
          "decode(encode(x)) != x");

  // The same bytes as text: decoding stops at the first stop character.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::uint8_t> decoded = decodeBase64(text);
  std::size_t accepted = 0;
  while (accepted < size && inAlphabet(data[accepted])) ++accepted;
  const std::size_t tail = accepted % 4;
  require(decoded.size() == accepted / 4 * 3 + (tail == 2 ? 1 : tail == 3 ? 2 : 0),
          "decoded length");
  const std::size_t whole = accepted - tail;
  require(encodeBase64(decoded.data(), decoded.size()).compare(0, whole, text.substr(0, whole)) ==
              0,
          "re-encoding differs from the text's complete groups");

  // As wide text, unit by unit: units beyond one byte are stop characters.
  std::u16string wide;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    wide += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  std::string narrowed;
  for (char16_t unit : wide) narrowed += unit < 256 ? static_cast<char>(unit) : '!';
  std::vector<std::uint8_t> pieces;
  decodeBase64(wide, [&pieces](const std::uint8_t* p, std::size_t n) {
    pieces.insert(pieces.end(), p, p + n);
    return true;
  });
  require(pieces == decodeBase64(narrowed), "wide and narrow decoders disagree");
  require(decodesToNothing(wide) == pieces.empty(), "decodesToNothing is wrong");
  return 0;
}
