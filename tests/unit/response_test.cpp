#include <gtest/gtest.h>

#include "request/logtext.h"
#include "request/response.h"

namespace kelto {
namespace {

std::u16string reply(std::u16string_view requestText,
                     const std::u16string& description = u"") {
  auto request = JsonValue::parse(requestText);
  EXPECT_TRUE(request);
  return buildResponse(*request, u"error", description, u"", u"", u"", 0);
}

TEST(ResponseBuilder, OutputsReplaceEchoedMembersAndContentFileIsDropped) {
  EXPECT_EQ(reply(u"{\"data\":{\"result\":[1],\"contentFile\":\"QUJD\",\"nested\":{\"k\":"
                  u"[true,null]},\"workingDirectory\":\"/w\"}}"),
            u"{\"data\":{\"nested\":{\"k\":[true,null]},\"result\":\"error\","
            u"\"workingDirectory\":\"\\/w\"}}");
  // Empty outputs leave echoed members as sent.
  EXPECT_EQ(reply(u"{\"data\":{\"description\":7}}"),
            u"{\"data\":{\"description\":7,\"result\":\"error\"}}");
  EXPECT_EQ(reply(u"{}", u"x"),
            u"{\"data\":{\"description\":\"x\",\"result\":\"error\"}}");
}

// A browser kills the connection on a reply over 1 MiB of UTF-8: the limit is
// exact, counted in UTF-8 bytes rather than UTF-16 units, and the short reply
// never grows past it whatever the page sent.
TEST(ResponseBuilder, RepliesOverTheBrowserLimitBecomeAShortError) {
  const auto request = [](std::u16string contentId, std::u16string action,
                          std::u16string pad) {
    JsonObject data;
    data[u"requestAction"] = JsonValue(std::move(action));
    data[u"pad"] = JsonValue(std::move(pad));
    JsonObject root;
    root[u"contentId"] = JsonValue(std::move(contentId));
    root[u"data"] = JsonValue(std::move(data));
    return JsonValue(std::move(root));
  };
  const auto build = [](const JsonValue& r) {
    return buildResponse(r, u"success", u"", u"", u"", u"a;b", 0);
  };
  // "\u044f" is two bytes of UTF-8 in one UTF-16 unit.
  const std::size_t base = build(request(u"7", u"getListContainer", u"")).size();
  const std::u16string fits((kMaxReplySize - base) / 2, u'\u044f');
  const std::u16string exact = build(request(u"7", u"getListContainer", fits));
  ASSERT_EQ(exact.size() + fits.size(), kMaxReplySize);
  EXPECT_EQ(exact.find(u"Error reply too large"), std::u16string::npos);

  const std::u16string tooLong =
      build(request(u"7", u"getListContainer", fits + u"x"));  // one byte over
  EXPECT_EQ(tooLong,
            u"{\"contentId\":\"7\",\"data\":{\"description\":\"Error reply too "
            u"large\",\"requestAction\":\"getListContainer\",\"result\":\"error\"}}");

  const std::u16string huge(kMaxReplySize, u'x');
  EXPECT_EQ(build(request(u"7", huge, u"")),
            u"{\"contentId\":\"7\",\"data\":{\"description\":\"Error reply too large\","
            u"\"result\":\"error\"}}");
  EXPECT_EQ(
      build(request(huge, huge, u"")),
      u"{\"data\":{\"description\":\"Error reply too large\",\"result\":\"error\"}}");
}

TEST(LogText, PasswordsNeverReachTheLog) {
  EXPECT_EQ(textForLog(u"{\"data\":{\"password\":\"s3cret\",\"n\":[{\"password\":\"\"},"
                       u"{\"password\":7}],\"passwordX\":\"kept\"}}"),
            u"{\"data\":{\"n\":[{\"password\":\"is empty\"},{\"password\":\"is exist\"}],"
            u"\"password\":\"is exist\",\"passwordX\":\"kept\"}}");
  const std::u16string broken = u"{\"data\":{\"password\":\"s3cret\"";
  EXPECT_EQ(textForLog(broken), u"(not JSON, 28 characters)");
}

}  // namespace
}  // namespace kelto
