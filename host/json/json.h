// The JSON document model over wide text (UTF-16 code units).
//
// A JsonValue owns its whole subtree; copying is deep, moving is cheap.
// Objects keep their members ordered by key, compared code unit by code unit
// as unsigned 16-bit numbers (a key that is a prefix of another sorts first),
// so every serialized object lists its members in that order whatever order
// they were inserted in.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelto {

class JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::map<std::u16string, JsonValue, std::less<>>;

enum class JsonType : std::int32_t {
  Null = 0,
  String = 1,
  Bool = 2,
  Number = 3,
  Array = 4,
  Object = 5
};

class JsonValue {
 public:
  JsonValue() = default;  // null
  explicit JsonValue(std::u16string text) : payload_(std::move(text)) {}
  explicit JsonValue(const char16_t* text) : payload_(std::u16string(text)) {}
  explicit JsonValue(bool flag) : payload_(flag) {}
  explicit JsonValue(double number) : payload_(number) {}
  explicit JsonValue(JsonArray elements);
  explicit JsonValue(JsonObject members);

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept = default;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept = default;
  ~JsonValue();

  JsonType type() const { return static_cast<JsonType>(payload_.index()); }
  bool isNull() const { return type() == JsonType::Null; }
  bool isString() const { return type() == JsonType::String; }
  bool isBool() const { return type() == JsonType::Bool; }
  bool isNumber() const { return type() == JsonType::Number; }
  bool isArray() const { return type() == JsonType::Array; }
  bool isObject() const { return type() == JsonType::Object; }

  // Accessors: the caller tests the kind first; another kind is a
  // precondition violation (std::bad_variant_access).
  const std::u16string& asString() const { return std::get<std::u16string>(payload_); }
  bool asBool() const { return std::get<bool>(payload_); }
  double asNumber() const { return std::get<double>(payload_); }
  const JsonArray& asArray() const { return *std::get<ArrayPtr>(payload_); }
  JsonArray& asArray() { return *std::get<ArrayPtr>(payload_); }
  const JsonObject& asObject() const { return *std::get<ObjectPtr>(payload_); }
  JsonObject& asObject() { return *std::get<ObjectPtr>(payload_); }

  // The member of that name of an object value, or nullptr when the object
  // has none or this value is not an object.
  const JsonValue* member(std::u16string_view name) const;
  JsonValue* member(std::u16string_view name);

  // Compact JSON text: no blanks outside strings, members in key order.
  static std::u16string serialize(const JsonValue& value);

  // Parses one complete JSON value (blanks around it allowed). The text ends
  // at its first U+0000. Returns nullptr on any syntax error or when arrays
  // and objects nest deeper than kMaxDepth.
  static std::unique_ptr<JsonValue> parse(std::u16string_view text);
  // The same, allowed to take over the text's storage for its first long
  // string without escapes (request content of tens of MiB is then never
  // held twice). The text is left unspecified.
  static std::unique_ptr<JsonValue> parseOwned(std::u16string&& text);

  static constexpr int kMaxDepth = 512;

 private:
  using ArrayPtr = std::unique_ptr<JsonArray>;
  using ObjectPtr = std::unique_ptr<JsonObject>;
  // The alternatives are in JsonType order, so index() is the type tag.
  std::variant<std::monostate, std::u16string, bool, double, ArrayPtr, ObjectPtr>
      payload_;
};

}  // namespace kelto
