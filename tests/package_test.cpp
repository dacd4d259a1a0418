// The package catalogue read from a real registry tree, walked as the service tree walks
// it. Packages of other tests that happen to exist are left out of the comparisons.
#include "services/VPackage.h"

#include "runtime/Config.h"
#include "runtime/Exception.h"
#include "runtime/Registry.h"
#include "support/RegistryValues.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

const std::wstring PACKAGES = std::wstring(CONFIG_ROOT_KEY) + L"\\Packages";
const std::wstring S = L"_" + std::to_wstring(GetCurrentProcessId());

std::vector<std::wstring> subKeysOf(const std::wstring& key)
{
    std::vector<std::wstring> names;
    registry::subKeys(HKEY_LOCAL_MACHINE, key, names, 1);
    return names;
}

class Catalogue : public ::testing::Test {
protected:
    void SetUp() override
    {
        keysBefore_ = {testreg::keyExists(L"SOFTWARE\\Tarvo"), testreg::keyExists(L"SOFTWARE\\Tarvo\\KZO Config"),
                       testreg::keyExists(CONFIG_ROOT_KEY), testreg::keyExists(PACKAGES)};
        foreign_ = subKeysOf(PACKAGES);
        ASSERT_EQ(std::count(foreign_.begin(), foreign_.end(), L"FireWall"), 0) << "a firewall package is left over";

        package(L"alpha" + S, L"core");
        service(L"alpha" + S, L"core", L"svcB" + S, L"Mail Server");
        service(L"alpha" + S, L"core", L"svcA" + S);
        service(L"alpha" + S, L"core", L"svcC" + S, L"");
        service(L"alpha" + S, L"core", L"svcD" + S, L"hidden", REG_EXPAND_SZ);
        service(L"alpha" + S, L"WinFW", L"svcW" + S);
        // An empty component hides whatever lies below the package.
        package(L"Beta" + S, L"");
        service(L"Beta" + S, L"web", L"svcX" + S);
        package(L"FireWall", L"WinFW");
        service(L"FireWall", L"WinFW", L"MpsSvc");
        service(L"FireWall", L"other", L"fwextra" + S);
        package(L"gamma" + S, L"bare");
        testreg::createKey(PACKAGES + L"\\gamma" + S + L"\\bare\\services");
        package(L"delta" + S, L"nothing");
        package(L"epsilon" + S, L"site", REG_EXPAND_SZ);
        testreg::setDword(servicesKey(L"epsilon" + S, L"site") + L"\\svcE" + S, L"Group", 1);
        service(L"epsilon" + S, L"site", L"svcF" + S, L"Tarvo Run-Time");
        testreg::setDword(PACKAGES + L"\\zeta" + S, L"", 3);
        testreg::createKey(PACKAGES + L"\\eta" + S + L"\\core\\services\\svcZ" + S);
    }

    void TearDown() override
    {
        for (const std::wstring& name : subKeysOf(PACKAGES))
            if (std::find(foreign_.begin(), foreign_.end(), name) == foreign_.end())
                testreg::deleteTree(PACKAGES + L"\\" + name);
        const std::wstring keys[] = {L"SOFTWARE\\Tarvo", L"SOFTWARE\\Tarvo\\KZO Config", CONFIG_ROOT_KEY, PACKAGES};
        for (int index = 3; index >= 0; --index)
            if (!keysBefore_[index])
                testreg::deleteIfEmpty(keys[index]);
    }

    static std::wstring servicesKey(const std::wstring& package, const std::wstring& component)
    {
        return PACKAGES + L"\\" + package + L"\\" + component + L"\\services";
    }
    static void package(const std::wstring& name, const std::wstring& component, DWORD type = REG_SZ)
    {
        testreg::setString(PACKAGES + L"\\" + name, L"", component, type);
    }
    static void service(const std::wstring& package, const std::wstring& component, const std::wstring& name)
    {
        testreg::createKey(servicesKey(package, component) + L"\\" + name);
    }
    static void service(const std::wstring& package, const std::wstring& component, const std::wstring& name,
                        const std::wstring& group, DWORD type = REG_SZ)
    {
        testreg::setString(servicesKey(package, component) + L"\\" + name, L"Group", group, type);
    }

