#include <cmath>
#include <string>

#include "platform_test_util.h"

namespace {

SYSTEMTIME make_time(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0) {
  SYSTEMTIME st{};
  st.wYear = y, st.wMonth = mo, st.wDay = d, st.wHour = h, st.wMinute = mi, st.wSecond = s;
  return st;
}

std::string time_text(DWORD flags, const SYSTEMTIME& st, const char* fmt) {
  char buf[100];
  int n = GetTimeFormatA(LOCALE_USER_DEFAULT, flags, &st, fmt, buf, sizeof buf);
  if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
  EXPECT_EQ(n, static_cast<int>(strlen(buf)) + 1);
  return buf;
}

std::string date_text(DWORD flags, const SYSTEMTIME& st, const char* fmt) {
  char buf[100];
  int n = GetDateFormatA(LOCALE_USER_DEFAULT, flags, &st, fmt, buf, sizeof buf);
  if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
  EXPECT_EQ(n, static_cast<int>(strlen(buf)) + 1);
  return buf;
}

class Locale : public ::testing::Test {
 protected:
  TempRegistry reg;
  const SYSTEMTIME morning = make_time(2002, 5, 4, 8, 56, 13);
  const SYSTEMTIME afternoon = make_time(2002, 5, 4, 14, 5, 3);

  void set_international(const char* name, const char* value) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\International", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             static_cast<DWORD>(strlen(value) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(k);
  }
};

TEST_F(Locale, TimePictures) {
  EXPECT_EQ(time_text(0, afternoon, "h hh H HH m mm s ss t tt"), "2 02 14 14 5 05 3 03 P PM");
  EXPECT_EQ(time_text(0, make_time(2002, 5, 4, 0, 5, 3), "h/H/hh/HH"), "12/0/12/00");
  EXPECT_EQ(time_text(0, morning, "h:hh:hhh H:HH:HHH m:mm:mmm M:MM:MMM s:ss:sss S:SS:SSS"),
            "8:08:08 8:08:08 56:56:56 M:MM:MMM 13:13:13 S:SS:SSS");
  EXPECT_EQ(time_text(0, morning, "h 'h' H 'H' HH 'HH' m 'm' s 's' t 't' tt 'tt'"),
            "8 h 8 H 08 HH 56 m 13 s A t AM tt");
  EXPECT_EQ(time_text(0, morning, "''''"), "'");
  EXPECT_EQ(time_text(0, morning, "'''HHHHHH'"), "'HHHHHH");
  EXPECT_EQ(time_text(0, morning, "''HHHHHH"), "08");
}

TEST_F(Locale, TimeFlagsDropPicturesWithTheirSeparators) {
  EXPECT_EQ(time_text(TIME_NOSECONDS, morning, nullptr), "8:56 AM");
  EXPECT_EQ(time_text(TIME_NOSECONDS, morning, "h:m:s tt"), "8:56 AM");
  EXPECT_EQ(time_text(TIME_NOSECONDS, morning, "h.@:m.@:s.@:tt"), "8.@:56AM");
  EXPECT_EQ(time_text(TIME_NOSECONDS, morning, "s1s2s3"), "");
  EXPECT_EQ(time_text(TIME_NOMINUTESORSECONDS, morning, nullptr), "8 AM");
  EXPECT_EQ(time_text(TIME_NOMINUTESORSECONDS, morning, "m1s2m3s4"), "");
  SYSTEMTIME pm = make_time(2002, 5, 4, 13, 56, 13);
  EXPECT_EQ(time_text(TIME_NOTIMEMARKER, pm, "h1t2tt3m"), "156");
  EXPECT_EQ(time_text(TIME_NOTIMEMARKER, pm, "'123'tt"), "");
  EXPECT_EQ(time_text(TIME_NOTIMEMARKER, pm, nullptr), "1:56:13");
  EXPECT_EQ(time_text(TIME_FORCE24HOURFORMAT, pm, "h:m:s tt"), "13:56:13 PM");
  // The period query's flags on the default format: 24-hour clock to the minute.
  EXPECT_EQ(time_text(TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, pm, nullptr), "13:56");
  EXPECT_EQ(time_text(TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, make_time(2002, 5, 4, 0, 7, 59),
                      nullptr),
            "0:07");
}

