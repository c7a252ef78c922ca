#include <gtest/gtest.h>
#include <utf8.h>

#include "text/textconv.h"

namespace kelto {
namespace {

TEST(Utf8ToWide, DecodesEveryPlaneAndRejectsMalformedInput) {
  EXPECT_EQ(utf8ToWide("\xD0\x9F"), std::u16string(1, char16_t(0x041F)));
  EXPECT_EQ(utf8ToWide("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(utf8ToWide(std::string("a\0b\0", 4)), std::u16string(u"a\0b\0", 4));
  EXPECT_THROW(utf8ToWide("\xD0"), utf8::not_enough_room);
  EXPECT_THROW(utf8ToWide("\xC0\x80"), utf8::invalid_utf8);
  EXPECT_THROW(utf8ToWide("\xED\xA0\x80"), utf8::invalid_code_point);
  EXPECT_THROW(utf8ToWide("ab\x80"), utf8::invalid_utf8);
}

TEST(WideToUtf8, EncodesPairsAndRejectsLoneSurrogates) {
  EXPECT_EQ(wideToUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
  EXPECT_THROW(wideToUtf8(std::u16string{0xDC00}), utf8::invalid_utf16);
  EXPECT_THROW(wideToUtf8(std::u16string{0xD800, u'a'}), utf8::invalid_utf16);
}

TEST(WideToUtf8Lenient, ReplacesOnlyLoneSurrogatesAndAgreesWithTheCount) {
  const std::u16string text{u'a', 0xD83D, 0xDE00, 0xDC00, u'\u00e9', 0xD800};
  EXPECT_EQ(wideToUtf8Lenient(text, U'?'), "a\xF0\x9F\x98\x80?\xC3\xA9?");
  const std::string replaced = wideToUtf8Lenient(text, 0xFFFD);
  EXPECT_EQ(replaced, "a\xF0\x9F\x98\x80\xEF\xBF\xBD\xC3\xA9\xEF\xBF\xBD");
  EXPECT_EQ(utf8Length(text), replaced.size());
  EXPECT_EQ(utf8Length(u"\u07FF\u0800"), 5u);
}

TEST(Utf8Decoder, SequencesSplitBetweenPiecesDecodeAsWhole) {
  const std::string text = "a\xD0\x9F\xF0\x9F\x98\x80\xE2\x82\xAC z";
  for (std::size_t piece = 1; piece <= text.size(); ++piece) {
    std::u16string out;
    Utf8Decoder decoder(out);
    for (std::size_t at = 0; at < text.size(); at += piece)
      decoder.feed(std::string_view(text).substr(at, piece));
    decoder.finish();
    EXPECT_EQ(out, utf8ToWide(text)) << "piece " << piece;
  }
  // Long ASCII runs around a multibyte character, past the widening block.
  std::string big(10000, 'x');
  big += "\xC3\xA9";
  big += std::string(5000, 'y');
  const std::u16string wide = utf8ToWide(big);
  ASSERT_EQ(wide.size(), 15001u);
  EXPECT_EQ(wide[10000], 0x00E9);
  EXPECT_EQ(wide[15000], u'y');
}

TEST(Utf8Decoder, MalformedOrUnfinishedInputThrows) {
  std::u16string out;
  Utf8Decoder cut(out);
  cut.feed("ab\xF0\x9F");
  EXPECT_THROW(cut.finish(), utf8::not_enough_room);

  Utf8Decoder zeroAfterLead(out);
  zeroAfterLead.feed("\xD0");
  EXPECT_THROW(zeroAfterLead.feed(std::string_view("\0", 1)), utf8::invalid_utf8);

  Utf8Decoder badContinuation(out);
  badContinuation.feed("\xE2\x82");
  EXPECT_THROW(badContinuation.feed("A"), utf8::invalid_utf8);
}

}  // namespace
}  // namespace kelto
