#include "support/RegistryServiceDependencies.h"

#include "runtime/Registry.h"

#include <algorithm>
#include <map>

// Which service each handle opened through the library stands for.
static std::map<SC_HANDLE, std::wstring> g_handleNames;
static const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";

// DependOnService, then DependOnGroup with the group prefix, each name ended by its NUL.
static std::wstring dependenciesOf(const std::wstring& name)
{
    std::wstring list;
    for (const wchar_t* value : {L"DependOnService", L"DependOnGroup"}) {
        wchar_t data[4096] = {}; // two NULs at its end whatever the value holds
        DWORD size = sizeof(data) - 2 * sizeof(wchar_t);
        RegGetValueW(HKEY_LOCAL_MACHINE, (kServices + name).c_str(), value, RRF_RT_REG_MULTI_SZ, nullptr, data, &size);
        for (const wchar_t* entry = data; *entry; entry += wcslen(entry) + 1)
            list += std::wstring(wcscmp(value, L"DependOnGroup") == 0, SC_GROUP_IDENTIFIERW) + entry + L'\0';
    }
    return list;
}

// Every service that depends on name, directly or not, each after its own dependents (the
// manager refuses circular dependencies).
static std::vector<std::wstring> dependentsOf(const std::wstring& name, std::vector<std::wstring> order = {})
{
    std::vector<std::wstring> services;
    registry::subKeys(HKEY_LOCAL_MACHINE, kServices, services, 0);
    const std::wstring wanted = L'\0' + name + L'\0';
    const auto sameLetter = [](wchar_t a, wchar_t b) { return towupper(a) == towupper(b); };
    for (const std::wstring& candidate : services) {
        const std::wstring list = L'\0' + dependenciesOf(candidate);
        if (std::search(list.begin(), list.end(), wanted.begin(), wanted.end(), sameLetter) != list.end() &&
            std::count(order.begin(), order.end(), candidate) == 0)
            order = dependentsOf(candidate, std::move(order)), order.push_back(candidate);
    }
    return order;
}

static SC_HANDLE WINAPI openRecordingName(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    const SC_HANDLE service = OpenServiceW(manager, name, access);
    return g_handleNames[service] = name, service;
}

// The manager's own answer in the front of the buffer, the dependency list at its end.
static BOOL WINAPI queryConfig(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed)
{
    const std::wstring list = dependenciesOf(g_handleNames[service]) + L'\0';
    const DWORD room = static_cast<DWORD>(list.size() * sizeof(wchar_t));
    if (!QueryServiceConfigW(service, size > room ? config : nullptr, size > room ? size - room : 0, needed))
        return *needed += room, FALSE;
    config->lpDependencies = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(config) + (size - room) / 2 * 2);
    std::copy(list.begin(), list.end(), config->lpDependencies);
    return TRUE;
}

// The records, then the name and display name of each.
static BOOL WINAPI enumDependents(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW services, DWORD size,
                                  LPDWORD needed, LPDWORD returned)
{
    // Status as the manager knows it, through a connection of this query's own.
    const UniqueServiceHandle manager(service::openManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    std::vector<std::pair<SERVICE_STATUS, std::wstring>> found; // with "name\0display name\0"
    *needed = *returned = 0;
    for (const std::wstring& dependent : dependentsOf(g_handleNames[service])) {
        SERVICE_STATUS status = {};
        std::wstring display;
        registry::lookup(HKEY_LOCAL_MACHINE, kServices + dependent, L"DisplayName", display, REG_SZ, 0);
        const UniqueServiceHandle handle(OpenServiceW(manager.get(), dependent.c_str(), SERVICE_QUERY_STATUS));
        if (QueryServiceStatus(handle.get(), &status) &&
            (state == SERVICE_STATE_ALL || (state == SERVICE_INACTIVE) == (status.dwCurrentState == SERVICE_STOPPED)))
            found.push_back({status, dependent + L'\0' + display + L'\0'});
    }
    for (const auto& entry : found)
        *needed += static_cast<DWORD>(sizeof(ENUM_SERVICE_STATUSW) + entry.second.size() * sizeof(wchar_t));
    if (!services || size < *needed)
        return SetLastError(ERROR_MORE_DATA), FALSE;
    auto* text = reinterpret_cast<wchar_t*>(services + found.size());
    for (const auto& [status, names] : found) {
        services[(*returned)++] = {text, text + names.find(L'\0') + 1, status};
        text = std::copy(names.begin(), names.end(), text);
    }
    return TRUE;
}

RegistryServiceDependencies::RegistryServiceDependencies() : saved_(service::serviceApi())
{
    service::serviceApi() = {saved_.getTickCount, saved_.sleepEx, &openRecordingName, &queryConfig, &enumDependents};
}

RegistryServiceDependencies::~RegistryServiceDependencies()
{
    service::serviceApi() = saved_;
}
