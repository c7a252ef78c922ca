#include "base64/base64.h"

namespace kelto {

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Alphabet position of each byte value, -1 for the stop characters.
struct SextetTable {
  signed char value[256];
  constexpr SextetTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i)
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr SextetTable kSextets;

int sextet(unsigned c) { return c < 256 ? kSextets.value[c] : -1; }

}  // namespace

std::string encodeBase64(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    std::uint32_t group = static_cast<std::uint32_t>(data[i]) << 16 |
                          static_cast<std::uint32_t>(data[i + 1]) << 8 | data[i + 2];
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += kAlphabet[(group >> 6) & 0x3F];
    out += kAlphabet[group & 0x3F];
  }
  std::size_t left = size - i;
  if (left > 0) {
    std::uint32_t group = static_cast<std::uint32_t>(data[i]) << 16;
    if (left == 2) group |= static_cast<std::uint32_t>(data[i + 1]) << 8;
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += left == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

bool decodesToNothing(std::u16string_view text) {
  // Two accepted characters already give a byte.
  return text.size() < 2 || sextet(text[0]) < 0 || sextet(text[1]) < 0;
}

bool decodeBase64(std::u16string_view text,
                  const std::function<bool(const std::uint8_t*, std::size_t)>& write,
                  std::size_t* stoppedAt) {
  constexpr std::size_t kPiece = 48 * 1024;
  std::uint8_t piece[kPiece + 3];
  std::size_t used = 0;
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t at = 0;
  for (; at < text.size(); ++at) {
    int value = sextet(text[at]);
    if (value < 0) break;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      piece[used++] = static_cast<std::uint8_t>(bits >> 16);
      piece[used++] = static_cast<std::uint8_t>(bits >> 8);
      piece[used++] = static_cast<std::uint8_t>(bits);
      bits = 0;
      count = 0;
      if (used >= kPiece) {
        if (!write(piece, used)) return false;
        used = 0;
      }
    }
  }
  if (stoppedAt) *stoppedAt = at;
  if (count == 2) {
    piece[used++] = static_cast<std::uint8_t>(bits >> 4);
  } else if (count == 3) {
    piece[used++] = static_cast<std::uint8_t>(bits >> 10);
    piece[used++] = static_cast<std::uint8_t>(bits >> 2);
  }
  return used == 0 || write(piece, used);
}

std::size_t findUnreadBase64(std::u16string_view text, std::size_t from) {
  for (std::size_t at = from; at < text.size(); ++at)
    if (sextet(text[at]) >= 0) return at;
  return std::u16string_view::npos;
}

}  // namespace kelto
