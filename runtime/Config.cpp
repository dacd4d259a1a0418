#include "runtime/Config.h"

#include "runtime/Guard.h"
#include "runtime/LogConfig.h"
#include "runtime/Registry.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cwctype>
#include <string>

namespace {

bool isUntracedModule()
{
    std::wstring name = moduleFileName();
    std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    return name == L"tarvorepairmodule.dll" || name == L"tarvourlprotection.dll";
}

bool readTracingSwitch()
{
    if (isUntracedModule())
        return false;
    try {
        registry config(HKEY_LOCAL_MACHINE, CONFIG_ROOT_KEY, KEY_READ | registry::viewFlag(CONFIG_VIEW), true);
        return config.dwordValue(L"opentracing_enabled", 0) != 0;
    } catch (const vexception&) {
        // Without a configuration there is no switch; every guarded operation asks this,
        // so it must not fail.
        return false;
    }
}

} // namespace

unsigned getMySQLConnectionTimeout()
{
    return guarded(
        {"getMySQLConnectionTimeout", __LINE__},
        [] {
            DWORD seconds = 120;
            registry::lookup(HKEY_LOCAL_MACHINE, CONFIG_ROOT_KEY, L"MySQLConnectionTimeout", seconds, CONFIG_VIEW);
            return static_cast<unsigned>(std::max<DWORD>(seconds, 60));
        },
        L"Unable to call getMySQLConnectionTimeout()");
}

int getPipeConnectTryCount(int defaultCount)
{
    // No lock by design: a lost increment only shifts the next re-read.
    static std::atomic<unsigned> calls{0};
    static std::atomic<DWORD> cached{0};
    static std::atomic<bool> mayRead{true};

    if (mayRead.load(std::memory_order_relaxed) && calls.fetch_add(1, std::memory_order_relaxed) % 16 == 0) {
        DWORD count = cached.load(std::memory_order_relaxed);
        try {
            registry::lookup(HKEY_LOCAL_MACHINE, CONFIG_ROOT_KEY, L"PipeConnectTryCount", count, CONFIG_VIEW);
            cached.store(count, std::memory_order_relaxed);
        } catch (const vexception&) {
            mayRead.store(false, std::memory_order_relaxed);
        }
    }
    const DWORD count = cached.load(std::memory_order_relaxed);
    if (count == 0)
        return defaultCount;
    // A count beyond the signed range would read as negative: no attempt at all.
    return static_cast<int>(std::min<DWORD>(count, INT_MAX));
}

bool isTracingEnabled()
{
    static const bool enabled = readTracingSwitch();
    return enabled;
}

bool isFullInstallation()
{
    return registry::valueExists(HKEY_LOCAL_MACHINE, INSTALLER_KEY, INSTALLER_MARKER, CONFIG_VIEW);
}

bool serviceStopBalloonsEnabled()
{
    DWORD enabled = 1;
    try {
        registry::lookup(HKEY_LOCAL_MACHINE, CONFIG_ROOT_KEY, L"ServiceStopBalloons", enabled, CONFIG_VIEW);
    } catch (const vexception&) {
        // A value of the wrong type: a warning that is not shown is worse than one too many.
    }
    return enabled != 0;
}
