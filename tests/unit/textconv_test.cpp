#include <gtest/gtest.h>
#include <utf8.h>

#include "channel/textconv.h"

namespace {

TEST(Utf8ToWide, DecodesBmpAndSupplementaryPlanes) {
  EXPECT_EQ(utf8ToWide("\xD0\x9F"), std::u16string(1, char16_t(0x041F)));
  EXPECT_EQ(utf8ToWide("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(utf8ToWide(""), u"");
  EXPECT_EQ(utf8ToWide(std::string("a\0b\0", 4)), std::u16string(u"a\0b\0", 4));
}

TEST(Utf8ToWide, RejectsMalformedInput) {
  EXPECT_THROW(utf8ToWide("\xD0"), utf8::not_enough_room);
  EXPECT_THROW(utf8ToWide("\xC0\x80"), utf8::invalid_utf8);
  EXPECT_THROW(utf8ToWide("\xED\xA0\x80"), utf8::invalid_code_point);
  EXPECT_THROW(utf8ToWide("\xF4\x90\x80\x80"), utf8::invalid_code_point);
  EXPECT_THROW(utf8ToWide("ab\x80"), utf8::invalid_utf8);
  EXPECT_THROW(utf8ToWide("\xFF"), utf8::invalid_utf8);
}

TEST(WideToUtf8, EncodesPairsAndRejectsLoneSurrogates) {
  EXPECT_EQ(wideToUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
  EXPECT_THROW(wideToUtf8(std::u16string{0xDC00}), utf8::invalid_utf16);
  EXPECT_THROW(wideToUtf8(std::u16string{0xD800}), utf8::invalid_utf16);
  EXPECT_THROW(wideToUtf8(std::u16string{0xD800, u'a'}), utf8::invalid_utf16);
}

TEST(TextConversion, RoundTripsValidUtf8) {
  for (std::string text : {std::string("plain"), std::string("\xD0\x9F\xD1\x80\xD0\xB8"),
                           std::string("\xE2\x82\xAC \xF0\x9F\x98\x80 \x7F"),
                           std::string("\0x", 2)})
    EXPECT_EQ(wideToUtf8(utf8ToWide(text)), text);
}

TEST(AnsiConversion, EmptyStaysEmptyAndAsciiRoundTrips) {
  EXPECT_EQ(ansiToWide(""), u"");
  EXPECT_EQ(wideToAnsi(u""), "");
  EXPECT_EQ(wideToAnsi(ansiToWide("C:\\dir\\file.bin")), "C:\\dir\\file.bin");
}

}  // namespace
