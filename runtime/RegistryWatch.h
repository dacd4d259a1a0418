#pragma once
// Whether a registry key may have changed since the last look, from the registry's own change
// notification: what was read from it can be kept until then.
#include "runtime/Handle.h"

#include <windows.h>

#include <string>

class RegistryWatch {
public:
    // path below HKEY_LOCAL_MACHINE, opened with access (KEY_NOTIFY and a view flag); subtree
    // also watches the keys below it; filter is RegNotifyChangeKeyValue's.
    RegistryWatch(std::wstring path, REGSAM access, bool subtree, DWORD filter);

    // True on the first call, after a change, and on every call while the key cannot be watched
    // (missing, say): then the caller reads afresh each time. The watch is renewed before true
    // is returned, so a change made while the caller reads is told by the next call. The owner
    // serialises the calls.
    bool changed() noexcept;

private:
    void watch() noexcept;

    std::wstring path_;
    REGSAM access_;
    bool subtree_;
    DWORD filter_;
    UniqueRegKey key_;
    UniqueHandle event_;
};
