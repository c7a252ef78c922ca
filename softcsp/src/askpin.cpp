#include "askpin.h"

#include <utf8.h>

#include <cstdio>

#include "pinentry.h"

namespace softcsp {
namespace {

constexpr int kAttempts = 3;
// A question must fit one protocol line: names are shown up to this many
// characters.
constexpr long kShownChars = 100;

// `text` as valid UTF-8 of at most kShownChars characters; a longer one ends
// in an ellipsis, so that the cut shows.
std::string shown(const std::string& text) {
  const std::string valid = utf8::replace_invalid(text);
  if (utf8::distance(valid.begin(), valid.end()) <= kShownChars) return valid;
  auto cut = valid.begin();
  utf8::advance(cut, kShownChars - 1, valid.end());
  return std::string(valid.begin(), cut) + "\u2026";
}

DWORD cannotAsk(const Pinentry& pinentry, std::string* why) {
  if (why != nullptr)
    *why = "cannot ask for a PIN: " + pinentry.problem();
  else
    std::fprintf(stderr, "softcsp: cannot ask for a PIN: %s\n",
                 pinentry.problem().c_str());
  return SCARD_W_CARD_NOT_AUTHENTICATED;
}

// Cancelled or TimedOut: the person did not give a PIN.
DWORD notAnswered(Pinentry::Answer answer, std::string* why) {
  if (why != nullptr)
    *why = answer == Pinentry::Answer::Cancelled ? "the PIN dialogue was cancelled"
                                                 : "no PIN was entered in time";
  return SCARD_W_CANCELLED_BY_USER;
}

}  // namespace

DWORD askKeyPin(const std::string& container, const std::string& subject,
                const std::function<DWORD(const std::string&)>& check, std::string& pin) {
  Pinentry pinentry;
  PinQuestion question;
  question.description =
      "Enter the PIN of the key in container \"" + shown(container) + "\".";
  if (!subject.empty()) question.description += "\nCertificate: " + shown(subject);
  question.prompt = "PIN:";
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    const Pinentry::Answer answer = pinentry.ask(question, pin);
    if (answer == Pinentry::Answer::Unusable) return cannotAsk(pinentry, nullptr);
    if (answer != Pinentry::Answer::Pin) return notAnswered(answer, nullptr);
    const DWORD err = check(pin);
    if (err == 0) return 0;
    wipe(pin);
    if (err != SCARD_W_WRONG_CHV) return err;
    const int left = kAttempts - attempt;
    question.error = "Wrong PIN: " + std::to_string(left) +
                     (left == 1 ? " attempt left." : " attempts left.");
  }
  return SCARD_W_WRONG_CHV;
}

DWORD askNewPin(const std::string& container, std::string& pin, std::string& why) {
  Pinentry pinentry;
  PinQuestion first{
      "Choose a PIN for the new key in container \"" + shown(container) + "\".",
      "New PIN:", ""};
  const PinQuestion again{
      "Enter the new PIN for container \"" + shown(container) + "\" once more.",
      "Repeat:", ""};
  std::string repeated;
  for (int round = 1; round <= kAttempts; ++round) {
    Pinentry::Answer answer = pinentry.ask(first, pin);
    if (answer == Pinentry::Answer::Pin && pin.empty()) {
      first.error = "The PIN must not be empty.";
      continue;
    }
    if (answer == Pinentry::Answer::Pin) answer = pinentry.ask(again, repeated);
    if (answer == Pinentry::Answer::Unusable) return cannotAsk(pinentry, &why);
    if (answer != Pinentry::Answer::Pin) {
      wipe(pin);
      return notAnswered(answer, &why);
    }
    const bool same = repeated == pin;
    wipe(repeated);
    if (same) return 0;
    wipe(pin);
    first.error = "The two PINs differ: choose one again.";
  }
  why = "the PINs entered did not agree";
  return SCARD_W_WRONG_CHV;
}

}  // namespace softcsp
