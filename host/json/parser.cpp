#include <cmath>
#include <optional>

#include "json/json.h"

namespace kelto {

namespace {

// A recursive-descent reader over UTF-16 code units. Literals are matched
// ignoring ASCII case and a raw tab is accepted inside strings, as the
// browser side has always been allowed to send them. Numbers are accumulated
// digit by digit in doubles, so their last bits follow that accumulation
// rather than correct rounding.
class Parser {
 public:
  explicit Parser(std::u16string_view text) : text_(text) {}
  // `donor` holds the text; its storage may become the value of one string.
  Parser(std::u16string_view text, std::u16string& donor) : text_(text), donor_(&donor) {}

  std::unique_ptr<JsonValue> parseDocument() {
    if (!skipBlanks()) return nullptr;
    std::optional<JsonValue> value = parseValue(0);
    if (!value) return nullptr;
    if (skipBlanks()) return nullptr;  // trailing text
    return std::make_unique<JsonValue>(std::move(*value));
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char16_t current() const { return atEnd() ? u'\0' : text_[pos_]; }
  static bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

  // Advances over blanks; true when a code unit remains.
  bool skipBlanks() {
    while (!atEnd()) {
      char16_t c = text_[pos_];
      if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n') return true;
      ++pos_;
    }
    return false;
  }

  bool matchLiteral(std::u16string_view literal) const {
    if (text_.size() - pos_ < literal.size()) return false;
    for (std::size_t i = 0; i < literal.size(); ++i) {
      char16_t c = text_[pos_ + i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != literal[i]) return false;
    }
    return true;
  }

  std::optional<JsonValue> parseValue(int depth) {
    char16_t c = current();
    if (c == u'"') {
      ++pos_;
      std::u16string text;
      if (!readStringBody(text)) return std::nullopt;
      return JsonValue(std::move(text));
    }
    if (matchLiteral(u"true")) {
      pos_ += 4;
      return JsonValue(true);
    }
    if (matchLiteral(u"false")) {
      pos_ += 5;
      return JsonValue(false);
    }
    if (matchLiteral(u"null")) {
      pos_ += 4;
      return JsonValue();
    }
    if (c == u'-' || isDigit(c)) return parseNumber();
    if (c == u'{' || c == u'[') {
      // The depth limit keeps hostile nesting from exhausting the stack.
      if (depth >= JsonValue::kMaxDepth) return std::nullopt;
      return c == u'{' ? parseObject(depth + 1) : parseArray(depth + 1);
    }
    return std::nullopt;
  }

  double readIntegerDigits() {
    double value = 0.0;
    while (isDigit(current())) {
      value = value * 10.0;
      value = value + (current() - u'0');
      ++pos_;
    }
    return value;
  }

  double readFractionDigits() {
    double value = 0.0;
    double factor = 0.1;
    while (isDigit(current())) {
      double digit = current() - u'0';
      ++pos_;
      value = value + digit * factor;
      factor = factor * 0.1;
    }
    return value;
  }

  std::optional<JsonValue> parseNumber() {
    bool negative = current() == u'-';
    if (negative) ++pos_;
    double value;
    if (current() == u'0') {
      ++pos_;
      value = 0.0;
    } else if (isDigit(current())) {
      value = readIntegerDigits();
    } else {
      return std::nullopt;
    }
    if (current() == u'.') {
      ++pos_;
      if (!isDigit(current())) return std::nullopt;
      value += readFractionDigits();
    }
    if (current() == u'e' || current() == u'E') {
      ++pos_;
      bool negativeExponent = false;
      if (current() == u'+' || current() == u'-') {
        negativeExponent = current() == u'-';
        ++pos_;
      }
      if (!isDigit(current())) return std::nullopt;
      double exponent = readIntegerDigits();
      // Once the value is zero or infinite, further steps change nothing.
      for (double i = 0.0; i < exponent && value != 0.0 && !std::isinf(value); i += 1.0)
        value = negativeExponent ? value / 10.0 : value * 10.0;
    }
    if (negative) value *= -1.0;
    return JsonValue(value);
  }

  static int hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  }

  // The first code unit at or after `from` that a string body cannot hold
  // as it stands: a quote, a backslash or a control character other than tab.
  std::size_t plainRunEnd(std::size_t from) const {
    while (from < text_.size()) {
      char16_t c = text_[from];
      if (c == u'"' || c == u'\\' || (c < 0x20 && c != u'\t')) break;
      ++from;
    }
    return from;
  }

