#include "logging/logger.h"

#include <cstdio>
#include <mutex>

#include "logging/random.h"
#include "platform/platform.h"
#include "text/textconv.h"

namespace kelto::log {

namespace {

struct LoggerState {
  std::mutex lock;
  bool started = false;
  int maxSeverity = none;
  std::u16string fileName;
  std::function<std::u16string()> nextName;
  std::FILE* file = nullptr;
  bool lost = false;  // no file could be created: records are dropped
};

LoggerState& state() {
  static LoggerState instance;
  return instance;
}

const char* severityName(Severity severity) {
  switch (severity) {
    case fatal: return "FATAL";
    case error: return "ERROR";
    case warning: return "WARN";
    case info: return "INFO";
    case debug: return "DEBUG";
    case verbose: return "VERB";
    default: return "NONE";
  }
}

void writeLine(const std::string& line) {
  LoggerState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.file) {
    if (s.lost) return;
    // Never an existing file: in a shared folder it could be someone else's,
    // or a link to a file of this user's that the records would overwrite.
    for (int attempt = 1; !(s.file = platform::createNewFile(s.fileName)); ++attempt) {
      if (!s.nextName || attempt == kNameAttempts) {
        s.lost = true;
        return;
      }
      s.fileName = s.nextName();
    }
    std::fputs("\xEF\xBB\xBF", s.file);
  }
  std::fwrite(line.data(), 1, line.size(), s.file);
  std::fflush(s.file);
}

}  // namespace

void init(int maxSeverity, const std::u16string& fileName,
          std::function<std::u16string()> nextName) {
  LoggerState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.file) std::fclose(s.file);
  s.file = nullptr;
  s.lost = false;
  s.fileName = fileName;
  s.nextName = std::move(nextName);
  s.maxSeverity = maxSeverity;
  s.started = true;
}

bool enabled(Severity severity) {
  const LoggerState& s = state();
  return s.started && severity != none && severity <= s.maxSeverity;
}

std::u16string fileName() {
  LoggerState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.fileName;
}

std::string functionName(const char* prettyFunction) {
  // Clang writes an unnamed namespace as "(anonymous namespace)", GCC as
  // "{anonymous}": one spelling keeps records alike and keeps the parenthesis
  // from passing for the parameter list.
  std::string spelled(prettyFunction);
  static constexpr std::string_view kClangAnonymous = "(anonymous namespace)";
  for (std::size_t at = spelled.find(kClangAnonymous); at != std::string::npos;
       at = spelled.find(kClangAnonymous, at))
    spelled.replace(at, kClangAnonymous.size(), "{anonymous}");
  std::string_view text(spelled);
  // The parameter list starts at the first "(" outside template brackets.
  int angle = 0;
  std::size_t open = text.size();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '<') ++angle;
    if (c == '>') --angle;
    if (c == '(' && angle == 0) {
      open = i;
      break;
    }
  }
  // The name starts after the last space before it (the return type's end).
  std::size_t start = 0;
  angle = 0;
  for (std::size_t i = open; i-- > 0;) {
    char c = text[i];
    if (c == '>') ++angle;
    if (c == '<') --angle;
    if (c == ' ' && angle == 0) {
      start = i + 1;
      break;
    }
  }
  std::string_view name = text.substr(start, open - start);
  // The program's own namespace is not written for its free functions, which
  // the log names bare ("processingMessage", "createDataFile"); a member keeps
  // its class and namespace ("kelto::DataSigned::openProvider").
  constexpr std::string_view kOwn = "kelto::";
  if (name.substr(0, kOwn.size()) == kOwn && name.find("::", kOwn.size()) == name.npos)
    name.remove_prefix(kOwn.size());
  return std::string(name);
}

Record::Record(Severity severity, const char* prettyFunction, int line)
    : severity_(severity), function_(prettyFunction), line_(line) {}

Record::~Record() {
  try {
    platform::LocalTime t = platform::localTimeNow();
    char head[96];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-5s [%llu] ",
                  t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                  severityName(severity_),
                  static_cast<unsigned long long>(platform::threadId()));
    std::string line(head);
    line += '[';
    line += functionName(function_);
    line += '@';
    line += std::to_string(line_);
    line += "] ";
    // Lone surrogates that arrived through JSON escapes must not cost the line.
    line += wideToUtf8Lenient(message_, 0xFFFD);
    line += '\n';
    writeLine(line);
  } catch (...) {
    // A record that cannot be written is lost; the program goes on.
  }
}

Record& Record::operator<<(std::u16string_view text) {
  message_.append(text);
  return *this;
}

Record& Record::operator<<(const std::string& text) {
  message_ += platform::ansiToWide(text);
  return *this;
}

Record& Record::operator<<(double number) { return appendAscii(std::to_string(number)); }

Record& Record::appendAscii(const std::string& text) {
  message_.append(text.begin(), text.end());
  return *this;
}

}  // namespace kelto::log
