#include "request/response.h"

#include "logging/logger.h"
#include "request/params.h"
#include "text/textconv.h"

namespace kelto {

namespace {

std::u16string buildReplyTooLarge(const JsonValue& request, std::size_t size) {
  LOG_ERROR << u"Error reply too large: " << size;
  const std::u16string action = getRequestAction(request);
  const std::u16string contentId = getContentId(request);
  auto build = [&](bool withAction, bool withId) {
    JsonObject data;
    if (withAction && !action.empty()) data[u"requestAction"] = JsonValue(action);
    data[u"result"] = JsonValue(u"error");
    data[u"description"] = JsonValue(u"Error reply too large");
    JsonObject root;
    if (withId && !contentId.empty()) root[u"contentId"] = JsonValue(contentId);
    root[u"data"] = JsonValue(std::move(data));
    return JsonValue::serialize(JsonValue(std::move(root)));
  };
  // The page may have sent an action name or an identifier that alone is too
  // long: the identifier matters more to it, so the action goes first.
  for (const auto& [withAction, withId] : {std::pair{true, true}, {false, true}}) {
    std::u16string reply = build(withAction, withId);
    if (utf8Length(reply) <= kMaxReplySize) return reply;
  }
  return build(false, false);
}

}  // namespace

std::u16string buildResponse(const JsonValue& request, const std::u16string& result,
                             const std::u16string& description,
                             const std::u16string& signature,
                             const std::u16string& certificate,
                             const std::u16string& containers,
                             std::uint64_t handleProvider) {
  JsonObject root;
  JsonObject data;

  const std::u16string contentId = getContentId(request);
  if (!contentId.empty()) root[u"contentId"] = JsonValue(contentId);

  // The content can be tens of MiB and the browser already has it.
  for (const auto& [key, value] : getData(request))
    if (key != u"contentFile") data.insert_or_assign(key, value);

  const std::pair<const char16_t*, const std::u16string*> outputs[] = {
      {u"result", &result},
      {u"description", &description},
      {u"signature", &signature},
      {u"certificate", &certificate},
      {u"containers", &containers}};
  for (const auto& [key, text] : outputs)
    if (!text->empty()) data.insert_or_assign(key, JsonValue(*text));

  if (result == u"success" && getRequestAction(request) == u"openCryptoProvider")
    data.insert_or_assign(u"handleProvider",
                          JsonValue(static_cast<double>(handleProvider)));

  root[u"data"] = JsonValue(std::move(data));
  std::u16string reply = JsonValue::serialize(JsonValue(std::move(root)));
  const std::size_t size = utf8Length(reply);
  if (size > kMaxReplySize) return buildReplyTooLarge(request, size);
  return reply;
}

}  // namespace kelto