TEST_F(Locale, WindowsReturnValuesAndErrors) {
  char buf[100] = "pristine";
  EXPECT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &morning, "tt HH':'mm'@'ss", nullptr, 0), 12);
  EXPECT_STREQ(buf, "pristine");
  EXPECT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &morning, " HH", buf, 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &morning, " HH", buf, 4), 4);
  SYSTEMTIME bad = morning;
  bad.wHour = 25;
  EXPECT_EQ(time_text(0, bad, "h"), "<error 87>");
  bad = morning;
  bad.wMonth = 60;  // the date part does not matter to a time
  EXPECT_EQ(time_text(0, bad, "h:m:s"), "8:56:13");
  EXPECT_EQ(time_text(0x80000000 | TIME_FORCE24HOURFORMAT, morning, "HH"), "<error 1004>");
  EXPECT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &morning, "h", nullptr, 10), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  EXPECT_EQ(date_text(DATE_SHORTDATE | DATE_LONGDATE, morning, nullptr), "<error 1004>");
  EXPECT_EQ(date_text(DATE_LONGDATE, morning, "d"), "<error 1004>");
  bad = morning;
  bad.wDay = 31;
  bad.wMonth = 4;
  EXPECT_EQ(date_text(0, bad, "d"), "<error 87>");
  bad = make_time(1600, 12, 31);
  EXPECT_EQ(date_text(0, bad, "d"), "<error 87>");
  EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, 0, &morning, "ddd", buf, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(Locale, DatePicturesIgnoreDayOfWeekAndTime) {
  SYSTEMTIME st = make_time(2002, 10, 23, 200, 300, 400);
  st.wDayOfWeek = 45612;
  EXPECT_EQ(date_text(0, st, "dddd d MMMM yyyy"), "Wednesday 23 October 2002");
  EXPECT_EQ(date_text(0, morning, "ddd',' MMM dd ''''yy"), "Sat, May 04 '02");
  EXPECT_EQ(date_text(0, make_time(2009, 1, 2), "d dd M MM y yy yyyy h:m"), "2 02 1 01 9 09 2009 h:m");
  EXPECT_EQ(date_text(0, make_time(1601, 1, 1), "dddd"), "Monday");
}

TEST_F(Locale, UserFormatsComeFromTheRegistry) {
  EXPECT_EQ(date_text(0, morning, nullptr), "5/4/2002");
  EXPECT_EQ(date_text(DATE_LONGDATE, morning, nullptr), "Saturday, May 4, 2002");
  EXPECT_EQ(time_text(0, afternoon, nullptr), "2:05:03 PM");
  set_international("sShortDate", "dd.MM.yyyy");
  set_international("sLongDate", "d. MMMM yyyy");
  set_international("sTimeFormat", "HH:mm:ss");
  EXPECT_EQ(date_text(0, morning, nullptr), "04.05.2002");
  EXPECT_EQ(date_text(DATE_SHORTDATE, morning, nullptr), "04.05.2002");
  EXPECT_EQ(date_text(DATE_LONGDATE, morning, nullptr), "4. May 2002");
  EXPECT_EQ(time_text(0, afternoon, nullptr), "14:05:03");
  EXPECT_EQ(time_text(TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, afternoon, nullptr), "14:05");
  // LOCALE_NOUSEROVERRIDE ignores them.
  EXPECT_EQ(date_text(0x80000000, morning, nullptr), "5/4/2002");
}

TEST(Convert, MultiByteWideCharSizeQueriesAndSurrogates) {
  const char utf8[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0), 6);  // a, é, €, a surrogate pair, NUL
  WCHAR w[8];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, utf8, -1, w, 8), 6);
  EXPECT_EQ(w[3], 0xD83D);
  EXPECT_EQ(w[4], 0xDE00);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w, 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char back[16];
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr), static_cast<int>(sizeof utf8));
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, w, -1, back, sizeof back, nullptr, nullptr), static_cast<int>(sizeof utf8));
  EXPECT_STREQ(back, utf8);
  // ASCII runs around other characters, a lone surrogate among them replaced (or refused when strict).
  const WCHAR mixed[] = {u'a', u'b', 0x00E9, u'c', 0xD800, u'x', u'y', 0xDE00, 0};
  char out[32];
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, mixed, -1, out, sizeof out, nullptr, nullptr), 14);
  EXPECT_STREQ(out, "ab\xC3\xA9" "c\xEF\xBF\xBDxy\xEF\xBF\xBD");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0x80 /*WC_ERR_INVALID_CHARS*/, mixed, -1, out, sizeof out, nullptr, nullptr), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3(", 2, w, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3(", 2, w, 8), 2);  // replaced, not dropped
  EXPECT_EQ(w[0], 0xFFFD);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, w, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Convert, VarUI4FromStr) {
  // Failures leave the value untouched (7); 2.5 and 3.5 show banker's rounding.
  const struct {
    const char16_t* text;
    HRESULT hr;
    ULONG value;
  } cases[] = {{u"4294967295", S_OK, 4294967295u}, {u"  42 ", S_OK, 42}, {u"2.5", S_OK, 2}, {u"3.5", S_OK, 4},
               {u"&HFF", S_OK, 255}, {u"4294967296", DISP_E_OVERFLOW, 7}, {u"-1", DISP_E_OVERFLOW, 7},
               {u"12abc", DISP_E_TYPEMISMATCH, 7}, {u"", DISP_E_TYPEMISMATCH, 7}, {u"A1B2C3D4", DISP_E_TYPEMISMATCH, 7}};
  for (const auto& c : cases) {
    ULONG v = 7;
    EXPECT_EQ(VarUI4FromStr(c.text, LOCALE_USER_DEFAULT, 0, &v), c.hr) << c.hr;
    EXPECT_EQ(v, c.value);
  }
}

