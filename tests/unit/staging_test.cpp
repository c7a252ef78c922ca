#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "failing_alloc.h"
#include "json/json.h"
#include "platform/platform.h"
#include "request/dispatch.h"

namespace {

// A staged file goes with its request on every path: when any allocation
// after its creation fails (in staging, signing or the reply), as when none
// does.
TEST(Staging, AStagedFileIsDeletedHoweverItsRequestEnds) {
  const std::u16string directory =
      kelto::platform::tempFolder() + u"kelto_staging_test_" +
      std::u16string(1, char16_t(u'0' + kelto::platform::processId() % 10)) +
      kelto::platform::pathSeparator();
  kelto::platform::createDirectory(directory);
  JsonObject data;
  data.emplace(u"requestAction", JsonValue(u"getSignature"));
  data.emplace(u"providerName", JsonValue(u"Microsoft Strong Cryptographic Provider"));
  data.emplace(u"containerName", JsonValue(u"kelto staging test: no such container"));
  data.emplace(u"contentFile", JsonValue(u"c2lnbiBtZSwgdGhlbiBsZWF2ZSBub3RoaW5nIGJlaGluZA=="));
  data.emplace(u"workingDirectory", JsonValue(directory));
  JsonObject root;
  root.emplace(u"data", JsonValue(std::move(data)));
  const std::u16string request = JsonValue::serialize(JsonValue(std::move(root)));

  std::u16string reply;
  const long runs = kelto::test::forEachAllocationFailing(
      [&] { reply = processingMessage(request); },
      [&] { EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(directory))); });
  // Without a failure the file was staged, and signing failed on the container.
  EXPECT_GT(runs, 1);
  EXPECT_NE(reply.find(u"\"description\":\"Error 0x80090016 - "), std::u16string::npos)
      << std::string(reply.begin(), reply.end());
  kelto::platform::removeDirectory(directory);
}

}  // namespace
