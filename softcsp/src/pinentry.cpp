#include "pinentry.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace softcsp {
namespace {

using Clock = ChildProcess::Clock;

constexpr int kDefaultTimeout = 60;
constexpr int kMaxTimeout = 3600;
// Everything but GETPIN is answered at once by a pinentry.
constexpr auto kCommandWait = std::chrono::seconds(10);
// What GETPIN may take beyond the pinentry's own timeout before we stop
// waiting for it.
constexpr auto kMargin = std::chrono::seconds(5);
// The most PIN bytes taken, far beyond any real PIN.
constexpr size_t kMaxPin = 2048;

// Codes of GnuPG's error values (their low 16 bits).
constexpr unsigned kTimeoutCode = 62;
constexpr unsigned kCancelledCode = 99;
constexpr unsigned kFullyCancelledCode = 198;

const char kTitle[] = "keltoDataSigned";

int timeoutSetting() {
  const char* text = std::getenv("KELTO_PINENTRY_TIMEOUT");
  if (text == nullptr || *text == 0) return kDefaultTimeout;
  long seconds = 0;
  for (const char* p = text; *p != 0; ++p) {
    if (*p < '0' || *p > '9' || seconds > kMaxTimeout) return kDefaultTimeout;
    seconds = seconds * 10 + (*p - '0');
  }
  return seconds >= 1 && seconds <= kMaxTimeout ? static_cast<int>(seconds)
                                                : kDefaultTimeout;
}

bool startsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Assuan's escaping of command arguments: '%', CR, LF and the other control
// bytes as %XX, so that nothing in a text can end its line or start another.
std::string escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '%' || c < 0x20 || c == 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Appends the decoded data of a D line (after "D "); false for a broken
// escape or more than kMaxPin bytes in all.
bool appendData(const std::string& line, std::string& out) {
  for (size_t i = 2; i < line.size(); ++i) {
    char c = line[i];
    if (c == '%') {
      const int hi = i + 2 < line.size() ? hexValue(line[i + 1]) : -1;
      const int lo = i + 2 < line.size() ? hexValue(line[i + 2]) : -1;
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (out.size() >= kMaxPin) return false;
    out += c;
  }
  return true;
}

// The text of an ERR line for a diagnostic: printable ASCII, bounded.
std::string errorText(const std::string& line, size_t from) {
  while (from < line.size() && line[from] == ' ') ++from;
  std::string out;
  for (size_t i = from; i < line.size() && out.size() < 120; ++i)
    out += line[i] >= 0x20 && line[i] < 0x7F ? line[i] : '?';
  return out;
}

// Wipes a string when it goes out of scope.
struct WipeOnExit {
  std::string& secret;
  ~WipeOnExit() { wipe(secret); }
};

}  // namespace

void wipe(std::string& secret) {
  OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

Pinentry::~Pinentry() {
  if (child_.running() && !broken_) {
    unsigned code = 0;
    transact("BYE", std::chrono::seconds(1), nullptr, code);
  }
  child_.stop();
}

Pinentry::Answer Pinentry::unusable(const std::string& problem) {
  problem_ = program_ + ": " + problem;
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr)
    problem_ += " (neither DISPLAY nor WAYLAND_DISPLAY is set)";
  broken_ = true;
  child_.stop();
  return Answer::Unusable;
}

Pinentry::Reply Pinentry::transact(const std::string& command, Clock::duration wait,
                                   std::string* data, unsigned& code) {
  if (!command.empty()) {
    if (command.size() >= ChildProcess::kMaxLine - 1) {
      problem_ = "a question too long for the protocol";
      return Reply::Broken;
    }
    if (!child_.send(command + "\n")) {
      problem_ = "the program ended in the middle of the dialogue";
      return Reply::Broken;
    }
  }
  const Clock::time_point deadline = Clock::now() + wait;
  std::string line;
  line.reserve(ChildProcess::kMaxLine);  // never moved, so wiping reaches every copy
  const WipeOnExit wipeLine{line};
  for (;;) {
    switch (child_.readLine(line, deadline)) {
      case ChildProcess::Read::Line: break;
      case ChildProcess::Read::TimedOut:
        problem_ = "no answer in time";
        return Reply::Late;
      case ChildProcess::Read::Closed:
        problem_ = "the program ended in the middle of the dialogue";
        return Reply::Broken;
      case ChildProcess::Read::TooLong:
        problem_ = "a line longer than the protocol allows";
        return Reply::Broken;
      case ChildProcess::Read::Failed:
        problem_ = "cannot read its answer";
        return Reply::Broken;
    }
    if (line == "OK" || startsWith(line, "OK ")) return Reply::Ok;
    if (startsWith(line, "ERR ")) {
      char* end = nullptr;
      const unsigned long value = std::strtoul(line.c_str() + 4, &end, 10);
      code = static_cast<unsigned>(value & 0xFFFF);
      problem_ = errorText(line, static_cast<size_t>(end - line.c_str()));
      return Reply::Error;
    }
    if (startsWith(line, "D ")) {
      if (data == nullptr || !appendData(line, *data)) {
        problem_ = "data it was not asked for, or too much";
        return Reply::Broken;
      }
      wipe(line);
      continue;
    }
    // Status lines and comments carry nothing we need.
    if (line == "S" || startsWith(line, "S ") || startsWith(line, "#")) continue;
    problem_ = "an answer that is not of the pinentry protocol";
    return Reply::Broken;
  }
}

bool Pinentry::start() {
  const char* named = std::getenv("KELTO_PINENTRY");
  program_ = named != nullptr && *named != 0 ? named : "pinentry";
  timeoutSeconds_ = timeoutSetting();
  std::string why;
  if (!child_.start(program_, why)) {
    unusable(why);
    return false;
  }
  unsigned code = 0;
  const Reply greeting = transact("", kCommandWait, nullptr, code);
  if (greeting != Reply::Ok) {
    unusable(greeting == Reply::Error ? "it greeted with an error: " + problem_
                                      : "no greeting of a pinentry: " + problem_);
    return false;
  }
  std::pair<std::string, bool> settings[] = {
      {"SETTIMEOUT " + std::to_string(timeoutSeconds_), true},
      {"SETTITLE " + escape(kTitle), true},
      // Graphical pinentries also read DISPLAY from their environment; the
      // option is for those that do not. Refusing it is no failure.
      {std::getenv("DISPLAY") != nullptr
           ? "OPTION display=" + escape(std::getenv("DISPLAY"))
           : std::string(),
       false},
  };
  for (const auto& [command, required] : settings) {
    if (command.empty()) continue;
    const Reply r = transact(command, kCommandWait, nullptr, code);
    if (r == Reply::Ok || (r == Reply::Error && !required)) continue;
    unusable(command.substr(0, command.find(' ')) + ": " + problem_);
    return false;
  }
  return true;
}

Pinentry::Answer Pinentry::ask(const PinQuestion& question, std::string& pin) {
  wipe(pin);
  if (broken_) return Answer::Unusable;
  if (!child_.running() && !start()) return Answer::Unusable;
  unsigned code = 0;
  const std::pair<const char*, const std::string&> texts[] = {
      {"SETDESC ", question.description},
      {"SETPROMPT ", question.prompt},
      {"SETERROR ", question.error},
  };
  for (const auto& [verb, text] : texts) {
    if (text.empty()) continue;
    const Reply r = transact(verb + escape(text), kCommandWait, nullptr, code);
    if (r != Reply::Ok)
      return unusable(std::string(verb, 0, std::strlen(verb) - 1) + ": " + problem_);
  }
  pin.reserve(kMaxPin);  // never moved, so wiping reaches every copy
  const Reply r =
      transact("GETPIN", std::chrono::seconds(timeoutSeconds_) + kMargin, &pin, code);
  if (r == Reply::Ok) return Answer::Pin;
  wipe(pin);
  if (r == Reply::Error && (code == kCancelledCode || code == kFullyCancelledCode))
    return Answer::Cancelled;
  if (r == Reply::Error && code == kTimeoutCode) return Answer::TimedOut;
  if (r == Reply::Late) {
    // It ignored its own timeout: for the person, the time is up all the same.
    problem_ = program_ + ": no answer within " + std::to_string(timeoutSeconds_) + " s";
    broken_ = true;
    child_.stop(false);
    return Answer::TimedOut;
  }
  return unusable((r == Reply::Error ? "GETPIN failed: " : "GETPIN: ") + problem_);
}

}  // namespace softcsp
