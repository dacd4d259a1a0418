#include "runtime/Registry.h"

#include "runtime/Exception.h"

#include <cwchar>

namespace {

// A string value read with any type allowed; the caller checks the type.
struct StringRead {
    LSTATUS status;
    DWORD type;
    std::wstring text;
};

StringRead readString(HKEY key, const std::wstring& valueName)
{
    StringRead read{ERROR_SUCCESS, REG_NONE, {}};
    DWORD size = 0;
    read.status = RegGetValueW(key, nullptr, valueName.c_str(), RRF_RT_ANY, nullptr, nullptr, &size);
    if (read.status != ERROR_SUCCESS)
        return read;
    // Two spare characters keep the text terminated whatever the value holds.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    read.status = RegGetValueW(key, nullptr, valueName.c_str(), RRF_RT_ANY, &read.type, buffer.data(), &size);
    if (read.status == ERROR_SUCCESS)
        read.text.assign(buffer.data(), wcsnlen(buffer.data(), size / sizeof(wchar_t)));
    return read;
}

bool isStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

struct DwordRead {
    LSTATUS status;
    DWORD type;
    DWORD size;
    DWORD data;
};

// A buffer of exactly 4 bytes, so a larger value fails with ERROR_MORE_DATA.
DwordRead readDword(HKEY key, const std::wstring& valueName) noexcept
{
    DwordRead read{ERROR_SUCCESS, REG_NONE, sizeof(DWORD), 0};
    read.status = RegQueryValueExW(key, valueName.c_str(), nullptr, &read.type, reinterpret_cast<BYTE*>(&read.data),
                                   &read.size);
    return read;
}

// what names the value in the messages: the value name, or subkey + "\" + value name.
// The type is checked whenever the query reports it, so that a longer value of another
// type (a string, say) is reported instead of passing for a missing one.
LSTATUS acceptDword(const DwordRead& read, const std::wstring& what, DWORD& value)
{
    if (read.status != ERROR_SUCCESS && read.status != ERROR_MORE_DATA)
        return read.status;
    if (read.type != REG_DWORD)
        throw vexception(L"RegQueryValueEx invalid type of '" + what + L"'", {L"", "registry::lookup", __LINE__});
    if (read.status != ERROR_SUCCESS)
        return read.status;
    if (read.size != sizeof(DWORD))
        throw vexception(L"RegQueryValueEx invalid size of '" + what + L"'", {L"", "registry::lookup", __LINE__});
    value = read.data;
    return ERROR_SUCCESS;
}

LSTATUS enumerateSubKeys(HKEY key, std::vector<std::wstring>& names)
{
    // Key names are at most 255 characters.
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(std::size(name));
        const LSTATUS status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            return status;
        names.emplace_back(name, length);
    }
}

LSTATUS openForView(HKEY root, const std::wstring& subKey, REGSAM access, DWORD view, UniqueRegKey& key) noexcept
{
    HKEY handle = nullptr;
    const LSTATUS status = RegOpenKeyExW(root, subKey.c_str(), 0, access | registry::viewFlag(view), &handle);
    if (status == ERROR_SUCCESS)
        key.reset(handle);
    return status;
}

} // namespace

registry::registry(HKEY parent, const std::wstring& subKey, REGSAM access, bool openOnly)
{
    HKEY handle = nullptr;
    if (openOnly)
        open(parent, subKey, handle, access);
    else
        create(parent, subKey, handle, access);
    key_.reset(handle);
}

registry::~registry()
{
    close(key_.release());
}

LSTATUS registry::lookup(const std::wstring& valueName, std::wstring& value) const
{
    StringRead read = readString(key_.get(), valueName);
    if (read.status != ERROR_SUCCESS)
        return read.status;
    if (!isStringType(read.type))
        throw vexception(L"RegGetValue invalid type of '" + valueName + L"'", WL_CONTEXT());
    value = std::move(read.text);
    return ERROR_SUCCESS;
}

LSTATUS registry::lookup(const std::wstring& valueName, DWORD& value) const
{
    return acceptDword(readDword(key_.get(), valueName), valueName, value);
}

