// One dialogue with a pinentry program, the way GnuPG asks for PINs: the
// Assuan protocol on the program's standard input and output (SETTITLE,
// SETDESC, SETPROMPT, SETERROR, SETTIMEOUT, OPTION, GETPIN, BYE).
//
// The program is the one KELTO_PINENTRY names, else `pinentry` on PATH. It
// gets the caller's environment (DISPLAY, WAYLAND_DISPLAY, XAUTHORITY,
// DBUS_SESSION_BUS_ADDRESS among it) and no terminal. It gives up after
// KELTO_PINENTRY_TIMEOUT seconds (default 60), and an answer that does not
// come within that and a margin ends the program. Every answer is bounded in
// size; the program is reaped whatever happens.
#pragma once

#include <string>

#include "childproc.h"

namespace softcsp {

// Overwrites a secret's bytes and empties it; the capacity stays, so the
// same buffer can take the next secret without leaving a copy behind.
void wipe(std::string& secret);

struct PinQuestion {
  std::string description;  // UTF-8; line breaks are kept
  std::string prompt;
  std::string error;  // shown with the question; empty: none
};

class Pinentry {
 public:
  enum class Answer { Pin, Cancelled, TimedOut, Unusable };

  Pinentry() = default;
  // Says goodbye to the program and reaps it.
  ~Pinentry();
  Pinentry(const Pinentry&) = delete;
  Pinentry& operator=(const Pinentry&) = delete;

  // Asks one question, starting the program on the first. Pin: the answer
  // is in `pin` (the caller wipes it). Cancelled, TimedOut: the person
  // cancelled or did not answer in time. Unusable: no program could be
  // started, or it failed or spoke something else (problem() says what);
  // every later question is Unusable too.
  Answer ask(const PinQuestion& question, std::string& pin);
  const std::string& problem() const { return problem_; }

 private:
  enum class Reply { Ok, Error, Broken, Late };
  bool start();
  // Sends `command` (none when empty) and reads up to its OK or ERR.
  // `data` null: D lines are a protocol error; otherwise their decoded bytes
  // are appended to it. Error: `code` holds the error's code.
  Reply transact(const std::string& command, ChildProcess::Clock::duration wait,
                 std::string* data, unsigned& code);
  Answer unusable(const std::string& problem);

  ChildProcess child_;
  std::string program_;
  int timeoutSeconds_ = 60;
  bool broken_ = false;
  std::string problem_;
};

}  // namespace softcsp
