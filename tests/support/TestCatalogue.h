#pragma once
// Packages of the panel's catalogue (HKLM "SOFTWARE\Tarvo\KZO Config\Config\Packages",
// 32-bit view) made for one test and removed with the object, together with every key of the
// path to the catalogue that did not exist before.
#include <windows.h>

#include <array>
#include <string>
#include <vector>

class TestCatalogue {
public:
    // Makes sure the Packages key exists.
    TestCatalogue();
    ~TestCatalogue();
    TestCatalogue(const TestCatalogue&) = delete;
    TestCatalogue& operator=(const TestCatalogue&) = delete;

    static std::wstring packagesKey();

    // A package whose default value names component (empty: the package lists nothing).
    void package(const std::wstring& name, const std::wstring& component);
    // A service entry, with a "Group" value unless group is null.
    void service(const std::wstring& package, const std::wstring& component, const std::wstring& service,
                 const wchar_t* group = nullptr);

    // Packages present that this object did not make (left by someone else).
    std::vector<std::wstring> foreignPackages() const;

private:
    std::vector<std::wstring> packages_;
    std::array<bool, 4> keysBefore_{};
};
