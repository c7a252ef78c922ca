// Base64: decode(encode(x)) == x; any text decodes without reading or
// writing out of bounds, as far as its first character outside the alphabet
// and no further, which it reports, as it reports alphabet characters after
// it. That units above 0xFF stop decoding is left to the unit tests.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "sandbox.h"

using kelto_fuzz::require;

namespace kelto {
namespace {

bool inAlphabet(unsigned c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

// Decodes wide text into one byte vector; `stop` receives where reading stopped.
std::vector<std::uint8_t> decode(std::u16string_view text, std::size_t& stop) {
  std::vector<std::uint8_t> out;
  decodeBase64(
      text,
      [&out](const std::uint8_t* p, std::size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
      },
      &stop);
  return out;
}

int testOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string encoded = encodeBase64(data, size);
  require(encoded.size() == (size + 2) / 3 * 4, "encoded length");
  std::size_t stop = 0;
  require(decode(std::u16string(encoded.begin(), encoded.end()), stop) ==
              std::vector<std::uint8_t>(data, data + size),
          "decode(encode(x)) != x");

  // The same bytes as text: decoding stops at the first stop character.
  const std::u16string text(data, data + size);
  const std::vector<std::uint8_t> decoded = decode(text, stop);
  std::size_t accepted = 0;
  while (accepted < size && inAlphabet(data[accepted])) ++accepted;
  require(stop == accepted, "reading stopped elsewhere");
  // Each character holds six bits; an incomplete last byte is dropped.
  require(decoded.size() == accepted * 3 / 4, "decoded length");
  const std::size_t whole = accepted - accepted % 4;
  require(encodeBase64(decoded.data(), decoded.size())
                  .compare(0, whole, reinterpret_cast<const char*>(data), whole) == 0,
          "re-encoding differs from the text's complete groups");
  require(decodesToNothing(text) == decoded.empty(), "decodesToNothing is wrong");
  std::size_t unread = accepted;
  while (unread < size && !inAlphabet(data[unread])) ++unread;
  require(findUnreadBase64(text, stop) ==
              (unread < size ? unread : std::u16string_view::npos),
          "unread data missed");
  return 0;
}

}  // namespace
}  // namespace kelto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelto::testOneInput(data, size);
}
