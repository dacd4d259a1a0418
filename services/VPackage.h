#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the catalogue lists: each package that could be read, with its component and its
// services, and the "Group" value of each service once it has been read.
struct ListedService {
    std::wstring name;
    std::optional<std::wstring> group;
};
struct ListedPackage {
    std::wstring package, component;
    std::vector<ListedService> services;
};
using CatalogueListing = std::vector<ListedPackage>;

// The panel's catalogue of installed packages and the Windows services of each, under
// the "Packages" subkey of the product configuration. Read only; names come back in the
// registry's enumeration order and are appended to the caller's lists.
class VPackage {
public:
    // Raises when the Packages key cannot be opened.
    static void getPackages(std::vector<std::wstring>& packages);
    // The package's installed component (its default value), "" when there is none.
    static std::wstring getComponent(const std::wstring& package);
    // Never raises: a failure is logged, the names appended so far stay and false comes back.
    static bool getServices(const std::wstring& package, const std::wstring& component,
                            std::vector<std::wstring>& services);
    // A string value of a service entry such as "Group"; value is set only when 0 is returned.
    static LSTATUS getServiceValue(const std::wstring& package, const std::wstring& component,
                                   const std::wstring& service, const std::wstring& valueName, std::wstring& value);

    // The listing last kept, unless the catalogue may have changed since (a change anywhere
    // below the panel's configuration key), and the generation to keep a listing read now under. Reading the
    // catalogue costs a registry call or three per service; it rarely changes.
    static std::pair<std::optional<CatalogueListing>, unsigned> keptListing();
    // Keeps a listing that was read whole, unless the catalogue changed after generation.
    static void keepListing(CatalogueListing listing, unsigned generation);
};
