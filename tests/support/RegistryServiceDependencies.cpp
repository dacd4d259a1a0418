#include "support/RegistryServiceDependencies.h"

#include "runtime/Handle.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Which service each handle opened through the library stands for.
std::map<SC_HANDLE, std::wstring> g_handleNames;

const std::wstring kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";

std::wstring lower(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The entries of a REG_MULTI_SZ (or the one of a REG_SZ) value; none when it is missing.
std::vector<std::wstring> readStrings(const std::wstring& name, const wchar_t* value)
{
    std::vector<wchar_t> data(4096, L'\0');
    DWORD size = static_cast<DWORD>(data.size() - 2) * sizeof(wchar_t);
    std::vector<std::wstring> entries;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, (kServicesKey + name).c_str(), value, RRF_RT_REG_MULTI_SZ | RRF_RT_REG_SZ,
                     nullptr, data.data(), &size) == ERROR_SUCCESS)
        for (const wchar_t* entry = data.data(); *entry; entry += wcslen(entry) + 1)
            entries.emplace_back(entry);
    return entries;
}

std::vector<std::wstring> dependenciesOf(const std::wstring& name)
{
    std::vector<std::wstring> names = readStrings(name, L"DependOnService");
    for (const std::wstring& group : readStrings(name, L"DependOnGroup"))
        names.push_back(SC_GROUP_IDENTIFIERW + group);
    return names;
}

// Every service that depends on name, directly or not, each after its own dependents.
void collectDependents(const std::wstring& name, std::set<std::wstring>& seen, std::vector<std::wstring>& order)
{
    HKEY raw = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey.c_str(), 0, KEY_READ, &raw);
    const UniqueRegKey key(raw);
    wchar_t candidate[256];
    for (DWORD i = 0, length = 256;
         key && RegEnumKeyExW(key.get(), i, candidate, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = 256)
        for (const std::wstring& dependency : dependenciesOf(candidate))
            if (lower(dependency) == lower(name) && seen.insert(lower(candidate)).second) {
                collectDependents(candidate, seen, order);
                order.emplace_back(candidate);
            }
}

SC_HANDLE WINAPI openServiceRecordingName(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    SC_HANDLE service = OpenServiceW(manager, name, access);
    if (service)
        g_handleNames[service] = name;
    return service;
}

// The manager's own answer in the front of the buffer, the dependency list at its end.
BOOL WINAPI registryQueryServiceConfig(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed)
{
    std::wstring list;
    for (const std::wstring& dependency : dependenciesOf(g_handleNames[service]))
        list += dependency + L'\0';
    list += L'\0';
    const DWORD room = static_cast<DWORD>(list.size() * sizeof(wchar_t));
    if (!QueryServiceConfigW(service, size > room ? config : nullptr, size > room ? size - room : 0, needed)) {
        *needed += room;
        return FALSE;
    }
    config->lpDependencies = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(config) + (size - room) / 2 * 2);
    std::copy(list.begin(), list.end(), config->lpDependencies);
    return TRUE;
}

BOOL WINAPI registryEnumDependentServices(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW services,
                                          DWORD size, LPDWORD needed, LPDWORD returned)
{
    const std::wstring name = g_handleNames[service];
    std::set<std::wstring> seen = {lower(name)};
    std::vector<std::wstring> order;
    collectDependents(name, seen, order);
    // Status as the manager knows it, through a connection of this query's own.
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    std::vector<ENUM_SERVICE_STATUSW> records;
    std::vector<std::wstring> strings; // name and display name of each
    for (const std::wstring& dependent : order) {
        const UniqueServiceHandle handle(OpenServiceW(manager.get(), dependent.c_str(), SERVICE_QUERY_STATUS));
        ENUM_SERVICE_STATUSW record = {};
        if (handle && QueryServiceStatus(handle.get(), &record.ServiceStatus) &&
            (state == SERVICE_STATE_ALL || (state == SERVICE_INACTIVE) == (record.ServiceStatus.dwCurrentState == SERVICE_STOPPED))) {
            const std::vector<std::wstring> display = readStrings(dependent, L"DisplayName");
            records.push_back(record);
            strings.push_back(dependent);
            strings.push_back(display.empty() ? L"" : display[0]);
        }
    }
    // The records, then their strings.
    *needed = static_cast<DWORD>(records.size() * sizeof(ENUM_SERVICE_STATUSW));
    for (const std::wstring& text : strings)
        *needed += static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    *returned = 0;
    if (!services || size < *needed) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    auto* cursor = reinterpret_cast<wchar_t*>(services + records.size());
    for (size_t i = 0; i < strings.size(); ++i) {
        (i % 2 ? records[i / 2].lpDisplayName : records[i / 2].lpServiceName) = cursor;
        cursor = std::copy(strings[i].c_str(), strings[i].c_str() + strings[i].size() + 1, cursor);
    }
    std::copy(records.begin(), records.end(), services);
    *returned = static_cast<DWORD>(records.size());
    return TRUE;
}

} // namespace

RegistryServiceDependencies::RegistryServiceDependencies() : saved_(service::serviceApi())
{
    g_handleNames.clear();
    service::serviceApi().openService = &openServiceRecordingName;
    service::serviceApi().queryServiceConfig = &registryQueryServiceConfig;
    service::serviceApi().enumDependentServices = &registryEnumDependentServices;
}

RegistryServiceDependencies::~RegistryServiceDependencies()
{
    service::serviceApi() = saved_;
}
