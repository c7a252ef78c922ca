#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "failing_alloc.h"
#include "json/json.h"
#include "platform/platform.h"
#include "request/dispatch.h"
#include "staging/staging.h"

namespace kelto {
namespace {

// A directory of this run's own (what an earlier run left cannot count),
// removed with whatever a failing case left in it.
struct TestDirectory {
  TestDirectory()
      : name(platform::createUniqueDirectory(platform::tempFolder(),
                                             u"kelto_staging_test_")) {}
  ~TestDirectory() {
    std::error_code ignored;
    if (!name.empty()) std::filesystem::remove_all(std::filesystem::path(name), ignored);
  }
  const std::u16string name;
};

// The data file holds the decoded content under a fresh name, owner-only, for
// as long as its owner lives, and goes with it.
TEST(Staging, TheDataFileLivesExactlyAsLongAsItsOwner) {
  const TestDirectory directory;
  const std::filesystem::path dir(directory.name);
  std::filesystem::path staged;
  {
    const StagedFile file = stageContent(directory.name, u"c2lnbiBtZQ==");
    ASSERT_FALSE(file.path().empty());
    staged = std::filesystem::path(file.path());
    EXPECT_EQ(staged.parent_path(), dir.parent_path());
    EXPECT_TRUE(std::regex_match(staged.filename().string(),
                                 std::regex("KeltoDataSigned_[A-Za-z0-9]{7}\\.bin")))
        << staged;
    if (platform::pathSeparator() == u'/')
      EXPECT_EQ(std::filesystem::status(staged).permissions(),
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  EXPECT_FALSE(std::filesystem::exists(staged));
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

// A staged file goes with its request on every path: when any allocation
// after its creation fails (in staging, signing or the reply), as when none
// does.
TEST(Staging, AStagedFileIsDeletedHoweverItsRequestEnds) {
  const TestDirectory directory;
  JsonObject data;
  data.emplace(u"requestAction", JsonValue(u"getSignature"));
  data.emplace(u"providerName", JsonValue(u"Microsoft Strong Cryptographic Provider"));
  data.emplace(u"containerName", JsonValue(u"kelto staging test: no such container"));
  data.emplace(u"contentFile",
               JsonValue(u"c2lnbiBtZSwgdGhlbiBsZWF2ZSBub3RoaW5nIGJlaGluZA=="));
  data.emplace(u"workingDirectory", JsonValue(directory.name));
  JsonObject root;
  root.emplace(u"data", JsonValue(std::move(data)));
  const std::u16string request = JsonValue::serialize(JsonValue(std::move(root)));

  std::u16string reply;
  const long runs = test::forEachAllocationFailing(
      [&] { reply = processingMessage(request); },
      [&] {
        EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(directory.name)));
      });
  // Without a failure the file was staged, and signing failed on the container.
  EXPECT_GT(runs, 1);
  EXPECT_NE(reply.find(u"\"description\":\"Error 0x80090016 - "), std::u16string::npos)
      << std::string(reply.begin(), reply.end());
}

}  // namespace
}  // namespace kelto
