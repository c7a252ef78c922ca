// Random names for log and data files: one linear congruential generator per
// thread (state * 214013 + 2531011, draws of 15 bits), as the C runtime's
// rand() has always produced on Windows, so names follow the same sequence on
// every platform for a given seed.
#pragma once

#include <cstdint>
#include <string>

namespace kelto {

// How many names a caller draws before it gives up: among 62^7 names only a
// file system that reports every name as taken exhausts this, and a search
// without end would hold the lock every other instance waits for.
constexpr int kNameAttempts = 100;

void seedRandom(std::uint32_t seed);

// `length` characters of 0-9, A-Z, a-z; empty (and nothing drawn) below 1.
std::string randomString(std::int32_t length);

}  // namespace kelto
