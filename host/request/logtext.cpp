#include "request/logtext.h"

#include "json/json.h"

namespace kelto {

namespace {

void maskPasswords(JsonValue& value) {
  if (value.isArray()) {
    for (JsonValue& element : value.asArray()) maskPasswords(element);
    return;
  }
  if (!value.isObject()) return;
  for (auto& [key, member] : value.asObject()) {
    if (key == u"password")
      member = JsonValue(member.isString() && member.asString().empty() ? u"is empty"
                                                                        : u"is exist");
    else
      maskPasswords(member);
  }
}

}  // namespace

std::u16string textForLog(const std::u16string& json) {
  std::unique_ptr<JsonValue> document = JsonValue::parse(json);
  if (!document) {
    const std::string length = std::to_string(json.size());
    return u"(not JSON, " + std::u16string(length.begin(), length.end()) +
           u" characters)";
  }
  maskPasswords(*document);
  return JsonValue::serialize(*document);
}

}  // namespace kelto
