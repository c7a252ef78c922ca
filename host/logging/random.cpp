#include "logging/random.h"

namespace kelto {

namespace {

thread_local std::uint32_t t_state = 1;

std::uint32_t draw() {
  t_state = t_state * 214013u + 2531011u;
  return (t_state >> 16) & 0x7FFFu;
}

}  // namespace

void seedRandom(std::uint32_t seed) { t_state = seed; }

std::string randomString(std::int32_t length) {
  static const char kAlphabet[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string result;
  if (length < 1) return result;
  result.reserve(static_cast<std::size_t>(length));
  for (std::int32_t i = 0; i < length; ++i) result += kAlphabet[draw() % 62u];
  return result;
}

}  // namespace kelto