TEST(Convert, VariantChangeTypeScalars) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocString(u" 123 ");
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), S_OK);
  EXPECT_EQ(dst.vt, VT_I4);
  EXPECT_EQ(dst.lVal, 123);
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_UI1), S_OK);
  EXPECT_EQ(dst.bVal, 123);
  VariantClear(&src);
  src.vt = VT_I4;
  src.lVal = 70000;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I2), DISP_E_OVERFLOW);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(dst.bstrVal), u"70000");
  ASSERT_EQ(VariantChangeType(&dst, &dst, 0, VT_R8), S_OK);  // in place, from the BSTR
  EXPECT_EQ(dst.vt, VT_R8);
  EXPECT_EQ(dst.dblVal, 70000.0);
  src.vt = VT_R8;
  src.dblVal = -2.5;
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), S_OK);
  EXPECT_EQ(dst.lVal, -2);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BOOL), S_OK);
  EXPECT_EQ(dst.boolVal, VARIANT_TRUE);
  ASSERT_EQ(VariantChangeType(&dst, &dst, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(dst.bstrVal), u"True");
  ASSERT_EQ(VariantChangeType(&dst, &dst, 0, VT_BOOL), S_OK);
  EXPECT_EQ(dst.boolVal, VARIANT_TRUE);
  src.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
  src.vt = VT_EMPTY;
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), S_OK);
  EXPECT_EQ(dst.lVal, 0);
  auto* obj = new TestObject;
  src.vt = VT_DISPATCH;
  src.pdispVal = obj;
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_UNKNOWN), S_OK);
  EXPECT_EQ(dst.vt, VT_UNKNOWN);
  EXPECT_REF(obj, 2);
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(dst.vt, VT_UNKNOWN);  // a failed conversion leaves the destination as it was
  EXPECT_REF(obj, 2);
  VariantClear(&dst);
  EXPECT_REF(obj, 1);
  VariantClear(&src);
}

TEST(Convert, SystemTimeAndVariantTime) {
  DATE d = 0;
  SYSTEMTIME st = make_time(1899, 12, 30);
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_EQ(d, 0.0);
  st = make_time(2002, 5, 4, 18, 0, 0);
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_DOUBLE_EQ(d, 37380.75);
  st = make_time(1899, 12, 29, 6, 0, 0);  // before day 0 the time still counts forward
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_DOUBLE_EQ(d, -1.25);
  // Year, month, day, day of the week, hour, minute, second.
  auto fields = [](DATE v) {
    SYSTEMTIME t{};
    EXPECT_TRUE(VariantTimeToSystemTime(v, &t)) << v;
    return std::vector<int>{t.wYear, t.wMonth, t.wDay, t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond};
  };
  EXPECT_EQ(fields(-1.25), (std::vector<int>{1899, 12, 29, 5, 6, 0, 0}));
  st = make_time(2001, 2, 29);
  EXPECT_FALSE(SystemTimeToVariantTime(&st, &d));
  st = make_time(2000, 2, 29, 23, 59, 59);
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_EQ(fields(d), (std::vector<int>{2000, 2, 29, 2, 23, 59, 59}));  // a Tuesday
  // Rounded to the nearest second, carrying into the next day.
  EXPECT_EQ(fields(37380.0 - 0.4 / 86400.0), (std::vector<int>{2002, 5, 4, 6, 0, 0, 0}));
  SYSTEMTIME back{};
  EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &back));
  EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &back));
}

}  // namespace
