#include "support/RegistryValues.h"

#include "runtime/Handle.h"

#include <gtest/gtest.h>

namespace testreg {

namespace {

UniqueRegKey openKey(const std::wstring& key, REGSAM access)
{
    UniqueRegKey handle;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, access | KEY_WOW64_32KEY, handle.put());
    return handle;
}

UniqueRegKey createdKey(const std::wstring& key)
{
    UniqueRegKey handle;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                             nullptr, handle.put(), nullptr)) << testing::PrintToString(key);
    return handle;
}

std::wstring parentOf(const std::wstring& key)
{
    const auto separator = key.find_last_of(L'\\');
    return separator == std::wstring::npos ? std::wstring() : key.substr(0, separator);
}

} // namespace

void setValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size)
{
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(createdKey(key).get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size));
}

void deleteValue(const std::wstring& key, const std::wstring& name)
{
    RegDeleteValueW(openKey(key, KEY_SET_VALUE).get(), name.c_str());
}

void deleteTree(const std::wstring& key)
{
    if (const UniqueRegKey handle = openKey(key, KEY_ALL_ACCESS))
        RegDeleteTreeW(handle.get(), nullptr);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_32KEY, 0);
}

void createKey(const std::wstring& key)
{
    createdKey(key);
}

void deleteIfEmpty(const std::wstring& key)
{
    DWORD subKeys = 1, values = 1;
    RegQueryInfoKeyW(openKey(key, KEY_QUERY_VALUE).get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                     nullptr, nullptr, nullptr, nullptr);
    if (subKeys + values == 0)
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_32KEY, 0);
}

bool keyExists(const std::wstring& key)
{
    return static_cast<bool>(openKey(key, KEY_QUERY_VALUE));
}

std::optional<RawValue> readValue(const std::wstring& key, const std::wstring& name)
{
    const UniqueRegKey handle = openKey(key, KEY_QUERY_VALUE);
    RawValue value;
    DWORD size = 0;
    if (RegQueryValueExW(handle.get(), name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    if (RegQueryValueExW(handle.get(), name.c_str(), nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

ScopedValue::ScopedValue(std::wstring key, std::wstring name)
    : key_(std::move(key)), name_(std::move(name)), saved_(readValue(key_, name_))
{
    for (std::wstring path = key_; !path.empty() && !keyExists(path); path = parentOf(path))
        firstCreated_ = path;
}

ScopedValue::~ScopedValue()
{
    if (saved_)
        setValue(key_, name_, saved_->type, saved_->data.data(), static_cast<DWORD>(saved_->data.size()));
    else
        deleteValue(key_, name_);
    for (std::wstring path = key_; !firstCreated_.empty() && path.size() >= firstCreated_.size(); path = parentOf(path))
        deleteIfEmpty(path);
}

}
