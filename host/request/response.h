// The reply to one parsed request: the request's string `contentId` (when
// not empty) and a `data` object holding a copy of every member of the
// request's `data` except `contentFile`, then `result`, `description`,
// `signature`, `certificate` and `containers` where not empty (replacing
// echoed members of the same key), and `handleProvider` after a successful
// "openCryptoProvider". Returns the compact JSON text.
#pragma once

#include <cstdint>
#include <string>

#include "json/json.h"

std::u16string buildResponse(const JsonValue& request, const std::u16string& result,
                             const std::u16string& description,
                             const std::u16string& signature,
                             const std::u16string& certificate,
                             const std::u16string& containers,
                             std::uint64_t handleProvider);
