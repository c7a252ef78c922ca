#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "channel/framing.h"
#include "failing_alloc.h"
#include "platform/platform.h"

namespace {

std::string frame(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8),
                     static_cast<char>(n >> 16), static_cast<char>(n >> 24)} +
         body;
}

// Whatever fails inside a body (its bytes, or memory for its text at any
// point), the body is read to its end and the next frame is read as sent.
TEST(Framing, AFailedBodyLeavesTheNextFrameInStep) {
  const std::string next = "{\"contentId\":\"next\"}";
  std::string bad(200000, 'a');
  bad[1] = '\xff';
  std::string good(70000, 'b');
  const std::u16string name = kelto::platform::tempFolder() + u"kelto_framing_test_" +
                              std::u16string(1, char16_t(u'0' + kelto::platform::processId() % 10));
  for (const std::string* body : {&bad, &good}) {
    std::FILE* in = kelto::platform::openFile(name, "w+b");
    ASSERT_NE(in, nullptr);
    const std::string stream = frame(*body) + frame(next);
    ASSERT_EQ(std::fwrite(stream.data(), 1, stream.size(), in), stream.size());
    std::u16string text;
    const long runs = kelto::test::forEachAllocationFailing(
        [&] {
          std::rewind(in);
          text = readMessage(in, readMessageLength(in));
        },
        [&] {
          if (body == &bad || !text.empty())
            EXPECT_EQ(text, body == &bad ? u"" : std::u16string(good.begin(), good.end()));
          ASSERT_EQ(readMessageLength(in), next.size());
          EXPECT_EQ(readMessage(in, static_cast<std::uint32_t>(next.size())),
                    std::u16string(next.begin(), next.end()));
        });
    EXPECT_GT(runs, 1);
    std::fclose(in);
  }
  kelto::platform::removeFile(name);
}

}  // namespace
