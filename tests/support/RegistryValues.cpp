#include "support/RegistryValues.h"

#include <gtest/gtest.h>

namespace testreg {

namespace {

constexpr REGSAM VIEW = KEY_WOW64_32KEY;

HKEY create(const std::wstring& key)
{
    HKEY handle = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | VIEW,
                                           nullptr, &handle, nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS) << "creating " << std::string(key.begin(), key.end());
    return handle;
}

bool isEmptyKey(const std::wstring& key)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | VIEW, &handle) != ERROR_SUCCESS)
        return false;
    DWORD subKeys = 0;
    DWORD values = 0;
    const LSTATUS status = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS && subKeys == 0 && values == 0;
}

// The outermost of key and its parents that does not exist yet; empty when key exists.
std::wstring outermostMissing(const std::wstring& key)
{
    std::wstring missing;
    for (std::wstring path = key; !path.empty() && !keyExists(path);) {
        missing = path;
        const auto separator = path.find_last_of(L'\\');
        path = separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
    }
    return missing;
}

} // namespace

void setValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size)
{
    const HKEY handle = create(key);
    EXPECT_EQ(RegSetValueExW(handle, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(handle);
}

void setString(const std::wstring& key, const std::wstring& name, const std::wstring& text, DWORD type)
{
    setValue(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void setDword(const std::wstring& key, const std::wstring& name, DWORD value)
{
    setValue(key, name, REG_DWORD, &value, sizeof(value));
}

void deleteValue(const std::wstring& key, const std::wstring& name)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE | VIEW, &handle) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(handle, name.c_str());
    RegCloseKey(handle);
}

void deleteTree(const std::wstring& key)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS | VIEW, &handle) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(handle, nullptr);
    RegCloseKey(handle);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), VIEW, 0);
}

void createKey(const std::wstring& key)
{
    RegCloseKey(create(key));
}

void deleteIfEmpty(const std::wstring& key)
{
    if (isEmptyKey(key))
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), VIEW, 0);
}

bool keyExists(const std::wstring& key)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | VIEW, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

std::optional<RawValue> readValue(const std::wstring& key, const std::wstring& name)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | VIEW, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<RawValue> value;
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        value = RawValue{type, std::vector<BYTE>(size)};
        if (RegQueryValueExW(handle, name.c_str(), nullptr, &type, value->data.data(), &size) != ERROR_SUCCESS)
            value.reset();
    }
    RegCloseKey(handle);
    return value;
}

ScopedValue::ScopedValue(std::wstring key, std::wstring name)
    : key_(std::move(key)), name_(std::move(name)), saved_(readValue(key_, name_)), firstCreated_(outermostMissing(key_))
{
}

ScopedValue::~ScopedValue()
{
    if (saved_)
        setValue(key_, name_, saved_->type, saved_->data.data(), static_cast<DWORD>(saved_->data.size()));
    else
        deleteValue(key_, name_);
    if (firstCreated_.empty())
        return;
    for (std::wstring path = key_; path.size() >= firstCreated_.size() && isEmptyKey(path);
         path = path.substr(0, path.find_last_of(L'\\')))
        deleteIfEmpty(path);
}

}
