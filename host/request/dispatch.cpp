#include "request/dispatch.h"

#include "logging/logger.h"
#include "request/params.h"
#include "request/response.h"

std::u16string processingMessage(std::u16string message) {
  std::unique_ptr<JsonValue> request = JsonValue::parse(message);
  message = std::u16string();  // the parsed document holds all we need
  if (!request) {
    LOG_ERROR << u"JSON failed to parse";
    return {};
  }
  if (!request->isObject()) {
    LOG_ERROR << u"The root element is not an object";
    return {};
  }
  std::u16string result, description, signature, certificate, containers;
  std::uint64_t handleProvider = 0;
  processingMessage(*request, result, description, signature, certificate, containers,
                    handleProvider);
  return buildResponse(*request, result, description, signature, certificate,
                       containers, handleProvider);
}

void processingMessage(const JsonValue& root, std::u16string& result,
                       std::u16string& description, std::u16string& /*signature*/,
                       std::u16string& /*certificate*/,
                       std::u16string& /*containers*/,
                       std::uint64_t& /*handleProvider*/) {
  const std::u16string action = getRequestAction(root);
  LOG_DEBUG << u"Action " << action << u"...";

  if (action == u"closeCryptoProvider") {
    // No session can be open yet, so no handle can name one.
    result = u"error";
    description = u"Bad parameter handleProvider in action closeCryptoProvider";
    LOG_ERROR << description;
    return;
  }

  result = u"error";
  description = u"Unknow request action " + action;
  LOG_ERROR << description;
}
