#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <vector>

#include <gtest/gtest.h>

#include "logging/logger.h"
#include "logging/startlog.h"
#include "platform/platform.h"

namespace kelto {

struct DataSigned {
  static void closeProvider() { LOG_DEBUG << u"Start closeProvider..."; }
};

namespace {

// A file name of this process's own in the temporary folder, removed again
// however the test ends.
struct TempName {
  explicit TempName(const std::u16string& tag)
      : name(platform::tempFolder() + u"kelto_logger_test_" + tag + u"_" +
             platform::ansiToWide(std::to_string(platform::processId())) + u".log") {
    platform::removeFile(name);
  }
  ~TempName() { platform::removeFile(name); }
  const std::u16string name;
};

std::string readAll(const std::u16string& name) {
  std::ifstream in(std::filesystem::path(name), std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

void writeFile(const std::u16string& name, const char* text) {
  std::ofstream(std::filesystem::path(name), std::ios::binary) << text;
}

// The log is named afresh in the temporary folder, starts with a BOM and its
// first record at once, and names members in full.
TEST(Logger, StartLogWritesRecordsWithBomAndQualifiedFunctionNames) {
  startLog(log::debug);
  const std::u16string name = log::fileName(), folder = platform::tempFolder();
  kelto::DataSigned::closeProvider();
  LOG_ERROR << u"Value: " << 42 << u" \u041f " << std::uint64_t{18446744073709551615ull};
  log::init(log::none, u"");
  const std::string text = readAll(name);
  platform::removeFile(name);
  ASSERT_EQ(name.substr(0, folder.size()), folder);
  const std::u16string base = name.substr(folder.size());
  EXPECT_TRUE(std::regex_match(std::string(base.begin(), base.end()),
                               std::regex("KeltoDataSigned_[0-9A-Za-z]{7}\\.log")));
  const std::string stamp = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} ";
  const std::regex records(
      "\xEF\xBB\xBF" + stamp +
      "DEBUG \\[\\d+\\] \\[startLog@\\d+\\] Start keltoDataSigned\\.\\.\\.\n" + stamp +
      "DEBUG \\[\\d+\\] \\[kelto::DataSigned::closeProvider@\\d+\\] Start "
      "closeProvider\\.\\.\\.\n" +
      stamp +
      "ERROR \\[\\d+\\] \\[kelto::\\{anonymous\\}::"
      "Logger_StartLogWritesRecordsWithBomAndQualifiedFunctionNames_Test::TestBody@\\d+"
      "\\] "
      "Value: 42 \xD0\x9F 18446744073709551615\n");
  EXPECT_TRUE(std::regex_match(text, records)) << text;
}

TEST(Logger, RecordsNeverGoIntoAnEntryThatExists) {
  // Another user's file and (where there are links and modes) a link to a
  // file of this user's take the first names the logger is given.
  const bool posix = platform::pathSeparator() == u'/';
  const TempName theirs(u"theirs"), link(u"link"), target(u"target"), mine(u"mine");
  writeFile(theirs.name, "theirs");
  writeFile(target.name, "target");
  std::vector<std::u16string> offered = {mine.name};
  if (posix) {
    std::filesystem::create_symlink(std::filesystem::path(target.name),
                                    std::filesystem::path(link.name));
    offered.insert(offered.begin(), link.name);
  }
  log::init(log::error, theirs.name, [&offered] {
    std::u16string next = offered.front();
    offered.erase(offered.begin());
    return next;
  });
  // A filtered statement is not even evaluated, and makes no file.
  int evaluated = 0;
  LOG_DEBUG << ++evaluated;
  EXPECT_EQ(evaluated, 0);
  EXPECT_EQ(readAll(mine.name), "<missing>");
  LOG_ERROR << u"recorded";
  EXPECT_EQ(log::fileName(), mine.name);
  // Without other names to try the records are lost, not written there.
  log::init(log::error, theirs.name);
  LOG_ERROR << u"lost";
  log::init(log::none, u"");
  EXPECT_EQ(readAll(theirs.name), "theirs");
  EXPECT_EQ(readAll(target.name), "target");
  const std::string text = readAll(mine.name);
  EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_NE(text.find("] recorded\n"), std::string::npos) << text;
  if (posix)
    EXPECT_EQ(std::filesystem::status(std::filesystem::path(mine.name)).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// The program's free functions are named bare, its members in full; clang's
// spelling of an unnamed namespace reads as GCC's.
TEST(Logger, FunctionNameFromDecoratedSignatures) {
  const std::pair<const char*, const char*> cases[] = {
      {"int main()", "main"},
      {"std::u16string processingMessage(std::u16string)", "processingMessage"},
      {"bool kelto::DataSigned::closeProvider(HCRYPTPROV, std::u16string&) const",
       "kelto::DataSigned::closeProvider"},
      {"std::map<int, std::pair<int, int> > ns::f(int (*)(int))", "ns::f"},
      {"kelto::StagedFile kelto::createDataFile(const u16string&)", "createDataFile"},
      {"void kelto::{anonymous}::helper()", "kelto::{anonymous}::helper"},
      {"void (anonymous namespace)::A::run((anonymous namespace)::B)",
       "{anonymous}::A::run"}};
  for (const auto& [signature, name] : cases)
    EXPECT_EQ(log::functionName(signature), name);
}

}  // namespace
}  // namespace kelto
