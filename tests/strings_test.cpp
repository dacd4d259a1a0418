#include "runtime/Strings.h"
#include "support/Capture.h"

#include <gtest/gtest.h>

TEST(Strings, FormatsWithMicrosoftSemanticsConvertsCodePagesAndFailuresNameTheirCall)
{
    EXPECT_EQ(L"J\u00fcrgen admin -5 4000000000 0000001A",
              formatString(L"%s %s %d %lu %08X", L"J\u00fcrgen", std::wstring(L"admin"), -5, 4000000000ul, 0x1Au));
    EXPECT_EQ(L"[" + std::wstring(5000, L'x') + L"]", formatString(L"[%s]", std::wstring(5000, L'x')));
    EXPECT_EQ(L"_scwprintf() failed: invalid arguments\n   at (getFormatStringSize line #)",
              testbed::thrownText([] { formatString(static_cast<const wchar_t*>(nullptr), 1); }));
    // Code pages convert both ways and failures name their call.
    EXPECT_EQ("Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5 \xe2\x82\xac", cstr(L"Gr\u00fc\u00dfe \u65e5 \u20ac", CP_UTF8));
    EXPECT_EQ(L"Gr\u00fc\u00dfe \u65e5 \u20ac", wstr("Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5 \xe2\x82\xac", CP_UTF8));
    EXPECT_TRUE(cstr(L"", 12345).empty() && wstr("", 12345).empty()) << "empty text needs no code page";
    EXPECT_NE(std::wstring::npos, testbed::thrownText([] { cstr(L"abc", 12345); }).find(L"87) at Maps a wide"));
    EXPECT_NE(std::wstring::npos, testbed::thrownText([] { wstr("abc", 12345); }).find(L"87) at Maps a character"));
}
