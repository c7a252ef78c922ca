// The questions softcsp asks a person through the pinentry: the PIN of a
// key a caller wants to use, and a new PIN for a key being made. The PINs
// are wiped from every buffer but the caller's `pin`, and never written
// anywhere.
#pragma once

#include <functional>
#include <string>

#include "softcsp/wincrypt.h"

namespace softcsp {

// Asks for the PIN of the key in `container` (whose certificate has
// `subject`, empty when it has none) until `check` accepts an answer (returns
// 0), at most three times, showing why the last answer was refused.
// Returns 0 with the PIN in `pin`; SCARD_W_WRONG_CHV after three wrong
// answers; SCARD_W_CANCELLED_BY_USER when the person cancelled or did not
// answer in time; SCARD_W_CARD_NOT_AUTHENTICATED, as for a key used without
// a PIN, when no pinentry could be used (the reason goes to standard error,
// which the browser keeps in its log); another error of `check` as it is.
DWORD askKeyPin(const std::string& container, const std::string& subject,
                const std::function<DWORD(const std::string&)>& check, std::string& pin);

// Asks for a new, non-empty PIN for a key of `container`, twice, until both
// answers agree (at most three rounds). 0 with the PIN in `pin`; otherwise
// SCARD_W_CANCELLED_BY_USER or SCARD_W_CARD_NOT_AUTHENTICATED as above, or
// SCARD_W_WRONG_CHV when the answers never agreed, with a sentence in `why`.
DWORD askNewPin(const std::string& container, std::string& pin, std::string& why);

}  // namespace softcsp
