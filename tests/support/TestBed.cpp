#include "support/TestBed.h"

#include <windows.h>

#include <cstdlib>
#include <regex>

namespace testbed {

std::wstring env(const wchar_t* name)
{
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

std::string envNarrow(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::wstring binDir()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring uniqueName(const std::wstring& prefix)
{
    static unsigned counter = 0;
    return prefix + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
}

}

std::wstring withoutLines(const std::wstring& text)
{
    return std::regex_replace(text, std::wregex(L" line [0-9]+\\)"), L" line #)");
}
