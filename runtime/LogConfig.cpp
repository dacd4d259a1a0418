#include "runtime/LogConfig.h"

#include "runtime/Exception.h"

namespace {

const wchar_t CONFIG_KEY[] = L"SOFTWARE\\Tarvo\\KZO Config\\Config";

LSTATUS openConfigKey(UniqueRegKey& key, REGSAM access) noexcept
{
    HKEY handle = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, CONFIG_KEY, 0, access | KEY_WOW64_32KEY, &handle);
    if (status == ERROR_SUCCESS)
        key.reset(handle);
    return status;
}

bool readConfigDword(const wchar_t* name, DWORD& value) noexcept
{
    UniqueRegKey key;
    if (openConfigKey(key, KEY_QUERY_VALUE) != ERROR_SUCCESS)
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
    LSTATUS status = openConfigKey(key, KEY_QUERY_VALUE);
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

} // namespace

LogClock& logClock()
{
    static LogClock clock{GetLocalTime, GetTickCount64};
    return clock;
}

LogConfig::LogConfig() : watch_(CONFIG_KEY, KEY_NOTIFY | KEY_WOW64_32KEY, false, REG_NOTIFY_CHANGE_LAST_SET) {}

LogConfig& LogConfig::instance()
{
    // Never destroyed: threads may still log while the process's statics are torn down.
    static LogConfig* const config = new LogConfig;
    return *config;
}

bool LogConfig::debug() noexcept
{
    checkForChange();
    return debug_.load(std::memory_order_relaxed);
}

bool LogConfig::readDword(const std::wstring& name, DWORD& value) noexcept
{
    checkForChange();
    try {
        const ExclusiveLock lock(lock_);
        auto found = dwords_.find(name);
        if (found == dwords_.end()) {
            DWORD read = 0;
            found = dwords_.emplace(name, readConfigDword(name.c_str(), read) ? std::optional<DWORD>(read)
                                                                               : std::nullopt).first;
        }
        if (!found->second)
            return false;
        value = *found->second;
        return true;
    } catch (...) {
        return false;
    }
}

std::wstring LogConfig::productRoot()
{
    checkForChange();
    const ExclusiveLock lock(lock_);
    // A failure is not kept: the next call reads again.
    if (productRoot_.empty())
        productRoot_ = readProductRoot();
    return productRoot_;
}

unsigned LogConfig::generation() noexcept
{
    checkForChange();
    return generation_.load(std::memory_order_acquire);
}

void LogConfig::checkForChange() noexcept
{
    const ULONGLONG now = logClock().getTickCount64();
    if (checked_.load(std::memory_order_acquire) && now - lastCheck_.load(std::memory_order_relaxed) < CHANGE_CHECK_MS)
        return;
    const ExclusiveLock lock(lock_);
    if (checked_ && now - lastCheck_ < CHANGE_CHECK_MS)
        return;
    lastCheck_ = now;
    checked_ = true;
    if (!watch_.changed())
        return;
    dwords_.clear();
    productRoot_.clear();
    DWORD debug = 0;
    if (readConfigDword(L"Debug", debug))
        debug_ = debug != 0;
    generation_.fetch_add(1, std::memory_order_release);
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
