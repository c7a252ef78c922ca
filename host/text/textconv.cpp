#include "text/textconv.h"

#include <algorithm>
#include <iterator>

#include <utf8.h>

namespace kelto {

namespace {

// Bytes in the sequence a lead byte starts; 0 for a byte that starts none.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  if ((lead >> 3) == 0x1E) return 4;
  return 0;
}

}  // namespace

std::u16string utf8ToWide(std::string_view bytes) {
  std::u16string wide;
  // A UTF-8 text never has more UTF-16 units than bytes: one allocation.
  wide.reserve(bytes.size());
  Utf8Decoder decoder(wide);
  decoder.feed(bytes);
  decoder.finish();
  return wide;
}

void Utf8Decoder::feed(std::string_view bytes) {
  if (!pending_.empty()) {
    const std::size_t need = sequenceLength(static_cast<unsigned char>(pending_[0]));
    const std::size_t take = std::min(need - pending_.size(), bytes.size());
    pending_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (pending_.size() < need) return;
    decodeWhole(pending_);
    pending_.clear();
  }
  // Keep back a sequence that the next piece completes.
  std::size_t cut = bytes.size();
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const auto c = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((c & 0xC0) == 0x80) continue;
    if (sequenceLength(c) > back) cut = bytes.size() - back;
    break;
  }
  decodeWhole(bytes.substr(0, cut));
  pending_.assign(bytes.substr(cut));
}

void Utf8Decoder::finish() {
  if (!pending_.empty()) throw utf8::not_enough_room();
}

void Utf8Decoder::decodeWhole(std::string_view bytes) {
  const auto* it = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = it + bytes.size();
  char16_t widened[4096];
  while (it != end) {
    // Blocks of ASCII are widened in one simple pass; utfcpp checks the rest.
    const std::size_t avail = std::min<std::size_t>(static_cast<std::size_t>(end - it),
                                                    sizeof widened / sizeof widened[0]);
    unsigned char seen = 0;
    for (std::size_t k = 0; k < avail; ++k) {
      widened[k] = it[k];
      seen = static_cast<unsigned char>(seen | it[k]);
    }
    std::size_t ascii = avail;
    if (seen >= 0x80) {
      ascii = 0;
      while (it[ascii] < 0x80) ++ascii;
    }
    out_.append(widened, ascii);
    const auto* const blockEnd = it + avail;
    it += ascii;
    // The rest of a block with non-ASCII text goes unit by unit: widening the
    // block again after every sequence would cost a block per character.
    while (it < blockEnd) {
      if (*it < 0x80) {
        out_ += static_cast<char16_t>(*it++);
        continue;
      }
      const char* at = reinterpret_cast<const char*>(it);
      const utf8::uint32_t cp = utf8::next(at, reinterpret_cast<const char*>(end));
      it = reinterpret_cast<const unsigned char*>(at);
      if (cp < 0x10000) {
        out_ += static_cast<char16_t>(cp);
      } else {
        out_ += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        out_ += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      }
    }
  }
}

std::string wideToUtf8(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size());
  utf8::utf16to8(text.begin(), text.end(), std::back_inserter(bytes));
  return bytes;
}

std::size_t utf8Length(std::u16string_view text) {
  std::size_t bytes = 0;
  forEachCodePoint(text, 0xFFFD, [&bytes](char32_t cp) {
    bytes += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    return true;
  });
  return bytes;
}

std::string wideToUtf8Lenient(std::u16string_view text, char32_t lone) {
  std::string bytes;
  bytes.reserve(text.size());
  forEachCodePoint(text, lone, [&bytes](char32_t cp) {
    utf8::unchecked::append(static_cast<utf8::uint32_t>(cp), std::back_inserter(bytes));
    return true;
  });
  return bytes;
}

}  // namespace kelto