DWORD registry::dwordValue(const std::wstring& valueName, DWORD defaultValue) const noexcept
{
    const DwordRead read = readDword(key_.get(), valueName);
    if (read.status != ERROR_SUCCESS || read.type != REG_DWORD || read.size != sizeof(DWORD))
        return defaultValue;
    return read.data;
}

void registry::set(const std::wstring& valueName, const std::wstring& value)
{
    const LSTATUS status =
        RegSetValueExW(key_.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR((L"RegSetValueEx valueName=" + valueName).c_str(), status);
}

void registry::set(const std::wstring& valueName, DWORD value)
{
    const LSTATUS status = RegSetValueExW(key_.get(), valueName.c_str(), 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&value), sizeof(value));
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR((L"RegSetValueEx valueName=" + valueName).c_str(), status);
}

LSTATUS registry::subKeys(std::vector<std::wstring>& names) const
{
    return enumerateSubKeys(key_.get(), names);
}

LSTATUS registry::create(HKEY parent, const std::wstring& subKey, HKEY& key, REGSAM access)
{
    const LSTATUS status =
        RegCreateKeyExW(parent, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR((L"RegCreateKeyEx subKey=" + subKey).c_str(), status);
    return ERROR_SUCCESS;
}

LSTATUS registry::open(HKEY parent, const std::wstring& subKey, HKEY& key, REGSAM access)
{
    const LSTATUS status = RegOpenKeyExW(parent, subKey.c_str(), 0, access, &key);
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR((L"RegOpenKeyEx subKey=" + subKey).c_str(), status);
    return ERROR_SUCCESS;
}

void registry::close(HKEY key) noexcept
{
    if (key)
        RegCloseKey(key);
}

LSTATUS registry::lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::wstring& value,
                         DWORD expectedType, DWORD view)
{
    StringRead read{};
    {
        UniqueRegKey key;
        const LSTATUS status = openForView(root, subKey, KEY_QUERY_VALUE, view, key);
        if (status != ERROR_SUCCESS)
            return status;
        read = readString(key.get(), valueName);
    }
    if (read.status != ERROR_SUCCESS)
        return read.status;
    const bool accepted = read.type == expectedType || (isStringType(expectedType) && isStringType(read.type));
    if (!accepted)
        throw vexception(L"RegGetValue invalid type of '" + subKey + L"\\" + valueName + L"'", WL_CONTEXT());
    value = std::move(read.text);
    return ERROR_SUCCESS;
}

LSTATUS registry::lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD& value,
                         DWORD view)
{
    DwordRead read{};
    {
        UniqueRegKey key;
        const LSTATUS status = openForView(root, subKey, KEY_QUERY_VALUE, view, key);
        if (status != ERROR_SUCCESS)
            return status;
        read = readDword(key.get(), valueName);
    }
    return acceptDword(read, subKey + L"\\" + valueName, value);
}

std::wstring registry::getstr(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD view)
{
    std::wstring value;
    const LSTATUS status = lookup(root, subKey, valueName, value, REG_SZ, view);
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR((L"lookup subKey=" + subKey + L" value=" + valueName).c_str(), status);
    return value;
}

bool registry::keyExists(HKEY root, const std::wstring& subKey, DWORD view) noexcept
{
    UniqueRegKey key;
    return openForView(root, subKey, READ_CONTROL, view, key) == ERROR_SUCCESS;
}

bool registry::valueExists(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD view) noexcept
{
    UniqueRegKey key;
    if (openForView(root, subKey, KEY_QUERY_VALUE, view, key) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExW(key.get(), valueName.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

LSTATUS registry::subKeys(HKEY root, const std::wstring& subKey, std::vector<std::wstring>& names, DWORD view)
{
    UniqueRegKey key;
    const LSTATUS status = openForView(root, subKey, KEY_ENUMERATE_SUB_KEYS, view, key);
    if (status != ERROR_SUCCESS)
        return status;
    enumerateSubKeys(key.get(), names);
    return RegCloseKey(key.release());
}

REGSAM registry::viewFlag(DWORD view) noexcept
{
    switch (view) {
    case 1:
        return KEY_WOW64_32KEY;
    case 2:
    case 3:
        return KEY_WOW64_64KEY;
    default:
        return 0;
    }
}
