#include "support/TestCatalogue.h"

#include "runtime/Config.h"
#include "runtime/Registry.h"
#include "support/RegistryValues.h"

#include <algorithm>

// The path to the catalogue, outermost first.
static const std::wstring catalogueKeys[] = {L"SOFTWARE\\Tarvo", L"SOFTWARE\\Tarvo\\KZO Config", CONFIG_ROOT_KEY,
                                              std::wstring(CONFIG_ROOT_KEY) + L"\\Packages"};

TestCatalogue::TestCatalogue()
{
    for (size_t index = 0; index < std::size(catalogueKeys); ++index)
        keysBefore_[index] = registry::keyExists(HKEY_LOCAL_MACHINE, catalogueKeys[index], CONFIG_VIEW);
    testreg::createKey(packagesKey());
}

TestCatalogue::~TestCatalogue()
{
    for (const std::wstring& name : packages_)
        testreg::deleteTree(packagesKey() + L"\\" + name);
    for (size_t index = std::size(catalogueKeys); index-- > 0;)
        keysBefore_[index] ? testreg::createKey(catalogueKeys[index]) : testreg::deleteIfEmpty(catalogueKeys[index]);
}

std::wstring TestCatalogue::packagesKey()
{
    return catalogueKeys[3];
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
    group ? testreg::setString(key, L"Group", group) : testreg::createKey(key);
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
