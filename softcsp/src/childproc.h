// A helper program spoken to line by line: it runs with one end of a socket
// pair as its standard input and output, in a session of its own (so without
// a controlling terminal), with standard error on /dev/null and none of our
// other descriptors. A socket rather than two pipes: writing to a program
// that has gone fails with an error instead of a SIGPIPE that would end a
// caller which does not ignore it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "scoped.h"

namespace softcsp {

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  // The longest line taken, end of line included: Assuan's limit.
  static constexpr size_t kMaxLine = 1002;

  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Stops the program if it still runs (see stop).
  ~ChildProcess();

  // Runs `program` (searched on PATH when it has no slash) with the
  // caller's environment. False, with the reason in `why`, when it cannot be
  // started.
  bool start(const std::string& program, std::string& why);
  bool running() const { return pid_ > 0; }

  // Writes all of `data`; false when the program no longer reads.
  bool send(const std::string& data);

  enum class Read { Line, Closed, TimedOut, TooLong, Failed };
  // The next line, without its CR LF or LF, if it comes before `deadline`.
  // Bytes read past it are kept for the next call; bytes consumed are wiped
  // from the buffer, since lines may carry a PIN.
  Read readLine(std::string& line, Clock::time_point deadline);

  // Closes our end, gives the program a moment to leave on its own, kills
  // its process group if it has not, and reaps it. `wait` false: kills at
  // once (a program that stopped answering).
  void stop(bool wait = true);

 private:
  void consume(size_t count);

  pid_t pid_ = -1;
  UniqueFd fd_;
  char buffer_[2 * kMaxLine];
  size_t filled_ = 0;
};

}  // namespace softcsp
