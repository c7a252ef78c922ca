// Base64 of RFC 4648 (standard alphabet, padded output, no line breaks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kelto {

std::string encodeBase64(const std::uint8_t* data, std::size_t size);

// True when decoding gives no bytes for the text; looks at two characters.
bool decodesToNothing(std::u16string_view text);

// Decodes request text leniently, straight from the request, handing the
// bytes to `write` in pieces so that large content is never in memory twice.
// Reading stops at the first "=" or at the first character outside the
// alphabet (any unit above 0xFF included); a last group of two or three
// characters gives one or two bytes, a single leftover character nothing.
// Stops and returns false as soon as `write` returns false. `stoppedAt`, when
// given, receives the offset where reading stopped (the text's length when
// every character was read).
bool decodeBase64(std::u16string_view text,
                  const std::function<bool(const std::uint8_t*, std::size_t)>& write,
                  std::size_t* stoppedAt = nullptr);

// The offset of the first alphabet character at or after `from`, or npos:
// where decoding stopped at `from`, the data that it left unread.
std::size_t findUnreadBase64(std::u16string_view text, std::size_t from);

}  // namespace kelto
