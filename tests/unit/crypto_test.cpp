#include <functional>

#include <gtest/gtest.h>

#include "crypto/cryptoapi.h"
#include "crypto/enumeration.h"
#include "crypto/providers.h"

namespace kelto {
namespace {

// Codes with a system text are checked exactly by the action suites.
TEST(ErrorDescription, CodeInUnpaddedUpperHexThenUnknown) {
  SetLastError(0x2BADBEEu);
  EXPECT_EQ(getErrorDescription(), u"Error 0x2BADBEE - unknow error");
}

// A provider whose size query understates the longest name, as some do.
struct ShortBufferProvider {
  std::vector<std::string> names;
  std::size_t next = 0;
  int calls = 0;
  bool operator()(std::uint8_t* buffer, std::uint32_t& length, bool first,
                  std::uint32_t& error) {
    ++calls;
    if (first) next = 0;
    if (next >= names.size()) {
      error = ERROR_NO_MORE_ITEMS;
      return false;
    }
    const std::string& name = names[next];
    if (length < name.size() + 1) {
      length = static_cast<std::uint32_t>(name.size() + 1);
      error = ERROR_MORE_DATA;
      return false;  // the enumeration does not move on
    }
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    length = static_cast<std::uint32_t>(name.size() + 1);
    ++next;
    return true;
  }
};

TEST(ContainerEnumeration, ShortBufferGrowsAndLengthIsReset) {
  ShortBufferProvider provider{{"long-container-name", "a", "second-long-name"}};
  // A buffer of 4 bytes: the first name needs more, and after the short name
  // "a" the length would be 2 unless reset.
  EXPECT_EQ(enumerateContainers(4, std::ref(provider)),
            u"long-container-name;a;second-long-name");
  ShortBufferProvider empty{{}};
  EXPECT_EQ(enumerateContainers(1, std::ref(empty)), u"");
  EXPECT_EQ(empty.calls, 1);
}

TEST(ContainerEnumeration, OtherFailuresEndTheList) {
  int calls = 0;
  auto failing = [&calls](std::uint8_t* buffer, std::uint32_t& length, bool,
                          std::uint32_t& error) {
    if (++calls == 1) {
      buffer[0] = 'x';
      buffer[1] = 0;
      length = 2;
      return true;
    }
    error = static_cast<std::uint32_t>(NTE_BAD_UID);
    length = 1000;  // a failure other than ERROR_MORE_DATA never grows the buffer
    return false;
  };
  EXPECT_EQ(enumerateContainers(16, failing), u"x");
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace kelto
