#include <gtest/gtest.h>

#include "request/logtext.h"
#include "request/response.h"

namespace {

std::u16string reply(std::u16string_view requestText, const std::u16string& result,
                     const std::u16string& description = u"",
                     const std::u16string& containers = u"",
                     std::uint64_t handle = 0) {
  auto request = JsonValue::parse(requestText);
  EXPECT_TRUE(request);
  return buildResponse(*request, result, description, u"", u"", containers, handle);
}

TEST(ResponseBuilder, EchoesRequestAndOrdersMembersByKey) {
  EXPECT_EQ(reply(u"{\"data\":{\"requestAction\":\"getListContainer\",\"providerName\":"
                  u"\"P\"},\"contentId\":\"42\"}",
                  u"success", u"", u"a;b"),
            u"{\"contentId\":\"42\",\"data\":{\"containers\":\"a;b\",\"providerName\":\"P\","
            u"\"requestAction\":\"getListContainer\",\"result\":\"success\"}}");
  EXPECT_EQ(reply(u"{\"contentId\":42,\"data\":{\"providerName\":\"P\"}}", u"error",
                  u"Bad"),
            u"{\"data\":{\"description\":\"Bad\",\"providerName\":\"P\",\"result\":\"error\"}}");
}

TEST(ResponseBuilder, OutputsReplaceEchoedMembersAndContentFileIsDropped) {
  EXPECT_EQ(reply(u"{\"data\":{\"result\":[1],\"contentFile\":\"QUJD\",\"nested\":{\"k\":"
                  u"[true,null]},\"workingDirectory\":\"/w\"}}",
                  u"error"),
            u"{\"data\":{\"nested\":{\"k\":[true,null]},\"result\":\"error\","
            u"\"workingDirectory\":\"\\/w\"}}");
  // Empty outputs leave echoed members as sent.
  EXPECT_EQ(reply(u"{\"data\":{\"description\":7}}", u"error"),
            u"{\"data\":{\"description\":7,\"result\":\"error\"}}");
  EXPECT_EQ(reply(u"{}", u"error", u"x"),
            u"{\"data\":{\"description\":\"x\",\"result\":\"error\"}}");
}

TEST(ResponseBuilder, HandleOnlyAfterSuccessfulOpen) {
  const std::u16string open =
      u"{\"data\":{\"requestAction\":\"openCryptoProvider\",\"handleProvider\":5}}";
  EXPECT_EQ(reply(open, u"success", u"", u"", 4294967296ull),
            u"{\"data\":{\"handleProvider\":4294967296,\"requestAction\":"
            u"\"openCryptoProvider\",\"result\":\"success\"}}");
  EXPECT_EQ(reply(open, u"error", u"no"),
            u"{\"data\":{\"description\":\"no\",\"handleProvider\":5,\"requestAction\":"
            u"\"openCryptoProvider\",\"result\":\"error\"}}");
  EXPECT_EQ(reply(u"{\"data\":{\"requestAction\":\"openCryptoProvider\"}}", u"success",
                  u"", u"", 1000000000000000ull),
            u"{\"data\":{\"handleProvider\":1e+015,\"requestAction\":"
            u"\"openCryptoProvider\",\"result\":\"success\"}}");
  EXPECT_EQ(reply(u"{\"data\":{\"requestAction\":\"getCertificate\"}}", u"success", u"",
                  u"", 9),
            u"{\"data\":{\"requestAction\":\"getCertificate\",\"result\":\"success\"}}");
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
