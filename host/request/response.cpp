#include "request/response.h"

#include "request/params.h"

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
      {u"result", &result},           {u"description", &description},
      {u"signature", &signature},     {u"certificate", &certificate},
      {u"containers", &containers}};
  for (const auto& [key, text] : outputs)
    if (!text->empty()) data.insert_or_assign(key, JsonValue(*text));

  if (result == u"success" && getRequestAction(request) == u"openCryptoProvider")
    data.insert_or_assign(u"handleProvider",
                          JsonValue(static_cast<double>(handleProvider)));

  root[u"data"] = JsonValue(std::move(data));
  return JsonValue::serialize(JsonValue(std::move(root)));
}
