#include <cmath>
#include <cstdio>
#include <cstring>

#include "json/json.h"

namespace kelto {

namespace {

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendUnicodeEscape(std::u16string& out, char16_t unit) {
  static const char16_t kHex[] = u"0123456789abcdef";
  out += u"\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

// Only a lone surrogate or a control character without a short escape gets a
// \u escape: both would otherwise make the reply invalid UTF-8 or invalid
// JSON. Everything else, non-ASCII included, is written as it stands.
void quoteString(std::u16string& out, const std::u16string& text) {
  out += u'"';
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t unit = text[i];
    switch (unit) {
      case u'"': out += u"\\\""; continue;
      case u'\\': out += u"\\\\"; continue;
      case u'/': out += u"\\/"; continue;
      case u'\b': out += u"\\b"; continue;
      case u'\f': out += u"\\f"; continue;
      case u'\n': out += u"\\n"; continue;
      case u'\r': out += u"\\r"; continue;
      case u'\t': out += u"\\t"; continue;
      default: break;
    }
    if (unit < 0x20) {
      appendUnicodeEscape(out, unit);
    } else if (isHighSurrogate(unit)) {
      if (i + 1 < n && isLowSurrogate(text[i + 1])) {
        out += unit;
        out += text[++i];
      } else {
        appendUnicodeEscape(out, unit);
      }
    } else if (isLowSurrogate(unit)) {
      appendUnicodeEscape(out, unit);
    } else {
      out += unit;
    }
  }
  out += u'"';
}

// The %.15g rule with an exponent of at least three digits, whatever the C
// runtime prints (MSVCRT gives three digits, C99 runtimes two).
void appendNumber(std::u16string& out, double number) {
  if (std::isnan(number) || std::isinf(number)) {
    out += u"null";
    return;
  }
  char buffer[40];
  int length = std::snprintf(buffer, sizeof buffer, "%.15g", number);
  if (length <= 0) {
    out += u"null";
    return;
  }
  std::string text(buffer, static_cast<std::size_t>(length));
  std::size_t e = text.find('e');
  if (e != std::string::npos) {
    std::size_t digits = e + 2;  // after "e" and its sign
    std::size_t count = text.size() - digits;
    if (count < 3) text.insert(digits, 3 - count, '0');
  }
  out.append(text.begin(), text.end());
}

void write(std::u16string& out, const JsonValue& value) {
  switch (value.type()) {
    case JsonType::Null: out += u"null"; break;
    case JsonType::String: quoteString(out, value.asString()); break;
    case JsonType::Bool: out += value.asBool() ? u"true" : u"false"; break;
    case JsonType::Number: appendNumber(out, value.asNumber()); break;
    case JsonType::Array: {
      out += u'[';
      bool first = true;
      for (const JsonValue& element : value.asArray()) {
        if (!first) out += u',';
        first = false;
        write(out, element);
      }
      out += u']';
      break;
    }
    case JsonType::Object: {
      out += u'{';
      bool first = true;
      for (const auto& [key, member] : value.asObject()) {
        if (!first) out += u',';
        first = false;
        quoteString(out, key);
        out += u':';
        write(out, member);
      }
      out += u'}';
      break;
    }
  }
}

}  // namespace

std::u16string JsonValue::serialize(const JsonValue& value) {
  std::u16string out;
  write(out, value);
  return out;
}

}  // namespace kelto
