// The process-wide diagnostic logger.
//
// A statement reads `LOG_DEBUG << u"Handle provider: " << handle;`. When its
// severity is above the maximum the logger was started with (or the logger
// was never started), the statement's operands are not evaluated at all.
// Records go to one text file, created at the first record that passes:
// exclusively (a name that exists, a link included, is taken), owner-only
// where permissions exist. It begins with a UTF-8 byte-order mark and every
// record is one line:
//   2026-03-01 09:15:02.041 DEBUG [5312] [kelto::DataSigned::closeProvider@86] text
// The function field is the qualified name of the enclosing function.
// Logging never throws and never stops the program: a file that cannot be
// opened or written loses its records silently.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kelto::log {

enum Severity : int {
  none = 0,
  fatal = 1,
  error = 2,
  warning = 3,
  info = 4,
  debug = 5,
  verbose = 6
};

// Starts (or restarts) the logger with a maximum severity and a file name.
// When that name is taken by the time the file is created, `nextName` (if
// given) offers others, up to kNameAttempts; if none can be created the
// records are lost.
void init(int maxSeverity, const std::u16string& fileName,
          std::function<std::u16string()> nextName = {});

bool enabled(Severity severity);

// The file the logger writes (or would write) its records to.
std::u16string fileName();

// "qualified::name" from a compiler's decorated function signature.
std::string functionName(const char* prettyFunction);

class Record {
 public:
  Record(Severity severity, const char* prettyFunction, int line);
  ~Record();
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  Record& operator<<(std::u16string_view text);
  Record& operator<<(const char16_t* text) { return *this << std::u16string_view(text); }
  Record& operator<<(const std::u16string& text) {
    return *this << std::u16string_view(text);
  }
  Record& operator<<(char16_t unit) { return *this << std::u16string_view(&unit, 1); }
  // Narrow text is in the ANSI code page (file names, provider strings).
  Record& operator<<(const std::string& text);
  Record& operator<<(const char* text) { return *this << std::string(text); }
  Record& operator<<(double number);

  template <typename Int,
            typename = std::enable_if_t<
                std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                !std::is_same_v<Int, char16_t> && !std::is_same_v<Int, char>>>
  Record& operator<<(Int number) {
    return appendAscii(std::to_string(number));
  }

 private:
  Record& appendAscii(const std::string& text);

  Severity severity_;
  const char* function_;
  int line_;
  std::u16string message_;
};

}  // namespace kelto::log

#define KELTO_LOG(severity) KELTO_LOG_IN(severity, __PRETTY_FUNCTION__)

// A record in the name of another function (a signature such as "int main()"),
// for code that acts for that function from elsewhere.
#define KELTO_LOG_IN(severity, function) KELTO_LOG_AT(severity, function, __LINE__)

// A record in the name of a function at a line of it, for helpers that report
// what an operation does in that operation's name.
#define KELTO_LOG_AT(severity, function, line) \
  if (!::kelto::log::enabled(severity)) {      \
  } else                                       \
    ::kelto::log::Record(severity, function, line)

#define LOG_DEBUG KELTO_LOG(::kelto::log::debug)
#define LOG_ERROR KELTO_LOG(::kelto::log::error)
