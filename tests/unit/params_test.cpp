#include <tuple>

#include <gtest/gtest.h>

#include "request/params.h"

namespace kelto {
namespace {

JsonValue request(std::u16string_view text) {
  auto value = JsonValue::parse(text);
  EXPECT_TRUE(value);
  return value ? *value : JsonValue();
}

TEST(RequestParams, StringGettersReadOnlyStringsInsideData) {
  JsonValue r = request(
      u"{\"contentId\":\"7\",\"requestAction\":\"root\",\"data\":{\"requestAction\":"
      u"\"getListContainer\",\"providerName\":null,\"containerName\":5,"
      u"\"RequestAction\":\"x\",\"password\":\"\",\"storageType\":\"STORAGE\"}}");
  EXPECT_EQ(getContentId(r), u"7");
  EXPECT_EQ(getRequestAction(r), u"getListContainer");
  EXPECT_EQ(getProviderName(r), u"");
  EXPECT_EQ(getContainerName(r), u"");
  EXPECT_EQ(getPassword(r), u"");
  EXPECT_EQ(getStorageType(r), u"STORAGE");
  EXPECT_EQ(getSignatureType(r), u"");

  JsonValue atRoot = request(u"{\"requestAction\":\"getListContainer\"}");
  EXPECT_EQ(getRequestAction(atRoot), u"");
  EXPECT_TRUE(getData(atRoot).empty());
  JsonValue dataArray = request(u"{\"data\":[{\"requestAction\":\"x\"}]}");
  EXPECT_EQ(getRequestAction(dataArray), u"");
  EXPECT_EQ(getContentId(request(u"{\"contentId\":42}")), u"");
}

TEST(RequestParams, HandleConversion) {
  const std::tuple<const char16_t*, bool, std::uint64_t> cases[] = {
      {u"\"12345\"", false, 0},
      {u"12345.9", true, 12345},
      {u"-1", true, 0xFFFFFFFFFFFFFFFFull},
      {u"0", true, 0},
      {u"4294967296", true, 4294967296ull},
      {u"9007199254740991", true, 9007199254740991ull},
      {u"-12345.9", true, static_cast<std::uint64_t>(-12345ll)},
      {u"1e19", true, 0x8000000000000000ull},
      {u"-1e19", true, 0x8000000000000000ull},
      {u"1e400", true, 0x8000000000000000ull},
      {u"null", false, 0},
  };
  for (const auto& [json, present, handle] : cases) {
    JsonValue r =
        request(u"{\"data\":{\"handleProvider\":" + std::u16string(json) + u"}}");
    EXPECT_EQ(hasHandleProvider(r), present) << std::string(json, json + 3);
    EXPECT_EQ(getHandleProvider(r), handle) << std::string(json, json + 3);
  }
}

}  // namespace
}  // namespace kelto
