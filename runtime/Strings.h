#pragma once

#include <windows.h>

#include <string>
#include <type_traits>

namespace formatting {

// Arguments go through a C variadic call, so only scalars and C strings may pass;
// a std::wstring is handed over as its c_str().
inline const wchar_t* argument(const std::wstring& text) { return text.c_str(); }

template <typename T>
T argument(T value)
{
    static_assert(std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T>,
                  "formatString takes numbers, pointers, C strings and std::wstring");
    return value;
}

// The C runtime's counting and formatting calls (Microsoft semantics: "%s" takes a wide
// string). Both throw ArgumentException when the runtime rejects the format.
int countFormatted(const wchar_t* format, ...);
std::wstring printFormatted(const wchar_t* format, ...);

} // namespace formatting

// Characters the formatted text needs, without the terminator.
template <typename... Args>
int getFormatStringSize(const wchar_t* format, const Args&... args)
{
    return formatting::countFormatted(format, formatting::argument(args)...);
}

// printf-style formatting into a wide string: "%s" takes a wide string, "%lld" a 64-bit
// integer, "%08X" upper-case hexadecimal.
template <typename... Args>
std::wstring formatString(const wchar_t* format, const Args&... args)
{
    return formatting::printFormatted(format, formatting::argument(args)...);
}

// Wide to multi-byte (code page 0: the system ANSI code page, 65001: UTF-8).
std::string cstr(const std::wstring& text, UINT codePage);
// Multi-byte to wide.
std::wstring wstr(const std::string& text, UINT codePage);
