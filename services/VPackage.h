#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The panel's catalogue of installed packages and the Windows services of each, under
// the "Packages" subkey of the product configuration. Read only; names come back in the
// registry's enumeration order and are appended to the caller's lists.
class VPackage {
public:
    // Raises when the Packages key cannot be opened.
    static void getPackages(std::vector<std::wstring>& packages);
    // The package's installed component (its default value), "" when there is none.
    static std::wstring getComponent(const std::wstring& package);
    // Never raises: a failure is logged and the names appended so far stay.
    static void getServices(const std::wstring& package, const std::wstring& component,
                            std::vector<std::wstring>& services);
    // A string value of a service entry such as "Group"; value is set only when 0 is returned.
    static LSTATUS getServiceValue(const std::wstring& package, const std::wstring& component,
                                   const std::wstring& service, const std::wstring& valueName, std::wstring& value);
};
