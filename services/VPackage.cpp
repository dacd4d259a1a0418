#include "services/VPackage.h"

#include "runtime/Config.h"
#include "runtime/Guard.h"
#include "runtime/LogManager.h"
#include "runtime/Registry.h"

namespace {

std::wstring packagesKey()
{
    return std::wstring(CONFIG_ROOT_KEY) + L"\\Packages";
}

std::wstring servicesKey(const std::wstring& package, const std::wstring& component)
{
    return packagesKey() + L"\\" + package + L"\\" + component + L"\\services";
}

bool equalsIgnoringCase(const std::wstring& left, const wchar_t* right)
{
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right, -1, TRUE) == CSTR_EQUAL;
}

} // namespace

void VPackage::getPackages(std::vector<std::wstring>& packages)
{
    registry catalogue(HKEY_LOCAL_MACHINE, packagesKey(), KEY_READ | registry::viewFlag(CONFIG_VIEW), true);
    catalogue.subKeys(packages);
}

std::wstring VPackage::getComponent(const std::wstring& package)
{
    std::wstring component;
    registry::lookup(HKEY_LOCAL_MACHINE, packagesKey() + L"\\" + package, L"", component, REG_SZ, CONFIG_VIEW);
    return component;
}

void VPackage::getServices(const std::wstring& package, const std::wstring& component,
                           std::vector<std::wstring>& services)
{
    logGuarded(
        LOG_INFO, {"VPackage::getServices", __LINE__},
        [&] {
            if (equalsIgnoringCase(package, L"firewall") && equalsIgnoringCase(component, L"winfw"))
                return;
            registry::subKeys(HKEY_LOCAL_MACHINE, servicesKey(package, component), services, CONFIG_VIEW);
        },
        L"Unable to call getServices(%s, %s)", package, component);
}

LSTATUS VPackage::getServiceValue(const std::wstring& package, const std::wstring& component,
                                  const std::wstring& service, const std::wstring& valueName, std::wstring& value)
{
    return registry::lookup(HKEY_LOCAL_MACHINE, servicesKey(package, component) + L"\\" + service, valueName, value,
                            REG_SZ, CONFIG_VIEW);
}