  // A long string without escapes takes over the donor's storage: the text
  // after it is copied out and parsing goes on there.
  static constexpr std::size_t kAdoptAtLeast = 64 * 1024;
  bool adoptString(std::u16string& result, std::size_t close) {
    remainder_.assign(text_.substr(close + 1));
    std::u16string adopted = std::move(*donor_);
    donor_ = nullptr;
    adopted.erase(0, pos_);
    adopted.resize(close - pos_);
    result = std::move(adopted);
    text_ = remainder_;
    pos_ = 0;
    return true;
  }

  // The cursor is just after the opening quote; leaves it after the closing one.
  bool readStringBody(std::u16string& result) {
    if (atEnd()) return false;
    const std::size_t runEnd = plainRunEnd(pos_);
    if (donor_ && runEnd < text_.size() && text_[runEnd] == u'"' &&
        runEnd - pos_ >= kAdoptAtLeast)
      return adoptString(result, runEnd);
    result.reserve(runEnd - pos_);
    for (;;) {
      char16_t c = text_[pos_];
      if (c == u'\\') {
        ++pos_;
        if (atEnd()) return false;
        switch (text_[pos_]) {
          case u'"': c = u'"'; break;
          case u'\\': c = u'\\'; break;
          case u'/': c = u'/'; break;
          case u'b': c = u'\b'; break;
          case u'f': c = u'\f'; break;
          case u'n': c = u'\n'; break;
          case u'r': c = u'\r'; break;
          case u't': c = u'\t'; break;
          case u'u': {
            if (text_.size() - pos_ < 5) return false;
            unsigned unit = 0;
            for (int i = 1; i <= 4; ++i) {
              int digit = hexValue(text_[pos_ + static_cast<std::size_t>(i)]);
              if (digit < 0) return false;
              unit = (unit << 4) | static_cast<unsigned>(digit);
            }
            pos_ += 4;
            c = static_cast<char16_t>(unit);
            break;
          }
          default: return false;
        }
      } else if (c == u'"') {
        ++pos_;
        return true;
      } else if (c < 0x20 && c != u'\t') {
        return false;
      } else {
        // Copy the run of plain characters in one step.
        const std::size_t end = plainRunEnd(pos_ + 1);
        result.append(text_.substr(pos_, end - pos_ - 1));
        pos_ = end - 1;
        c = text_[pos_];
      }
      result += c;
      ++pos_;
      if (atEnd()) return false;
    }
  }

  std::optional<JsonValue> parseObject(int depth) {
    JsonObject members;
    ++pos_;
    if (atEnd()) return std::nullopt;
    for (;;) {
      if (!skipBlanks()) return std::nullopt;
      if (members.empty() && current() == u'}') {
        ++pos_;
        return JsonValue(std::move(members));
      }
      if (current() != u'"') return std::nullopt;
      ++pos_;
      std::u16string name;
      if (!readStringBody(name)) return std::nullopt;
      if (!skipBlanks()) return std::nullopt;
      if (current() != u':') return std::nullopt;
      ++pos_;
      if (!skipBlanks()) return std::nullopt;
      std::optional<JsonValue> value = parseValue(depth);
      if (!value) return std::nullopt;
      // The last occurrence of a repeated name wins.
      members.insert_or_assign(std::move(name), std::move(*value));
      if (!skipBlanks()) return std::nullopt;
      if (current() == u'}') {
        ++pos_;
        return JsonValue(std::move(members));
      }
      if (current() != u',') return std::nullopt;
      ++pos_;
      if (atEnd()) return std::nullopt;
    }
  }

  std::optional<JsonValue> parseArray(int depth) {
    JsonArray elements;
    for (;;) {
      ++pos_;  // past the bracket or the comma
      if (atEnd()) return std::nullopt;
      if (!skipBlanks()) return std::nullopt;
      if (elements.empty() && current() == u']') {
        ++pos_;
        return JsonValue(std::move(elements));
      }
      std::optional<JsonValue> element = parseValue(depth);
      if (!element) return std::nullopt;
      elements.push_back(std::move(*element));
      if (!skipBlanks()) return std::nullopt;
      if (current() == u']') {
        ++pos_;
        return JsonValue(std::move(elements));
      }
      if (current() != u',') return std::nullopt;
    }
  }

  std::u16string_view text_;
  std::size_t pos_ = 0;
  std::u16string* donor_ = nullptr;
  std::u16string remainder_;
};

// The text ends at its first U+0000.
std::u16string_view untilNul(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

}  // namespace

std::unique_ptr<JsonValue> JsonValue::parse(std::u16string_view text) {
  text = untilNul(text);
  if (text.empty()) return nullptr;
  return Parser(text).parseDocument();
}

std::unique_ptr<JsonValue> JsonValue::parseOwned(std::u16string&& text) {
  const std::u16string_view view = untilNul(text);
  if (view.empty()) return nullptr;
  return Parser(view, text).parseDocument();
}

}  // namespace kelto
