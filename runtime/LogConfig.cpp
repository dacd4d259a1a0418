#include "runtime/LogConfig.h"

#include "runtime/Exception.h"
#include "runtime/Handle.h"

namespace {

const wchar_t CONFIG_KEY[] = L"SOFTWARE\\Tarvo\\KZO Config\\Config";

LSTATUS openConfigKey(UniqueRegKey& key) noexcept
{
    HKEY handle = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, CONFIG_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &handle);
    if (status == ERROR_SUCCESS)
        key.reset(handle);
    return status;
}

} // namespace

bool readConfigDword(const wchar_t* name, DWORD& value) noexcept
{
    UniqueRegKey key;
    if (openConfigKey(key) != ERROR_SUCCESS)
        return false;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS)
        return false;
    value = data;
    return true;
}

std::wstring readProductRoot()
{
    UniqueRegKey key;
    LSTATUS status = openConfigKey(key);
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR(L"RegOpenKeyEx", status);
    std::wstring value;
    DWORD size = 0;
    for (;;) {
        status = RegGetValueW(key.get(), nullptr, L"PRODUCT_ROOT_D", RRF_RT_REG_SZ, nullptr,
                              value.empty() ? nullptr : value.data(), &size);
        if (status == ERROR_SUCCESS && !value.empty())
            break;
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            WL_THROW_OS_ERROR(L"RegGetValue", status);
        value.assign(size / sizeof(wchar_t) + 1, L'\0');
    }
    value.resize(size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    // An empty root would put the logs below whatever the current directory is.
    if (value.empty())
        throw vexception(L"PRODUCT_ROOT_D is empty", {L"", "readProductRoot", __LINE__});
    return value;
}

std::wstring modulePath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring moduleFileName()
{
    const std::wstring path = modulePath();
    return path.substr(path.find_last_of(L"\\/") + 1);
}
