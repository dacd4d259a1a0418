#include "runtime/Exception.h"
#include "runtime/Strings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace {

TEST(FormatString, WideStringsAndIntegersTakeMicrosoftSemantics)
{
    EXPECT_EQ(L"Unable to call isUser(J\u00fcrgen)", formatString(L"Unable to call isUser(%s)", L"J\u00fcrgen"));
    EXPECT_EQ(L"-5 7 4000000000", formatString(L"%d %u %lu", -5, 7u, 4000000000ul));
    EXPECT_EQ(L"0000001A", formatString(L"%08X", 0x1Au));
    const std::wstring user = L"admin";
    EXPECT_EQ(L"user admin", formatString(L"user %s", user));
}

TEST(FormatString, SixtyFourBitIntegersKeepAllDigits)
{
    EXPECT_EQ(L"-9223372036854775808", formatString(L"%lld", INT64_MIN));
    EXPECT_EQ(L"9223372036854775807 and 1", formatString(L"%lld and %d", INT64_MAX, 1));
}

TEST(FormatString, SizesMatchTheFormattedText)
{
    EXPECT_EQ(0, getFormatStringSize(L""));
    EXPECT_EQ(L"", formatString(L""));
    EXPECT_EQ(9, getFormatStringSize(L"%s-%d", L"abc", 12345));

    const std::wstring longText(5000, L'x');
    const std::wstring formatted = formatString(L"[%s]", longText);
    EXPECT_EQ(5002u, formatted.size());
    EXPECT_EQ(L'x', formatted[5000]);
    EXPECT_EQ(L']', formatted.back());
}

TEST(FormatString, RejectedFormatRaisesArgumentException)
{
    const wchar_t* noFormat = nullptr;
    try {
        formatString(noFormat, 1);
        FAIL() << "no exception";
    } catch (const ArgumentException& e) {
        EXPECT_EQ(L"_scwprintf() failed: invalid arguments\n   at (getFormatStringSize line " +
                      std::to_wstring(e.contexts().at(0).line) + L")",
                  e.fullText());
        EXPECT_EQ("getFormatStringSize", e.contexts()[0].function);
    }
    EXPECT_THROW(getFormatStringSize(noFormat), ArgumentException);
}

TEST(CodePages, Utf8RoundTripKeepsNonAsciiText)
{
    const std::wstring text = L"Gr\u00fc\u00dfe, \u65e5\u672c \u20ac";
    const std::string utf8 = cstr(text, CP_UTF8);
    EXPECT_EQ("Gr\xc3\xbc\xc3\x9f" "e, \xe6\x97\xa5\xe6\x9c\xac \xe2\x82\xac", utf8);
    EXPECT_EQ(text, wstr(utf8, CP_UTF8));
}

TEST(CodePages, AnsiCodePageAndEmptyStrings)
{
    EXPECT_EQ("LocalUserInformation::isUser", cstr(L"LocalUserInformation::isUser", 0));
    EXPECT_EQ(L"line 42", wstr("line 42", 0));
    EXPECT_EQ("", cstr(L"", CP_UTF8));
    EXPECT_EQ(L"", wstr("", CP_UTF8));
    // Empty input needs no platform call, so even an unusable code page is fine.
    EXPECT_EQ("", cstr(L"", 12345));
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
