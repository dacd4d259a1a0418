#include "support/TestBed.h"

#include "runtime/Handle.h"
#include "support/ChildTest.h"

#include <windows.h>

#include <fstream>
#include <iterator>
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

std::wstring testbed::debugLog(const std::wstring& productRoot)
{
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW((productRoot + L"\\admin\\logs\\tarvolog_debug*.log").c_str(), &found));
    if (!search)
        return L"";
    std::ifstream log((productRoot + L"\\admin\\logs\\" + found.cFileName).c_str(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}
