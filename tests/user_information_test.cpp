#include "panel/UserInformation.h"

#include "panel/AccountApi.h"
#include "runtime/Config.h"
#include "runtime/Exception.h"
#include "support/Capture.h"
#include "support/RegistryValues.h"
#include "support/SandboxConsole.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstring>

// Group membership as the start-up check asks it. The platform's account database answers
// "Administrators" for every name on the test bed, so the comparisons run against replaced
// account calls; the directory path asks the sandbox management service.
namespace {

using Strings = std::vector<std::wstring>;

// What the replaced account calls answer and what they were asked.
struct FakeAccounts {
    NET_API_STATUS status = NERR_Success;
    Strings groups; // answered for any user
    Strings asked;  // server and user of each question
    DWORD domainStatus = ERROR_SUCCESS;
    const wchar_t* dnsName = L"tarvo.example";
} fake;

// A level-0 group list as the network-management functions return it: name pointers, then
// the names, in one buffer that NetApiBufferFree releases.
NET_API_STATUS WINAPI fakeGroups(LPCWSTR server, LPCWSTR user, DWORD, LPBYTE* buffer, DWORD, LPDWORD read, LPDWORD total)
{
    fake.asked.push_back(std::wstring(server ? server : L"-") + L" " + user);
    *read = *total = fake.status == NERR_Success ? static_cast<DWORD>(fake.groups.size()) : 0;
    NetApiBufferAllocate(static_cast<DWORD>(fake.groups.size() * (sizeof(LPWSTR) + 64 * sizeof(wchar_t))),
                         reinterpret_cast<void**>(buffer));
    auto* entries = reinterpret_cast<LPWSTR*>(*buffer);
    for (size_t i = 0; i < fake.groups.size(); ++i) {
        entries[i] = reinterpret_cast<wchar_t*>(entries + fake.groups.size()) + 64 * i;
        std::memcpy(entries[i], fake.groups[i].c_str(), (fake.groups[i].size() + 1) * sizeof(wchar_t));
    }
    return fake.status;
}

NET_API_STATUS WINAPI fakeLocalGroups(LPCWSTR server, LPCWSTR user, DWORD level, DWORD, LPBYTE* buffer,
                                      DWORD length, LPDWORD read, LPDWORD total)
{
    return fakeGroups(server, user, level, buffer, length, read, total);
}

DWORD WINAPI fakeDomainInformation(LPCWSTR, DSROLE_PRIMARY_DOMAIN_INFO_LEVEL, PBYTE* buffer)
{
    auto* info = new DSROLE_PRIMARY_DOMAIN_INFO_BASIC{};
    info->DomainNameFlat = const_cast<LPWSTR>(L"TARVO");
    info->DomainNameDns = const_cast<LPWSTR>(fake.dnsName);
    *buffer = reinterpret_cast<PBYTE>(info);
    return fake.domainStatus;
}

VOID WINAPI fakeFreeDomainInformation(PVOID buffer)
{
    delete static_cast<DSROLE_PRIMARY_DOMAIN_INFO_BASIC*>(buffer);
}

DWORD WINAPI fakeDomainController(LPCWSTR, LPCWSTR domain, GUID*, LPCWSTR, ULONG, PDOMAIN_CONTROLLER_INFOW* info)
{
    static const std::wstring name = L"\\\\DC-";
    NetApiBufferAllocate(sizeof(DOMAIN_CONTROLLER_INFOW) + 64 * sizeof(wchar_t), reinterpret_cast<void**>(info));
    std::memset(*info, 0, sizeof(DOMAIN_CONTROLLER_INFOW));
    (*info)->DomainControllerName = reinterpret_cast<LPWSTR>(*info + 1);
    wcscpy((*info)->DomainControllerName, (name + domain).c_str());
    return ERROR_SUCCESS;
}

// Installs the replaced calls for one test and puts the platform's back.
class UserInformationTest : public ::testing::Test {
protected:
    UserInformationTest()
    {
        fake = FakeAccounts{};
        accountApi() = {&fakeLocalGroups, &fakeGroups, &fakeDomainInformation, &fakeFreeDomainInformation,
                        &fakeDomainController, platformAccountApi().runsAsLocalSystem};
    }
    ~UserInformationTest() override { accountApi() = platformAccountApi(); }
};

TEST_F(UserInformationTest, LocalGroupNameIsComparedExactlyAfterAnyDomain)
{
    fake.groups = {L"Users", L"Administrators"};
    const struct {
        const wchar_t *group, *user;
        bool member;
    } cases[] = {
        {L"Administrators", L"alice", true}, {L"PC\\Administrators", L"PC\\alice", true},
        {L"administrators", L"alice", false}, {L"Administrator", L"alice", false},
        {L"A\\B\\Administrators", L"A\\B\\alice", false}, // only the first backslash separates the domain
    };
    LocalUserInformation users;
    for (const auto& c : cases)
        EXPECT_EQ(c.member, users.isGroupMember(c.group, c.user)) << c.group << L" " << c.user;
    EXPECT_EQ((Strings{L"- alice", L"- alice", L"- alice", L"- alice", L"- B\\alice"}), fake.asked);
    fake.status = NERR_UserNotFound;
    EXPECT_FALSE(users.isGroupMember(L"Administrators", L"nobody"));
    fake.status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"NetUserGetLocalGroups(nullptr, alice)") +
                  L"\n   at (LocalUserInformation::isGroupMember line #)"
                  L"\n   at Unable to call isGroupMember(Administrators, PC\\alice)"
                  L"(LocalUserInformation::isGroupMember line #)",
              testbed::thrownText([&] { users.isGroupMember(L"Administrators", L"PC\\alice"); }));
}

