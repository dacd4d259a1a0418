#include "services/VPackage.h"

#include "runtime/Config.h"
#include "runtime/Guard.h"
#include "runtime/LogManager.h"
#include "runtime/Registry.h"
#include "runtime/RegistryWatch.h"
#include "runtime/VMutex.h"

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

// The listing of the last whole read, dropped at the first look after a change. Any thread may
// call; the lock guards all.
class KeptListing {
public:
    static KeptListing& instance()
    {
        // Never destroyed: a worker may still ask while the process's statics are torn down.
        static KeptListing* const kept = new KeptListing;
        return *kept;
    }

    std::pair<std::optional<CatalogueListing>, unsigned> get()
    {
        const ExclusiveLock lock(lock_);
        if (watch_.changed()) {
            listing_.reset();
            ++generation_;
        }
        return {listing_, generation_};
    }

    void keep(CatalogueListing listing, unsigned generation)
    {
        const ExclusiveLock lock(lock_);
        // A change seen meanwhile by another look makes this read stale.
        if (generation == generation_)
            listing_ = std::move(listing);
    }

private:
    KeptListing() = default;

    SRWLOCK lock_ = SRWLOCK_INIT;
    // The configuration with everything below it: a watch of the Packages key itself would miss
    // its deletion and re-creation under Wine, which signals nothing for a deleted key.
    RegistryWatch watch_{CONFIG_ROOT_KEY, KEY_NOTIFY | registry::viewFlag(CONFIG_VIEW), true,
                         REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET};
    std::optional<CatalogueListing> listing_;
    unsigned generation_ = 0;
};

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

bool VPackage::getServices(const std::wstring& package, const std::wstring& component,
                           std::vector<std::wstring>& services)
{
    return logGuarded(
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

std::pair<std::optional<CatalogueListing>, unsigned> VPackage::keptListing()
{
    return KeptListing::instance().get();
}

void VPackage::keepListing(CatalogueListing listing, unsigned generation)
{
    KeptListing::instance().keep(std::move(listing), generation);
}
