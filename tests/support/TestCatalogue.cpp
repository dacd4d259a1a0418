#include "support/TestCatalogue.h"

#include "runtime/Config.h"
#include "runtime/Registry.h"
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
    std::vector<std::wstring> names, foreign;
    registry::subKeys(HKEY_LOCAL_MACHINE, packagesKey(), names, CONFIG_VIEW);
    for (const std::wstring& name : names)
        if (std::find(packages_.begin(), packages_.end(), name) == packages_.end())
            foreign.push_back(name);
    return foreign;
}
