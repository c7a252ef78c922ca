// The reply to one parsed request: the request's string `contentId` (when
// not empty) and a `data` object holding a copy of every member of the
// request's `data` except `contentFile`, then `result`, `description`,
// `signature`, `certificate` and `containers` where not empty (replacing
// echoed members of the same key), and `handleProvider` after a successful
// "openCryptoProvider". Returns the compact JSON text.
//
// A browser drops the whole connection to the host when a reply is longer
// than kMaxReplySize bytes of UTF-8, and an echoed member or a long container
// list can make it so. Such a reply is replaced by a short error reply that
// holds only the request's `contentId`, its `requestAction`, `result` "error"
// and `description` "Error reply too large" (and without those two when even
// they would not fit), so the page gets an answer and keeps its connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "json/json.h"

namespace kelto {

constexpr std::size_t kMaxReplySize = 1024 * 1024;

std::u16string buildResponse(const JsonValue& request, const std::u16string& result,
                             const std::u16string& description,
                             const std::u16string& signature,
                             const std::u16string& certificate,
                             const std::u16string& containers,
                             std::uint64_t handleProvider);

}  // namespace kelto
