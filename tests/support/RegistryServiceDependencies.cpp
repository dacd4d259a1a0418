#include "support/RegistryServiceDependencies.h"

#include "runtime/Handle.h"

#include <algorithm>
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

const std::wstring kServicesKey = L"SYSTEM\\CurrentControlSet\\Services";

std::wstring lower(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The entries of a REG_MULTI_SZ (or the one of a REG_SZ) value; none when it is missing.
std::vector<std::wstring> readStrings(const std::wstring& key, const wchar_t* value)
{
    DWORD size = 0;
    const DWORD flags = RRF_RT_REG_MULTI_SZ | RRF_RT_REG_SZ;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, flags, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, flags, nullptr, data.data(), &size) != ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> entries;
    for (const wchar_t* entry = data.data(); *entry; entry += wcslen(entry) + 1)
        entries.emplace_back(entry);
    return entries;
}

// DependOnService, then the groups of DependOnGroup with their "+" prefix.
std::vector<std::wstring> dependenciesOf(const std::wstring& name)
{
    const std::wstring key = kServicesKey + L"\\" + name;
    std::vector<std::wstring> names = readStrings(key, L"DependOnService");
    for (const std::wstring& group : readStrings(key, L"DependOnGroup"))
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
    for (DWORD i = 0, length = ARRAYSIZE(candidate);
         key && RegEnumKeyExW(key.get(), i, candidate, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = ARRAYSIZE(candidate))
        for (const std::wstring& dependency : dependenciesOf(candidate))
            if (lower(dependency) == lower(name) && seen.insert(lower(candidate)).second) {
                collectDependents(candidate, seen, order);
                order.emplace_back(candidate);
            }
}

// Fixed records of recordBytes followed by strings, as the manager fills a buffer. When it is
// too small, fails with tooSmall and the size needed; otherwise returns where each string went.
bool pack(void* buffer, DWORD size, LPDWORD needed, size_t recordBytes, const std::vector<std::wstring>& strings,
          DWORD tooSmall, std::vector<wchar_t*>& placed)
{
    size_t total = recordBytes;
    for (const std::wstring& text : strings)
        total += (text.size() + 1) * sizeof(wchar_t);
    *needed = static_cast<DWORD>(total);
    if (!buffer || size < total) {
        SetLastError(tooSmall);
        return false;
    }
    auto* cursor = reinterpret_cast<wchar_t*>(static_cast<BYTE*>(buffer) + recordBytes);
    for (const std::wstring& text : strings) {
        placed.push_back(cursor);
        cursor = std::copy(text.c_str(), text.c_str() + text.size() + 1, cursor);
    }
    return true;
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
    QueryServiceConfigW(service, nullptr, 0, &realSize);
    std::vector<BYTE> realBuffer(realSize + sizeof(QUERY_SERVICE_CONFIGW));
    auto* real = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(realBuffer.data());
    if (!QueryServiceConfigW(service, real, static_cast<DWORD>(realBuffer.size()), &realSize))
        return FALSE;
    // The list and its terminator end in the empty name that closes the list.
    std::wstring dependencyList;
    const auto name = g_handleNames.find(service);
    if (name != g_handleNames.end())
        for (const std::wstring& dependency : dependenciesOf(name->second))
            dependencyList += dependency + L'\0';
    const auto text = [](const wchar_t* field) { return std::wstring(field ? field : L""); };
    std::vector<wchar_t*> placed;
    if (!pack(config, size, needed, sizeof(QUERY_SERVICE_CONFIGW),
              {text(real->lpBinaryPathName), text(real->lpLoadOrderGroup), dependencyList,
               text(real->lpServiceStartName), text(real->lpDisplayName)},
              ERROR_INSUFFICIENT_BUFFER, placed))
        return FALSE;
    *config = *real;
    config->lpBinaryPathName = placed[0];
    config->lpLoadOrderGroup = placed[1];
    config->lpDependencies = placed[2];
    config->lpServiceStartName = placed[3];
    config->lpDisplayName = placed[4];
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
    collectDependents(name->second, seen, order);

    // Status as the manager knows it, through a connection of this query's own.
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    std::vector<SERVICE_STATUS> statuses;
    std::vector<std::wstring> strings; // name and display name of each
    for (const std::wstring& dependent : order) {
        const UniqueServiceHandle handle(OpenServiceW(manager.get(), dependent.c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        if (!handle || !QueryServiceStatus(handle.get(), &status))
            continue;
        const bool stopped = status.dwCurrentState == SERVICE_STOPPED;
        if (state == SERVICE_STATE_ALL || (state == SERVICE_INACTIVE) == stopped) {
            const std::vector<std::wstring> display = readStrings(kServicesKey + L"\\" + dependent, L"DisplayName");
            statuses.push_back(status);
            strings.push_back(dependent);
            strings.push_back(display.empty() ? L"" : display[0]);
        }
    }
    std::vector<wchar_t*> placed;
    if (!pack(services, size, needed, statuses.size() * sizeof(ENUM_SERVICE_STATUSW), strings, ERROR_MORE_DATA, placed))
        return FALSE;
    for (size_t i = 0; i < statuses.size(); ++i)
        services[i] = {placed[2 * i], placed[2 * i + 1], statuses[i]};
    *returned = static_cast<DWORD>(statuses.size());
    return TRUE;
}

} // namespace

RegistryServiceDependencies::RegistryServiceDependencies() : saved_(service::serviceApi())
{
    g_configCalls = g_enumCalls = 0;
    g_handleNames.clear();
    service::serviceApi().openService = &openServiceRecordingName;
    service::serviceApi().queryServiceConfig = &registryQueryServiceConfig;
    service::serviceApi().enumDependentServices = &registryEnumDependentServices;
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
