#pragma once
// Raw writes to HKEY_LOCAL_MACHINE in the 32-bit view (where the product reads its
// configuration), for values of any type and size, and owners that undo them.
#include <windows.h>

#include <string>
#include <vector>

namespace testreg {

// Creates the key when needed.
void setValue(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size);
inline void setString(const std::wstring& key, const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ)
{
    setValue(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}
inline void setDword(const std::wstring& key, const std::wstring& name, DWORD value)
{
    setValue(key, name, REG_DWORD, &value, sizeof(value));
}
void deleteValue(const std::wstring& key, const std::wstring& name);
// The key and everything below it; nothing happens when it is missing.
void deleteTree(const std::wstring& key);
void createKey(const std::wstring& key);
// Removes key when it holds neither values nor subkeys.
void deleteIfEmpty(const std::wstring& key);

// Puts one value back as it was (or removes it) when it goes out of scope; keys that
// did not exist before are removed again once they are empty.
class ScopedValue {
public:
    ScopedValue(std::wstring key, std::wstring name);
    ~ScopedValue();
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

    void setDword(DWORD value) const { testreg::setDword(key_, name_, value); }
    void setString(const std::wstring& text) const { testreg::setString(key_, name_, text); }
    void remove() const { testreg::deleteValue(key_, name_); }

private:
    std::wstring key_, name_;
    DWORD type_ = REG_NONE; // ~0u when there was no value
    std::vector<BYTE> saved_;
    std::vector<std::wstring> created_; // the keys this object's writes may create, innermost first
};

}
