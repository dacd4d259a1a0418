#include "runtime/Exception.h"
#include "runtime/Strings.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(FormatString, TakesMicrosoftSemanticsAndSizesTheText)
{
    EXPECT_EQ(L"Unable to call isUser(J\u00fcrgen)", formatString(L"Unable to call isUser(%s)", L"J\u00fcrgen"));
    EXPECT_EQ(L"user admin", formatString(L"user %s", std::wstring(L"admin")));
    EXPECT_EQ(L"-5 7 4000000000 0000001A", formatString(L"%d %u %lu %08X", -5, 7u, 4000000000ul, 0x1Au));
    EXPECT_EQ(L"-9223372036854775808 and 1", formatString(L"%lld and %d", INT64_MIN, 1));

    EXPECT_EQ(0, getFormatStringSize(L""));
    EXPECT_EQ(L"", formatString(L""));
    EXPECT_EQ(9, getFormatStringSize(L"%s-%d", L"abc", 12345));
    const std::wstring formatted = formatString(L"[%s]", std::wstring(5000, L'x'));
    EXPECT_EQ(5002u, formatted.size());
    EXPECT_EQ(L"x]", formatted.substr(5000));
}

TEST(FormatString, RejectedFormatRaisesArgumentException)
{
    const wchar_t* noFormat = nullptr;
    try {
        formatString(noFormat, 1);
        FAIL() << "no exception";
    } catch (const ArgumentException& e) {
        ASSERT_EQ(1u, e.contexts().size());
        EXPECT_EQ("getFormatStringSize", e.contexts()[0].function);
        EXPECT_EQ(L"_scwprintf() failed: invalid arguments\n   at (getFormatStringSize line " +
                      std::to_wstring(e.contexts()[0].line) + L")",
                  e.fullText());
    }
}

TEST(CodePages, ConvertBothWaysAndEmptyNeedsNoCodePage)
{
    const std::wstring text = L"Gr\u00fc\u00dfe, \u65e5\u672c \u20ac";
    const std::string utf8 = cstr(text, CP_UTF8);
    EXPECT_EQ("Gr\xc3\xbc\xc3\x9f" "e, \xe6\x97\xa5\xe6\x9c\xac \xe2\x82\xac", utf8);
    EXPECT_EQ(text, wstr(utf8, CP_UTF8));
    EXPECT_EQ("LocalUserInformation::isUser", cstr(L"LocalUserInformation::isUser", 0));
    EXPECT_EQ(L"line 42", wstr("line 42", 0));
    EXPECT_EQ("", cstr(L"", 12345));
    EXPECT_EQ(L"", wstr("", 12345));
}

TEST(CodePages, FailedConversionRaisesOsErrorWithItsWhereText)
{
    try {
        cstr(L"abc", 12345);
        FAIL() << "no exception";
    } catch (const vosexception& e) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), e.errorCode());
        EXPECT_NE(std::wstring::npos,
                  e.message().find(L" at Maps a wide-character (Unicode) string to a character stringz"));
        EXPECT_EQ("cstr", e.contexts().at(0).function);
    }
    try {
        wstr("abc", 12345);
        FAIL() << "no exception";
    } catch (const vosexception& e) {
        EXPECT_NE(std::wstring::npos,
                  e.message().find(L" at Maps a character string to a wide-character (Unicode) string failed"));
        EXPECT_EQ("wstr", e.contexts().at(0).function);
    }
}

} // namespace
