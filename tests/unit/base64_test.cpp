#include <gtest/gtest.h>

#include "base64/base64.h"

namespace kelto {
namespace {

std::string encode(const std::string& bytes) {
  return encodeBase64(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// The decoded bytes, and where reading stopped.
std::pair<std::string, std::size_t> read(std::u16string_view text) {
  std::string out;
  std::size_t stop = 0;
  decodeBase64(
      text,
      [&out](const std::uint8_t* data, std::size_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
        return true;
      },
      &stop);
  return {out, stop};
}

std::string decode(std::string_view text) {
  return read(std::u16string(text.begin(), text.end())).first;
}

TEST(Base64, EncodesWithPaddingAndDecodesUpToTheFirstStopCharacter) {
  const std::pair<std::string, std::string> pairs[] = {
      {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {std::string("\xFB\xFF\xBF", 3), "+/+/"}};
  for (const auto& [bytes, text] : pairs) {
    EXPECT_EQ(encode(bytes), text);
    EXPECT_EQ(decode(text), bytes);
  }
  // Nothing after padding, a line end, a blank or a URL-safe character
  // counts; a single leftover character adds nothing.
  const std::pair<const char*, const char*> stops[] = {
      {"Zg==Zm9v", "f"}, {"Zm9v\nYmFy", "foo"}, {"Zm9v YmFy", "foo"},
      {"Zm9v-_", "foo"}, {"Zm9vYg", "foob"},    {"Zm9vYmE", "fooba"},
      {"Zm9vY", "foo"},  {"=Zm9v", ""},         {" Zm9v", ""}};
  for (const auto& [text, bytes] : stops) EXPECT_EQ(decode(text), bytes) << text;
}

TEST(Base64, ReportsWhereReadingStoppedAndWhatItLeftUnread) {
  // A non-ASCII unit is a stop character, not its low byte.
  std::u16string text = u"Zm9v";
  text += char16_t(0x0141);  // low byte 0x41 is 'A'
  text += u"YmFy";
  EXPECT_EQ(read(text), std::make_pair(std::string("foo"), std::size_t{4}));
  EXPECT_EQ(findUnreadBase64(text, 4), 5u);
  EXPECT_EQ(read(u"Zm9vYmE").second, 7u);
  EXPECT_EQ(findUnreadBase64(u"Zm9vYmE", 7), std::u16string_view::npos);
  // What padding, line ends and blanks close holds no data.
  EXPECT_EQ(read(u"Zg==\r\n \t=").second, 2u);
  EXPECT_EQ(findUnreadBase64(u"Zg==\r\n \t=", 2), std::u16string_view::npos);
  EXPECT_EQ(findUnreadBase64(u"Zg==Zg==", 2), 4u);
  EXPECT_EQ(findUnreadBase64(u"Zm9v-_/", 4), 6u);
}

TEST(Base64, PiecewiseDecodingMatchesWholeAndStopsOnRequest) {
  std::string bytes;
  for (int i = 0; i < 200000; ++i) bytes += static_cast<char>(i * 7 + i / 13);
  const std::string text = encode(bytes) + "=trailing";
  const std::u16string wide(text.begin(), text.end());
  EXPECT_EQ(decode(text), bytes);
  int pieces = 0;
  EXPECT_TRUE(
      decodeBase64(std::u16string_view(wide), [&](const std::uint8_t*, std::size_t) {
        ++pieces;
        return true;
      }));
  EXPECT_GT(pieces, 1);
  int calls = 0;
  EXPECT_FALSE(
      decodeBase64(std::u16string_view(wide), [&](const std::uint8_t*, std::size_t) {
        ++calls;
        return false;
      }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace kelto
