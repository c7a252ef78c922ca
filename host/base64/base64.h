// Base64 of RFC 4648 (standard alphabet, padded output, no line breaks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

std::string encodeBase64(const std::uint8_t* data, std::size_t size);

// Lenient decoding that never fails: reading stops at the first "=" or at the
// first character outside the alphabet, and whatever follows is ignored. A
// last group of two or three characters gives one or two bytes; a single
// leftover character gives nothing.
std::vector<std::uint8_t> decodeBase64(std::string_view text);

// True when decodeBase64 gives no bytes for the text; looks at two characters.
bool decodesToNothing(std::u16string_view text);

// Decodes wide request text like decodeBase64, straight from the request and
// handing the bytes to `write` in pieces instead of holding them all, so that
// large content is never in memory twice.
// Stops and returns false as soon as `write` returns false.
bool decodeBase64(std::u16string_view text,
                  const std::function<bool(const std::uint8_t*, std::size_t)>& write);