TEST(VSID, NamesAccountsAndCopiesOnlyValidSids)
{
    wchar_t name[256];
    DWORD size = 256;
    ASSERT_TRUE(GetUserNameW(name, &size));
    std::wstring domain;
    EXPECT_EQ(name, VSID::findAccount(VSID::currentUser().get(), &domain));
    EXPECT_EQ(L"Administrators", VSID::findAccount(VSID::admins().get(), &domain));
    EXPECT_EQ(L"BUILTIN", domain);
    EXPECT_TRUE(LocalUserInformation().isGroupMember(L"Administrators", name)); // the platform's own calls
    PSID unknown = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-4242", &unknown));
    EXPECT_EQ(osErrorMessage(ERROR_NONE_MAPPED, L"LookupAccountName") + L"\n   at (VSID::findAccount line #)",
              testbed::thrownText([&] { VSID::findAccount(unknown); }));
    LocalFree(unknown);
    VSID copy(VSID::admins().get());
    EXPECT_TRUE(EqualSid(VSID::admins().get(), copy.get()));
    BYTE notASid[16] = {9}; // revision 9 does not exist
    copy = static_cast<PSID>(notASid);
    EXPECT_FALSE(copy);
}

TEST_F(UserInformationTest, DirectoryModeTakesTheDomainAndAsksTheServiceOrTheController)
{
    testreg::ScopedValue mode{CONFIG_ROOT_KEY, L"active_directory_mode"};
    mode.setDword(0);
    EXPECT_EQ(L"", createUserInformation()->getDomainName());
    mode.setDword(1);
    std::shared_ptr<IUserInformation> users = createUserInformation();
    EXPECT_EQ(L"TARVO", users->getDomainName());
    EXPECT_EQ(L"tarvo.example", users->getDomainDnsName());
    EXPECT_EQ(L"TARVO\\bob", users->getFullyQualifiedName(L"bob"));
    EXPECT_EQ(L"OTHER\\bob", users->getFullyQualifiedName(L"OTHER\\bob"));
    fake.domainStatus = ERROR_NO_SUCH_DOMAIN;
    EXPECT_NE(std::wstring::npos, testbed::thrownText([] { createUserInformation(); })
                                      .find(osErrorMessage(ERROR_NO_SUCH_DOMAIN, L"DsRoleGetPrimaryDomainInformation")));

    // The service's answer as the user is named; the panel's own accounts are asked locally.
    testbed::SandboxConsole service;
    service.set(L"\\Groups\\Staff", L"TARVO\\bob", 1u);
    service.set(L"\\Groups\\Staff", L"TARVO\\carol", 0u);
    service.set(L"\\Groups\\Staff", L"KZOADM", 0u);
    service.set(L"\\Groups\\Staff", L"kzoadmin", 0u);
    fake.groups = {L"Staff"};
    EXPECT_TRUE(users->isGroupMember(L"Staff", L"TARVO\\bob"));
    EXPECT_FALSE(users->isGroupMember(L"Staff", L"TARVO\\carol"));
    EXPECT_FALSE(users->isGroupMember(L"Staff", L"bob"));
    EXPECT_FALSE(users->isGroupMember(L"Staff", L"kzoadmin"));
    EXPECT_TRUE(fake.asked.empty());
    EXPECT_TRUE(users->isGroupMember(L"Staff", L"KZOADM"));
    EXPECT_TRUE(users->isGroupMember(L"Staff", L"TARVO\\kzoserv"));
    EXPECT_EQ((Strings{L"- KZOADM", L"- kzoserv"}), fake.asked);
    EXPECT_EQ(L"Unknown group 'Nobody'", testbed::thrown([&] { users->isGroupMember(L"Nobody", L"TARVO\\bob"); })->message());

    // As local system the domain controller answers; the group name is compared exactly.
    accountApi().runsAsLocalSystem = [] { return true; };
    fake.asked.clear();
    fake.groups = {L"Domain Users", L"Domain Admins"};
    EXPECT_TRUE(users->isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"));
    EXPECT_FALSE(users->isGroupMember(L"TARVO\\domain admins", L"TARVO\\erin"));
    EXPECT_EQ((Strings{L"\\\\DC-TARVO erin", L"\\\\DC-TARVO erin"}), fake.asked);
    fake.status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"NetUserGetGroups(\\\\DC-TARVO, erin)") +
                  L"\n   at (ADUserInformation::isGroupMember line #)"
                  L"\n   at Unable to call isGroupMember(TARVO\\Domain Admins, TARVO\\erin)"
                  L"(ADUserInformation::isGroupMember line #)",
              testbed::thrownText([&] { users->isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"); }));
}

} // namespace
