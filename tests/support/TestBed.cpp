#include "support/TestBed.h"

#include "support/ChildTest.h"

#include <windows.h>

#include <regex>

namespace testbed {

std::wstring env(const wchar_t* name)
{
    std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
    return value;
}

std::wstring ownPath()
{
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

std::wstring binDir()
{
    const std::wstring path = ownPath();
    return path.substr(0, path.find_last_of(L'\\'));
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
