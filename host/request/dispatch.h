// Turns one request into its reply: parses the text, runs the action named
// by `data.requestAction` and builds the reply. The only place that knows
// the actions by name.
#pragma once

#include <cstdint>
#include <string>

#include "json/json.h"

namespace kelto {

// Returns the reply text, or an empty string when the text is not a JSON
// object (such a request gets no reply). Takes the text by value so that a
// large request is released as soon as it has been parsed.
std::u16string processingMessage(std::u16string message);

// Runs the request's action on a parsed request root (an object) and fills
// the outputs that the reply is built from. A staged `contentFile` is
// removed from the document once its data file is written.
void processingMessage(JsonValue& root, std::u16string& result,
                       std::u16string& description, std::u16string& signature,
                       std::u16string& certificate, std::u16string& containers,
                       std::uint64_t& handleProvider);

}  // namespace kelto
