// The container-name loop of getListContainer, apart from CryptoAPI so that
// providers with odd buffer habits can be tested.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kelto {

// One PP_ENUMCONTAINERS call: fills `buffer` (of `length` bytes) with the
// first (`first`) or next zero-terminated name and sets `length`; on failure
// returns false with the system error in `error` and, for ERROR_MORE_DATA,
// the size needed in `length`.
using EnumerateContainer = std::function<bool(std::uint8_t* buffer, std::uint32_t& length,
                                              bool first, std::uint32_t& error)>;

// Calls `enumerate` until the provider has no more names, starting with a
// buffer of `bufferSize` bytes, and joins the names (ANSI code page) by ";".
// The length is reset to the buffer's size before every call; a name longer
// than the buffer grows it and is asked for again; any other failure ends
// the list with the names gathered so far.
std::u16string enumerateContainers(std::uint32_t bufferSize,
                                   const EnumerateContainer& enumerate);

}  // namespace kelto
