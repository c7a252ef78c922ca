#include "json/json.h"

#include <utility>

namespace kelto {

JsonValue::JsonValue(JsonArray elements)
    : payload_(std::make_unique<JsonArray>(std::move(elements))) {}

JsonValue::JsonValue(JsonObject members)
    : payload_(std::make_unique<JsonObject>(std::move(members))) {}

JsonValue::JsonValue(const JsonValue& other) {
  switch (other.type()) {
    case JsonType::Array: payload_ = std::make_unique<JsonArray>(other.asArray()); break;
    case JsonType::Object:
      payload_ = std::make_unique<JsonObject>(other.asObject());
      break;
    case JsonType::Null: break;
    case JsonType::String: payload_ = other.asString(); break;
    case JsonType::Bool: payload_ = other.asBool(); break;
    case JsonType::Number: payload_ = other.asNumber(); break;
  }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

JsonValue::~JsonValue() = default;

const JsonValue* JsonValue::member(std::u16string_view name) const {
  if (!isObject()) return nullptr;
  const JsonObject& members = asObject();
  auto it = members.find(name);
  return it == members.end() ? nullptr : &it->second;
}

JsonValue* JsonValue::member(std::u16string_view name) {
  return const_cast<JsonValue*>(std::as_const(*this).member(name));
}

}  // namespace kelto
