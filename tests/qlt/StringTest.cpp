#include <QLT.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace {

std::u16string Wide(const QLT_CString& s) { return reinterpret_cast<const char16_t*>(s.wc_str()); }
const unsigned short* U(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

TEST(QltString, SixteenBitTextConvertsWithoutLoss) {
  const char16_t* samples[] = {u"", u"plain", u"Grüße ☃", u"\U0001F600 at start", u"end \U00010348",
                               u"mixed \uFFFF \uE000 \U0010FFFF"};
  for (const char16_t* s : samples) {
    QLT_CString q(U(s));
    EXPECT_EQ(Wide(q), std::u16string(s));
  }
  EXPECT_STREQ(QLT_CString(U(u"Grüße \U0001F600")).c_str(), "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80");
}

TEST(QltString, UnpairedSurrogatesBecomeReplacementCharacter) {
  const char16_t loneHighAtEnd[] = {u'a', 0xD83D, 0};
  const char16_t loneLow[] = {0xDE00, u'b', 0};
  const char16_t highThenLetter[] = {0xD83D, u'c', 0};
  const char16_t twoHighs[] = {0xD83D, 0xD83D, 0xDE00, 0};
  EXPECT_EQ(Wide(QLT_CString(U(loneHighAtEnd))), u"a\uFFFD");
  EXPECT_EQ(Wide(QLT_CString(U(loneLow))), u"\uFFFDb");
  EXPECT_EQ(Wide(QLT_CString(U(highThenLetter))), u"\uFFFDc");
  EXPECT_EQ(Wide(QLT_CString(U(twoHighs))), u"\uFFFD\U0001F600");
}

TEST(QltString, MalformedEightBitTextBecomesReplacementCharacters) {
  // truncated sequence, stray continuation byte, overlong '/', encoded surrogate, beyond U+10FFFF
  EXPECT_EQ(Wide(QLT_CString("a\xE2\x82")), u"a\uFFFD\uFFFD");
  EXPECT_EQ(Wide(QLT_CString("\x80z")), u"\uFFFDz");
  EXPECT_EQ(Wide(QLT_CString("\xC0\xAF")), u"\uFFFD\uFFFD");
  EXPECT_EQ(Wide(QLT_CString("\xED\xA0\x80")), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Wide(QLT_CString("\xF4\x90\x80\x80")), u"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(QltString, NullTextIsEmpty) {
  EXPECT_STREQ(QLT_CString(static_cast<const char*>(nullptr)).c_str(), "");
  EXPECT_STREQ(QLT_CString(static_cast<const unsigned short*>(nullptr)).c_str(), "");
  EXPECT_STREQ((QLT_CString("x") + static_cast<const char*>(nullptr)).c_str(), "x");
  EXPECT_EQ(QLT_CString().wc_str()[0], 0);
}

TEST(QltString, AppendsNumbersAndLeavesOperandAlone) {
  QLT_CString base("n=");
  EXPECT_STREQ((base + INT_MIN).c_str(), "n=-2147483648");
  EXPECT_STREQ((base + 4294967295u).c_str(), "n=4294967295");
  EXPECT_STREQ((base + -7L).c_str(), "n=-7");
  EXPECT_STREQ((base + 3000000000UL).c_str(), "n=3000000000");
  EXPECT_STREQ(QLT_CString(-42).c_str(), "-42");
  EXPECT_STREQ((base + QLT_CString("a") + "b" + 1).c_str(), "n=ab1");
  // An HRESULT appended as a signed 32-bit number.
  EXPECT_STREQ((base + static_cast<LONG>(E_NOINTERFACE)).c_str(), "n=-2147467262");
  EXPECT_STREQ(base.c_str(), "n=");
}

TEST(QltString, DoublesReadBackExactly) {
  const double values[] = {0.0, 0.1, 45000.5, 45678.123456789012, -1.25, 1e-300, 2958465.9999999884, 1.0 / 3.0};
  for (double v : values) {
    QLT_CString s = QLT_CString("") + v;
    EXPECT_EQ(std::strtod(s.c_str(), nullptr), v) << s.c_str();
  }
  EXPECT_STREQ((QLT_CString("") + 45000.5).c_str(), "45000.5");
}

}  // namespace
