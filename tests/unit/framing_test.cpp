#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "channel/framing.h"
#include "failing_alloc.h"
#include "platform/platform.h"

namespace kelto {
namespace {

std::string frame(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8),
                     static_cast<char>(n >> 16), static_cast<char>(n >> 24)} +
         body;
}

// A body whose text cannot be held (whichever allocation fails) leaves the
// stream in step: the body is read to its end, the next frame as it was sent.
TEST(Framing, ABodyThatCannotBeHeldIsReadPast) {
  const std::string body(70000, 'b'), next = "{\"contentId\":\"next\"}";
  std::FILE* in = std::tmpfile();
  ASSERT_NE(in, nullptr);
  const std::string stream = frame(body) + frame(next);
  ASSERT_EQ(std::fwrite(stream.data(), 1, stream.size(), in), stream.size());
  std::u16string text;
  const long runs = kelto::test::forEachAllocationFailing(
      [&] {
        std::rewind(in);
        text = readMessage(in, readMessageLength(in));
      },
      [&] {
        if (!text.empty()) EXPECT_EQ(text, std::u16string(body.begin(), body.end()));
        ASSERT_EQ(readMessageLength(in), next.size());
        EXPECT_EQ(readMessage(in, static_cast<std::uint32_t>(next.size())),
                  std::u16string(next.begin(), next.end()));
      });
  EXPECT_GT(runs, 1);
  EXPECT_FALSE(text.empty());
  std::fclose(in);
}

}  // namespace
}  // namespace kelto
