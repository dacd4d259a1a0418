// The package catalogue read from a real registry tree. Packages of other tests that happen
// to exist are left out of the comparisons.
#include "services/VPackage.h"

#include "runtime/Registry.h"
#include "support/Capture.h"
#include "support/RegistryValues.h"
#include "support/TestCatalogue.h"

#include <gtest/gtest.h>

#include <algorithm>

using Names = std::vector<std::wstring>;
using testbed::thrown;

TEST(Catalogue, ListsPackagesServicesAndGroupsAndSkipsOnlyTheFirewallRule)
{
    // Without a catalogue (unless another test has one) the open failure is raised, and nothing
    // listed, which the comparison of the listing below finds.
    Names listed;
    EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, TestCatalogue::packagesKey(), 1) ||
                testbed::thrownText([&] { VPackage::getPackages(listed); })
                        .find(L"(Error code 2) at RegOpenKeyEx subKey=" + TestCatalogue::packagesKey()) !=
                    std::wstring::npos);
    TestCatalogue catalogue;
    // A firewall package left over shows as one missing from the listing.
    const Names foreign = catalogue.foreignPackages();
    const std::wstring s = L"_" + std::to_wstring(GetCurrentProcessId()), alpha = L"alpha" + s, beta = L"Beta" + s;
    const std::wstring epsilon = L"epsilon" + s, zeta = L"zeta" + s, packages = TestCatalogue::packagesKey() + L"\\";
    catalogue.package(alpha, L"core");
    catalogue.service(alpha, L"core", L"svcB", L"Mail Server");
    catalogue.service(alpha, L"core", L"svcA");
    catalogue.service(alpha, L"WinFW", L"svcW");
    catalogue.package(beta, L"");
    catalogue.package(L"FireWall", L"WinFW");
    catalogue.service(L"FireWall", L"WinFW", L"MpsSvc");
    catalogue.service(L"FireWall", L"other", L"fwextra");
    catalogue.package(epsilon, L"");
    testreg::setString(packages + epsilon, L"", L"site", REG_EXPAND_SZ);
    testreg::setDword(packages + epsilon + L"\\site\\services\\svcE", L"Group", 1);
    catalogue.package(zeta, L"");
    testreg::setDword(packages + zeta, L"", 3);

    // In the registry's order: by name, ignoring case.
    VPackage::getPackages(listed);
    for (const std::wstring& name : foreign)
        listed.erase(std::remove(listed.begin(), listed.end(), name), listed.end());
    EXPECT_EQ((Names{alpha, beta, epsilon, L"FireWall", zeta}), listed);
    EXPECT_EQ(L"RegGetValue invalid type of '" + packages + zeta + L"\\'",
              thrown([&] { VPackage::getComponent(zeta); })->message());

    // The installed component; missing components and services keys list nothing, and raise nothing.
    // The firewall package's component unless given.
    const struct { std::wstring package, component; Names services; std::wstring installed = L"WinFW"; } cases[] = {
        {alpha, L"core", {L"svcA", L"svcB"}, L"core"}, {alpha, L"winfw", {L"svcW"}, L"core"}, {beta, L"core", {}, L""},
        {epsilon, L"site", {L"svcE"}, L"site"}, {L"FireWall", L"WinFW", {}}, {L"FIREWALL", L"wInFw", {}},
        {L"absent" + s, L"core", {}, L""}, {L"FireWall", L"other", {L"fwextra"}}, {L"FireWall", L"absent", {}},
    };
    for (const auto& c : cases) {
        Names services{L"kept"};
        VPackage::getServices(c.package, c.component, services);
        EXPECT_EQ(c.services, Names(services.begin() + 1, services.end())) << c.package << L"/" << c.component;
        EXPECT_TRUE(services[0] == L"kept" && VPackage::getComponent(c.package) == c.installed) << c.package;
    }

    std::wstring group;
    EXPECT_EQ(0u, VPackage::getServiceValue(alpha, L"core", L"svcB", L"Group", group));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), VPackage::getServiceValue(alpha, L"core", L"svcA", L"Group", group));
    EXPECT_EQ(L"Mail Server", group); // set by the first, left by the second
    EXPECT_EQ(L"RegGetValue invalid type of '" + packages + epsilon + L"\\site\\services\\svcE\\Group'",
              thrown([&] { VPackage::getServiceValue(epsilon, L"site", L"svcE", L"Group", group); })->message());
}
