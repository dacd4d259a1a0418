#include "runtime/Strings.h"

#include "runtime/Exception.h"

#include <cstdarg>
#include <cwchar>

// The msvcrt entry points are called by name: the standard wide printf family may be
// mapped to MinGW's own implementation, where "%s" would take a narrow string.

namespace {

int checkedCount(int count)
{
    if (count < 0)
        throw ArgumentException(L"_scwprintf() failed: invalid arguments", {L"", "getFormatStringSize", __LINE__});
    return count;
}

} // namespace

namespace formatting {

int countFormatted(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int count = _vscwprintf(format, args);
    va_end(args);
    return checkedCount(count);
}

std::wstring printFormatted(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int count = _vscwprintf(format, args);
    va_end(args);

    std::wstring text;
    int written = 0;
    if (count > 0) {
        text.resize(static_cast<size_t>(count));
        // The string's own terminator slot makes the capacity count + 1.
        written = _vsnwprintf(&text[0], text.size() + 1, format, again);
    }
    va_end(again);
    checkedCount(count);
    if (written != count)
        throw ArgumentException(L"swprintf() failed: invalid arguments", {L"", "formatString", __LINE__});
    return text;
}

} // namespace formatting

std::string cstr(const std::wstring& text, UINT codePage)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    if (size == 0)
        WL_THROW_LAST_ERROR(L"Maps a wide-character (Unicode) string to a character stringz");
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr,
                        nullptr);
    return result;
}

std::wstring wstr(const std::string& text, UINT codePage)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size == 0)
        WL_THROW_LAST_ERROR(L"Maps a character string to a wide-character (Unicode) string failed");
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}
