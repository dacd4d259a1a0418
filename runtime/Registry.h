#pragma once

#include "runtime/Handle.h"

#include <windows.h>

#include <string>
#include <vector>

// The system's only access to the registry: a scoped key for a short series of reads or
// writes, and static reads that open a key, read one value and close it again.
//
// Lookups return the platform's code (2 for a missing key or value) and leave their output
// untouched unless they return 0; a value of the wrong type or size raises a vexception
// naming the value. The view selector of the static operations: 1 = 32-bit view,
// 2 or 3 = 64-bit view, anything else = the caller's own view.
class registry {
public:
    // Opens (openOnly) or creates subKey below parent; failures raise.
    registry(HKEY parent, const std::wstring& subKey, REGSAM access, bool openOnly);
    ~registry();
    registry(const registry&) = delete;
    registry& operator=(const registry&) = delete;

    // A REG_SZ or REG_EXPAND_SZ value, up to its first NUL.
    LSTATUS lookup(const std::wstring& valueName, std::wstring& value) const;
    // A REG_DWORD value of exactly 4 bytes; a longer REG_DWORD gives ERROR_MORE_DATA, any
    // other type raises whatever its length.
    LSTATUS lookup(const std::wstring& valueName, DWORD& value) const;
    // The REG_DWORD value, or defaultValue on any failure.
    DWORD dwordValue(const std::wstring& valueName, DWORD defaultValue) const noexcept;

    // REG_SZ including its terminating NUL.
    void set(const std::wstring& valueName, const std::wstring& value);
    void set(const std::wstring& valueName, DWORD value);

    // Appends every subkey name; returns the code that ended the enumeration
    // (ERROR_NO_MORE_ITEMS when all were read).
    LSTATUS subKeys(std::vector<std::wstring>& names) const;

    static LSTATUS create(HKEY parent, const std::wstring& subKey, HKEY& key, REGSAM access);
    static LSTATUS open(HKEY parent, const std::wstring& subKey, HKEY& key, REGSAM access);
    static void close(HKEY key) noexcept;

    // REG_SZ and REG_EXPAND_SZ stand in for each other; any other type than the expected
    // one raises.
    static LSTATUS lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::wstring& value,
                          DWORD expectedType, DWORD view);
    static LSTATUS lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD& value,
                          DWORD view);
    // A REG_SZ (or REG_EXPAND_SZ) value; raises with the platform's code when it cannot be read.
    static std::wstring getstr(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD view);
    static bool keyExists(HKEY root, const std::wstring& subKey, DWORD view) noexcept;
    static bool valueExists(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD view) noexcept;
    // Appends every subkey name; returns the open's code, else the code of closing the key.
    static LSTATUS subKeys(HKEY root, const std::wstring& subKey, std::vector<std::wstring>& names, DWORD view);

    // The access flag that selects the view.
    static REGSAM viewFlag(DWORD view) noexcept;

private:
    UniqueRegKey key_;
};
