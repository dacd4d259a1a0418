#include "runtime/Path.h"

#include "runtime/Exception.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>

namespace {

const wchar_t EXTENDED_PREFIX[] = L"\\\\?\\";

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

bool startsWith(const std::wstring& text, const wchar_t* start)
{
    return text.compare(0, wcslen(start), start) == 0;
}

// "C:\..." or "\\server\share...", with either separator.
bool isAbsolute(const std::wstring& path)
{
    if (path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && isSeparator(path[2]))
        return true;
    return path.size() >= 3 && isSeparator(path[0]) && isSeparator(path[1]) && !isSeparator(path[2]);
}

// Characters of a full path that name its drive or share, with the separator after it.
size_t rootLength(const std::wstring& path)
{
    size_t at = startsWith(path, EXTENDED_PREFIX) ? 4 : 0;
    if (at == 4 && path.compare(at, 4, L"UNC\\") == 0)
        at += 4;
    else if (at == 0 && startsWith(path, L"\\\\"))
        at = 2;
    else
        return at + 3;
    at = path.find(L'\\', at); // after the server
    if (at != std::wstring::npos)
        at = path.find(L'\\', at + 1); // after the share
    return at == std::wstring::npos ? path.size() : at + 1;
}

bool isDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

std::wstring joinPath(const std::wstring& a, const std::wstring& b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    size_t end = a.size();
    while (end > 0 && isSeparator(a[end - 1]))
        --end;
    size_t start = 0;
    while (start < b.size() && isSeparator(b[start]))
        ++start;
    return a.substr(0, end) + L"\\" + b.substr(start);
}

std::wstring extendedLengthPath(const std::wstring& path)
{
    if (startsWith(path, EXTENDED_PREFIX))
        return path;
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        WL_THROW_LAST_ERROR((L"GetFullPathName(" + path + L")").c_str());
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        WL_THROW_LAST_ERROR((L"GetFullPathName(" + path + L")").c_str());
    full.resize(length);
    // Directories stop at MAX_PATH - 12 without the prefix (room for an 8.3 name), files at
    // MAX_PATH; the short form stays for what log lines and messages show.
    if (full.size() < MAX_PATH - 12)
        return full;
    if (startsWith(full, L"\\\\"))
        return EXTENDED_PREFIX + std::wstring(L"UNC\\") + full.substr(2);
    return EXTENDED_PREFIX + full;
}

void makeDir(const std::wstring& path)
{
    if (!isAbsolute(path) && !startsWith(path, EXTENDED_PREFIX))
        throw vexception(L"Unable to create directory with wrong name", WL_CONTEXT());
    const std::wstring full = extendedLengthPath(path);
    for (size_t end = full.find(L'\\', rootLength(full)); ; end = full.find(L'\\', end + 1)) {
        const std::wstring level = full.substr(0, end);
        if (!CreateDirectoryW(level.c_str(), nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS || !isDirectory(level))
                WL_THROW_OS_ERROR((L"CreateDirectory(" + level + L")").c_str(), error);
        }
        if (end == std::wstring::npos)
            return;
    }
}
