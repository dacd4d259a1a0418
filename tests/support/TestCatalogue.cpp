#include "support/TestCatalogue.h"

#include "runtime/Config.h"
#include "support/RegistryValues.h"

#include <algorithm>

namespace {

// The path to the catalogue, outermost first.
std::array<std::wstring, 4> catalogueKeys()
{
    return {L"SOFTWARE\\Tarvo", L"SOFTWARE\\Tarvo\\KZO Config", CONFIG_ROOT_KEY, TestCatalogue::packagesKey()};
}

} // namespace

TestCatalogue::TestCatalogue()
{
    const auto keys = catalogueKeys();
    for (size_t index = 0; index < keys.size(); ++index)
        keysBefore_[index] = testreg::keyExists(keys[index]);
    testreg::createKey(packagesKey());
}

TestCatalogue::~TestCatalogue()
{
    for (const std::wstring& name : packages_)
        testreg::deleteTree(packagesKey() + L"\\" + name);
    const auto keys = catalogueKeys();
    for (size_t index = keys.size(); index-- > 0;)
        if (keysBefore_[index])
            testreg::createKey(keys[index]);
        else
            testreg::deleteIfEmpty(keys[index]);
}

std::wstring TestCatalogue::packagesKey()
{
    return std::wstring(CONFIG_ROOT_KEY) + L"\\Packages";
}

void TestCatalogue::package(const std::wstring& name, const std::wstring& component)
{
    testreg::setString(packagesKey() + L"\\" + name, L"", component);
    if (std::find(packages_.begin(), packages_.end(), name) == packages_.end())
        packages_.push_back(name);
}

void TestCatalogue::service(const std::wstring& package, const std::wstring& component, const std::wstring& service,
                            const wchar_t* group)
{
    const std::wstring key = packagesKey() + L"\\" + package + L"\\" + component + L"\\services\\" + service;
    if (group)
        testreg::setString(key, L"Group", group);
    else
        testreg::createKey(key);
}

std::vector<std::wstring> TestCatalogue::foreignPackages() const
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, packagesKey().c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != 0)
        return names;
    wchar_t name[256];
    DWORD length = 256;
    for (DWORD index = 0; RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
         ++index, length = 256)
        if (std::find(packages_.begin(), packages_.end(), name) == packages_.end())
            names.emplace_back(name, length);
    RegCloseKey(key);
    return names;
}
