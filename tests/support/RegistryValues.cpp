#include "support/RegistryValues.h"

#include "runtime/LogConfig.h"
#include "runtime/Registry.h"

#include <gtest/gtest.h>

#include <atomic>

namespace testreg {

// The log takes up a change of the configuration at its next look for changes, within
// LogConfig::CHANGE_CHECK_MS; a write here moves the log's tick count on by that much, so
// that the test's next log call sees what it wrote.
static std::atomic<ULONGLONG> tickShift{0};
static ULONGLONG WINAPI shiftedTick() { return GetTickCount64() + tickShift; }
static void changeSeen()
{
    logClock().getTickCount64 = shiftedTick;
    tickShift += LogConfig::CHANGE_CHECK_MS;
}

static UniqueRegKey openKey(const std::wstring& key, REGSAM access, bool create = false)
{
    UniqueRegKey handle; // a failing creation raises, a failing opening leaves it empty
    create ? registry::create(HKEY_LOCAL_MACHINE, key, *handle.put(), access | KEY_WOW64_32KEY)
           : RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, access | KEY_WOW64_32KEY, handle.put());
    return handle;
}

void setValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size)
{
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(openKey(key, KEY_ALL_ACCESS, true).get(), name.c_str(), 0, type,
                                            static_cast<const BYTE*>(data), size));
    changeSeen();
}

void deleteValue(const std::wstring& key, const std::wstring& name)
{
    RegDeleteValueW(openKey(key, KEY_SET_VALUE).get(), name.c_str());
    changeSeen();
}

void deleteTree(const std::wstring& key)
{
    RegDeleteTreeW(openKey(key, KEY_ALL_ACCESS).get(), nullptr);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_32KEY, 0);
    changeSeen();
}

void createKey(const std::wstring& key)
{
    openKey(key, KEY_ALL_ACCESS, true);
}

void deleteIfEmpty(const std::wstring& key)
{
    DWORD subKeys = 1, values = 1;
    RegQueryInfoKeyW(openKey(key, KEY_QUERY_VALUE).get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                     &values, nullptr, nullptr, nullptr, nullptr);
    if (subKeys + values == 0)
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_32KEY, 0);
}

ScopedValue::ScopedValue(std::wstring key, std::wstring name) : key_(std::move(key)), name_(std::move(name))
{
    DWORD size = 0;
    RegQueryValueExW(openKey(key_, KEY_QUERY_VALUE).get(), name_.c_str(), nullptr, nullptr, nullptr, &size);
    saved_.resize(size);
    if (RegQueryValueExW(openKey(key_, KEY_QUERY_VALUE).get(), name_.c_str(), nullptr, &type_, saved_.data(), &size))
        type_ = ~0u;
    // Every key of the tests lies below one that exists (SOFTWARE, SYSTEM).
    for (std::wstring path = key_; !registry::keyExists(HKEY_LOCAL_MACHINE, path, 1); path.resize(path.rfind(L'\\')))
        created_.push_back(path);
}

ScopedValue::~ScopedValue()
{
    type_ != ~0u ? setValue(key_, name_, type_, saved_.data(), DWORD(saved_.size())) : deleteValue(key_, name_);
    for (const std::wstring& path : created_)
        deleteIfEmpty(path);
}

}
