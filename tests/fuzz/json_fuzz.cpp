// JSON: parsing never misbehaves, the parser that adopts its text's storage
// agrees with the one that copies, serialized text is always valid UTF-8,
// and parse -> serialize -> parse is a fixed point: the same structure,
// member names, strings and literals. Numbers are held to what the number
// rules allow: the parser accumulates digits in doubles and the serializer
// keeps 15 significant digits, so a number may move in its 15th digit when
// read back (about one 15-digit value in forty), and a finite value that
// 15 digits round past the largest double reads back as infinity, which is
// written as null.
//
// Input: UTF-8 text when it is valid UTF-8 (as requests arrive), otherwise
// raw UTF-16LE code units, so that lone surrogates and NULs reach the parser.
#include <utf8.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "json/json.h"
#include "sandbox.h"
#include "text/textconv.h"

using kelto_fuzz::require;

namespace kelto {
namespace {

std::u16string textOf(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (utf8::is_valid(bytes.begin(), bytes.end())) return utf8ToWide(bytes);
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  return units;
}

bool sameNumber(double a, double b) {
  if (a == b) return true;
  const double scale = std::max(std::fabs(a), std::fabs(b));
  // Thirteen digits survive the accumulation at any exponent; below the
  // normal range the repeated division keeps fewer bits than that.
  return scale < 1e-290 || std::fabs(a - b) <= scale * 1e-13;
}

// Whether `again`, read back from the serialization of `first`, is the same.
bool stable(const JsonValue& first, const JsonValue& again) {
  if (first.isNumber() && again.isNull()) return std::fabs(first.asNumber()) >= 1e308;
  if (first.type() != again.type()) return false;
  switch (first.type()) {
    case JsonType::Number: return sameNumber(first.asNumber(), again.asNumber());
    case JsonType::Array:
      return std::equal(first.asArray().begin(), first.asArray().end(),
                        again.asArray().begin(), again.asArray().end(), stable);
    case JsonType::Object:
      return std::equal(first.asObject().begin(), first.asObject().end(),
                        again.asObject().begin(), again.asObject().end(),
                        [](const auto& a, const auto& b) {
                          return a.first == b.first && stable(a.second, b.second);
                        });
    case JsonType::String: return first.asString() == again.asString();
    case JsonType::Bool: return first.asBool() == again.asBool();
    default:  // null
      return true;
  }
}

int testOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = textOf(data, size);
  const std::unique_ptr<JsonValue> first = JsonValue::parse(text);
  std::u16string donor = text;
  const std::unique_ptr<JsonValue> adopted = JsonValue::parseOwned(std::move(donor));
  require(!first == !adopted, "parse and parseOwned disagree on validity");
  if (!first) return 0;

  const std::u16string serialized = JsonValue::serialize(*first);
  require(JsonValue::serialize(*adopted) == serialized, "parse and parseOwned disagree");
  // The reply writer would drop a reply that is not valid UTF-16.
  const std::string bytes = wideToUtf8(serialized);
  require(utf8::is_valid(bytes.begin(), bytes.end()), "serialized text is not UTF-8");

  const std::unique_ptr<JsonValue> again = JsonValue::parse(serialized);
  require(again != nullptr, "serialized text does not parse");
  require(stable(*first, *again), "parse(serialize(value)) is another value");
  return 0;
}

}  // namespace
}  // namespace kelto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelto::testOneInput(data, size);
}
