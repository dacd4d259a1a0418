// The package catalogue read from a real registry tree. Packages of other tests that happen
// to exist are left out of the comparisons.
#include "services/VPackage.h"

#include "runtime/Exception.h"
#include "support/Capture.h"
#include "support/RegistryValues.h"
#include "support/TestCatalogue.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Names = std::vector<std::wstring>;

TEST(Catalogue, ListsPackagesServicesAndGroupsAndSkipsOnlyTheFirewallRule)
{
    TestCatalogue catalogue;
    const Names foreign = catalogue.foreignPackages();
    ASSERT_EQ(0, std::count(foreign.begin(), foreign.end(), L"FireWall")) << "a firewall package is left over";
    const std::wstring s = L"_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring packages = TestCatalogue::packagesKey() + L"\\";
    catalogue.package(L"alpha" + s, L"core");
    catalogue.service(L"alpha" + s, L"core", L"svcB" + s, L"Mail Server");
    catalogue.service(L"alpha" + s, L"core", L"svcA" + s);
    catalogue.service(L"alpha" + s, L"WinFW", L"svcW" + s);
    catalogue.package(L"Beta" + s, L"");
    catalogue.package(L"FireWall", L"WinFW");
    catalogue.service(L"FireWall", L"WinFW", L"MpsSvc");
    catalogue.service(L"FireWall", L"other", L"fwextra" + s);
    catalogue.package(L"epsilon" + s, L"");
    testreg::setString(packages + L"epsilon" + s, L"", L"site", REG_EXPAND_SZ);
    testreg::setDword(packages + L"epsilon" + s + L"\\site\\services\\svcE" + s, L"Group", 1);
    catalogue.package(L"zeta" + s, L"");
    testreg::setDword(packages + L"zeta" + s, L"", 3);

    // In the registry's order: by name, ignoring case.
    Names listed;
    VPackage::getPackages(listed);
    listed.erase(std::remove_if(listed.begin(), listed.end(),
                                [&](const std::wstring& name) { return std::count(foreign.begin(), foreign.end(), name); }),
                 listed.end());
    EXPECT_EQ((Names{L"alpha" + s, L"Beta" + s, L"epsilon" + s, L"FireWall", L"zeta" + s}), listed);
    EXPECT_EQ(L"core", VPackage::getComponent(L"alpha" + s));
    EXPECT_EQ(L"site", VPackage::getComponent(L"epsilon" + s));
    EXPECT_EQ(L"", VPackage::getComponent(L"Beta" + s));
    EXPECT_EQ(L"", VPackage::getComponent(L"absent" + s));
    EXPECT_EQ(L"RegGetValue invalid type of '" + packages + L"zeta" + s + L"\\'",
              testbed::thrown([&] { VPackage::getComponent(L"zeta" + s); })->message());

    // Missing components and services keys list nothing, and raise nothing.
    const struct {
        std::wstring package, component;
        Names services;
    } cases[] = {
        {L"alpha" + s, L"core", {L"svcA" + s, L"svcB" + s}}, {L"alpha" + s, L"winfw", {L"svcW" + s}},
        {L"FireWall", L"WinFW", {}}, {L"FIREWALL", L"wInFw", {}}, {L"FireWall", L"other", {L"fwextra" + s}},
        {L"FireWall", L"absent", {}}, {L"absent" + s, L"core", {}},
    };
    for (const auto& c : cases) {
        Names services{L"kept"};
        VPackage::getServices(c.package, c.component, services);
        EXPECT_EQ(L"kept", services[0]);
        EXPECT_EQ(c.services, Names(services.begin() + 1, services.end())) << c.package << L"/" << c.component;
    }

    std::wstring group;
    EXPECT_EQ(0u, VPackage::getServiceValue(L"alpha" + s, L"core", L"svcB" + s, L"Group", group));
    EXPECT_EQ(L"Mail Server", group);
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), VPackage::getServiceValue(L"alpha" + s, L"core", L"svcA" + s, L"Group", group));
    EXPECT_EQ(L"Mail Server", group);
    EXPECT_EQ(L"RegGetValue invalid type of '" + packages + L"epsilon" + s + L"\\site\\services\\svcE" + s + L"\\Group'",
              testbed::thrown([&] { VPackage::getServiceValue(L"epsilon" + s, L"site", L"svcE" + s, L"Group", group); })
                  ->message());
}

TEST(Catalogue, MissingPackagesKeyRaisesTheOpenFailure)
{
    if (testreg::keyExists(TestCatalogue::packagesKey()))
        GTEST_SKIP() << "another test's catalogue exists";
    Names packages;
    const std::wstring text = testbed::thrown([&] { VPackage::getPackages(packages); })->message();
    EXPECT_NE(std::wstring::npos, text.find(L"(Error code 2) at RegOpenKeyEx subKey=" + TestCatalogue::packagesKey()));
    EXPECT_TRUE(packages.empty());
}

} // namespace
