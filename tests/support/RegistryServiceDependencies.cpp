#include "support/RegistryServiceDependencies.h"

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

int g_configCalls = 0;
int g_enumCalls = 0;
// Which service each handle opened through the library stands for. A closed handle's value
// may come back for another service; the next open overwrites the entry.
std::map<SC_HANDLE, std::wstring> g_handleNames;

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

std::wstring lower(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::vector<std::wstring> readMultiString(HKEY key, const wchar_t* value)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return {};
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> names;
    for (const wchar_t* entry = data.data(); *entry; entry += wcslen(entry) + 1)
        names.emplace_back(entry);
    return names;
}

// DependOnService, then the groups of DependOnGroup with their "+" prefix.
std::vector<std::wstring> dependenciesOf(const std::wstring& name)
{
    HKEY key = nullptr;
    const std::wstring path = std::wstring(kServicesKey) + L"\\" + name;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> names = readMultiString(key, L"DependOnService");
    for (const std::wstring& group : readMultiString(key, L"DependOnGroup"))
        names.push_back(SC_GROUP_IDENTIFIERW + group);
    RegCloseKey(key);
    return names;
}

std::vector<std::wstring> allServiceKeys()
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = ARRAYSIZE(name);
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

struct Dependent {
    std::wstring name;
    std::wstring displayName;
    SERVICE_STATUS status = {};
};

// Reads status and display name through a connection of its own, as the manager knows them.
bool describe(SC_HANDLE manager, Dependent& dependent)
{
    SC_HANDLE service = OpenServiceW(manager, dependent.name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service)
        return false;
    bool ok = QueryServiceStatus(service, &dependent.status) != FALSE;
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> config(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* data = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    if (ok && QueryServiceConfigW(service, data, static_cast<DWORD>(config.size()), &needed) && data->lpDisplayName)
        dependent.displayName = data->lpDisplayName;
    CloseServiceHandle(service);
    return ok;
}

// Every service that depends on name, directly or not, each after its own dependents.
void collectDependents(const std::wstring& name, const std::vector<std::wstring>& keys,
                       std::set<std::wstring>& seen, std::vector<std::wstring>& order)
{
    for (const std::wstring& candidate : keys) {
        if (seen.count(lower(candidate)))
            continue;
        for (const std::wstring& dependency : dependenciesOf(candidate)) {
            if (lower(dependency) != lower(name))
                continue;
            seen.insert(lower(candidate));
            collectDependents(candidate, keys, seen, order);
            order.push_back(candidate);
            break;
        }
    }
}

bool inState(const SERVICE_STATUS& status, DWORD state)
{
    const bool stopped = status.dwCurrentState == SERVICE_STOPPED;
    return state == SERVICE_STATE_ALL || (state == SERVICE_INACTIVE && stopped) || (state == SERVICE_ACTIVE && !stopped);
}

DWORD stringBytes(const std::wstring& text)
{
    return static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
}

wchar_t* copyString(BYTE*& cursor, const std::wstring& text)
{
    auto* target = reinterpret_cast<wchar_t*>(cursor);
    memcpy(target, text.c_str(), stringBytes(text));
    cursor += stringBytes(text);
    return target;
}

SC_HANDLE WINAPI openServiceRecordingName(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    SC_HANDLE service = OpenServiceW(manager, name, access);
    if (service)
        g_handleNames[service] = name;
    return service;
}

BOOL WINAPI registryQueryServiceConfig(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size,
                                       LPDWORD needed)
{
    ++g_configCalls;
    DWORD realSize = 0;
    if (!QueryServiceConfigW(service, nullptr, 0, &realSize) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return FALSE;
    std::vector<BYTE> realBuffer(realSize);
    auto* real = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(realBuffer.data());
    if (!QueryServiceConfigW(service, real, realSize, &realSize))
        return FALSE;

    const auto name = g_handleNames.find(service);
    const std::vector<std::wstring> dependencies =
        name == g_handleNames.end() ? std::vector<std::wstring>{} : dependenciesOf(name->second);
    std::wstring dependencyList;
    for (const std::wstring& dependency : dependencies)
        dependencyList += dependency + L'\0';
    // dependencyList plus its terminator ends in the empty name that closes the list.

    const std::wstring fields[] = {
        real->lpBinaryPathName ? real->lpBinaryPathName : L"",
        real->lpLoadOrderGroup ? real->lpLoadOrderGroup : L"",
        dependencyList,
        real->lpServiceStartName ? real->lpServiceStartName : L"",
        real->lpDisplayName ? real->lpDisplayName : L"",
    };
    DWORD total = sizeof(QUERY_SERVICE_CONFIGW);
    for (const std::wstring& field : fields)
        total += stringBytes(field);
    *needed = total;
    if (!config || size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    *config = *real;
    BYTE* cursor = reinterpret_cast<BYTE*>(config) + sizeof(QUERY_SERVICE_CONFIGW);
    config->lpBinaryPathName = copyString(cursor, fields[0]);
    config->lpLoadOrderGroup = copyString(cursor, fields[1]);
    config->lpDependencies = copyString(cursor, fields[2]);
    config->lpServiceStartName = copyString(cursor, fields[3]);
    config->lpDisplayName = copyString(cursor, fields[4]);
    return TRUE;
}

BOOL WINAPI registryEnumDependentServices(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW services,
                                          DWORD size, LPDWORD needed, LPDWORD returned)
{
    ++g_enumCalls;
    *returned = 0;
    const auto name = g_handleNames.find(service);
    if (name == g_handleNames.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::set<std::wstring> seen = {lower(name->second)};
    std::vector<std::wstring> order;
    collectDependents(name->second, allServiceKeys(), seen, order);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return FALSE;
    std::vector<Dependent> listed;
    for (const std::wstring& dependentName : order) {
        Dependent dependent;
        dependent.name = dependentName;
        if (describe(manager, dependent) && inState(dependent.status, state))
            listed.push_back(dependent);
    }
    CloseServiceHandle(manager);

    DWORD total = 0;
    for (const Dependent& dependent : listed)
        total += sizeof(ENUM_SERVICE_STATUSW) + stringBytes(dependent.name) + stringBytes(dependent.displayName);
    *needed = total;
    if (size < total) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    BYTE* cursor = reinterpret_cast<BYTE*>(services) + listed.size() * sizeof(ENUM_SERVICE_STATUSW);
    for (size_t i = 0; i < listed.size(); ++i) {
        services[i].lpServiceName = copyString(cursor, listed[i].name);
        services[i].lpDisplayName = copyString(cursor, listed[i].displayName);
        services[i].ServiceStatus = listed[i].status;
    }
    *returned = static_cast<DWORD>(listed.size());
    return TRUE;
}

} // namespace

RegistryServiceDependencies::RegistryServiceDependencies() : saved_(service::serviceApi())
{
    g_configCalls = 0;
    g_enumCalls = 0;
    g_handleNames.clear();
    service::ServiceApi& api = service::serviceApi();
    api.openService = &openServiceRecordingName;
    api.queryServiceConfig = &registryQueryServiceConfig;
    api.enumDependentServices = &registryEnumDependentServices;
}

RegistryServiceDependencies::~RegistryServiceDependencies()
{
    service::serviceApi() = saved_;
    g_handleNames.clear();
}

int RegistryServiceDependencies::configCalls()
{
    return g_configCalls;
}

int RegistryServiceDependencies::enumCalls()
{
    return g_enumCalls;
}