    // The catalogue as the service tree reads it: one line per package with its component,
    // one per listed service with its group ("-" when it has none).
    std::vector<std::wstring> walk() const
    {
        std::vector<std::wstring> lines;
        std::vector<std::wstring> packages;
        VPackage::getPackages(packages);
        for (const std::wstring& package : packages) {
            if (std::find(foreign_.begin(), foreign_.end(), package) != foreign_.end())
                continue;
            std::wstring component;
            try {
                component = VPackage::getComponent(package);
            } catch (const vexception&) {
                lines.push_back(package + L": raised");
                continue;
            }
            lines.push_back(package + L": " + component);
            if (component.empty())
                continue;
            std::vector<std::wstring> services;
            VPackage::getServices(package, component, services);
            for (const std::wstring& service : services) {
                std::wstring group = L"-";
                try {
                    VPackage::getServiceValue(package, component, service, L"Group", group);
                } catch (const vexception&) {
                    group = L"raised";
                }
                lines.push_back(L"  " + service + L": " + group);
            }
        }
        return lines;
    }

    std::array<bool, 4> keysBefore_{};
    std::vector<std::wstring> foreign_;
};

template <typename Call>
std::wstring raisedText(Call call)
{
    try {
        call();
    } catch (const vexception& e) {
        return e.message();
    }
    return L"nothing raised";
}

TEST_F(Catalogue, WalkListsPackagesServicesAndGroupsInRegistryOrder)
{
    // Enumeration order is the registry's: by name, ignoring case, not the order of creation.
    const std::vector<std::wstring> expected = {
        L"alpha" + S + L": core",
        L"  svcA" + S + L": -",
        L"  svcB" + S + L": Mail Server",
        L"  svcC" + S + L": ",
        L"  svcD" + S + L": hidden",
        L"Beta" + S + L": ",
        L"delta" + S + L": nothing",
        L"epsilon" + S + L": site",
        L"  svcE" + S + L": raised",
        L"  svcF" + S + L": Tarvo Run-Time",
        L"eta" + S + L": ",
        L"FireWall: WinFW",
        L"gamma" + S + L": bare",
        L"zeta" + S + L": raised",
    };
    EXPECT_EQ(walk(), expected);
}

TEST_F(Catalogue, FirewallRuleNeedsBothNamesInAnyCase)
{
    std::vector<std::wstring> services{L"kept"};
    VPackage::getServices(L"FireWall", L"WinFW", services);
    VPackage::getServices(L"firewall", L"winfw", services);
    VPackage::getServices(L"FIREWALL", L"wInFw", services);
    EXPECT_EQ(services, std::vector<std::wstring>{L"kept"});

    VPackage::getServices(L"FireWall", L"other", services);
    VPackage::getServices(L"alpha" + S, L"winfw", services);
    EXPECT_EQ(services, (std::vector<std::wstring>{L"kept", L"fwextra" + S, L"svcW" + S}));

    // Missing components and services keys list nothing, and raise nothing.
    VPackage::getServices(L"FireWall", L"absent", services);
    VPackage::getServices(L"absent" + S, L"core", services);
    VPackage::getServices(L"gamma" + S, L"bare", services);
    EXPECT_EQ(services.size(), 3u);
}

TEST_F(Catalogue, WronglyTypedValuesRaiseTheLookupText)
{
    EXPECT_EQ(raisedText([] { VPackage::getComponent(L"zeta" + S); }),
              L"RegGetValue invalid type of '" + PACKAGES + L"\\zeta" + S + L"\\'");

    std::wstring group = L"untouched";
    EXPECT_EQ(raisedText([&] { VPackage::getServiceValue(L"epsilon" + S, L"site", L"svcE" + S, L"Group", group); }),
              L"RegGetValue invalid type of '" + servicesKey(L"epsilon" + S, L"site") + L"\\svcE" + S + L"\\Group'");
    EXPECT_EQ(VPackage::getServiceValue(L"alpha" + S, L"core", L"svcA" + S, L"Group", group),
              DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(VPackage::getServiceValue(L"alpha" + S, L"core", L"absent", L"Group", group),
              DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(group, L"untouched");
    EXPECT_EQ(VPackage::getComponent(L"absent" + S), L"");
}

TEST(CatalogueMissing, MissingPackagesKeyRaisesTheOpenFailure)
{
    if (testreg::keyExists(PACKAGES))
        GTEST_SKIP() << "another test's catalogue exists";
    std::vector<std::wstring> packages;
    const std::wstring text = raisedText([&] { VPackage::getPackages(packages); });
    const std::wstring tail = L"(Error code 2) at RegOpenKeyEx subKey=" + PACKAGES;
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), tail.size())), tail);
    EXPECT_TRUE(packages.empty());
}

}
