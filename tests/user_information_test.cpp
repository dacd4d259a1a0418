#include "panel/UserInformation.h"

#include "panel/AccountApi.h"
#include "runtime/Config.h"
#include "support/Capture.h"
#include "support/SandboxConsole.h"

#include <gtest/gtest.h>

#include <tuple>

// Group membership as the start-up check asks it. The platform's account database answers
// "Administrators" for every name on the test bed, so the comparisons run against replaced
// account calls; the directory path asks the sandbox management service.
namespace {

using Strings = std::vector<std::wstring>;
using testbed::thrownText;

// What the replaced account calls answer and what they were asked (server and user).
struct FakeAccounts {
    NET_API_STATUS status = NERR_Success;
    Strings groups, asked;
    DWORD domainStatus = ERROR_SUCCESS;
} fake;

// A level-0 group list: one buffer of name pointers that NetApiBufferFree releases. The local
// groups' call takes one argument more (flags), as Flags.
template <typename... Flags>
NET_API_STATUS WINAPI fakeGroups(LPCWSTR server, LPCWSTR user, DWORD, Flags..., LPBYTE* buffer, DWORD, LPDWORD read,
                                 LPDWORD total)
{
    fake.asked.push_back(std::wstring(server ? server : L"-") + L" " + user);
    *read = *total = fake.status == NERR_Success ? static_cast<DWORD>(fake.groups.size()) : 0;
    NetApiBufferAllocate(static_cast<DWORD>(fake.groups.size() + 1) * sizeof(LPCWSTR), reinterpret_cast<void**>(buffer));
    for (size_t i = 0; i < fake.groups.size(); ++i)
        reinterpret_cast<LPCWSTR*>(*buffer)[i] = fake.groups[i].c_str();
    return fake.status;
}

DWORD WINAPI fakeDomainInformation(LPCWSTR, DSROLE_PRIMARY_DOMAIN_INFO_LEVEL, PBYTE* buffer)
{
    *buffer = reinterpret_cast<PBYTE>(new DSROLE_PRIMARY_DOMAIN_INFO_BASIC{DsRole_RoleMemberWorkstation, 0, const_cast<LPWSTR>(L"TARVO"), const_cast<LPWSTR>(L"tarvo.example"), nullptr, {}});
    return fake.domainStatus;
}

VOID WINAPI fakeFreeDomainInformation(PVOID buffer) { delete static_cast<DSROLE_PRIMARY_DOMAIN_INFO_BASIC*>(buffer); }

DWORD WINAPI fakeDomainController(LPCWSTR, LPCWSTR domain, GUID*, LPCWSTR, ULONG, PDOMAIN_CONTROLLER_INFOW* info)
{
    NetApiBufferAllocate(sizeof(DOMAIN_CONTROLLER_INFOW), reinterpret_cast<void**>(info));
    // Only the domain the panel belongs to has a controller of this name.
    **info = DOMAIN_CONTROLLER_INFOW{};
    (*info)->DomainControllerName = const_cast<LPWSTR>(wcscmp(domain, L"TARVO") == 0 ? L"\\\\DC-TARVO" : L"\\\\elsewhere");
    return ERROR_SUCCESS;
}

// Accounts are named from their SIDs and only valid SIDs copied. A local group name is
// compared exactly after any domain. In directory mode the service answers as the user is
// named, the panel's own accounts are asked locally, and as local system the domain
// controller answers.
TEST(UserInformation, SidsThenLocalThenDirectoryMembership)
{
    const std::wstring name = testbed::env(L"USERNAME");
    std::wstring domain;
    EXPECT_EQ(name, VSID::findAccount(VSID::currentUser().get(), &domain));
    EXPECT_EQ(L"Administrators", VSID::findAccount(VSID::admins().get(), &domain));
    EXPECT_EQ(L"BUILTIN", domain);
    EXPECT_TRUE(LocalUserInformation().isGroupMember(L"Administrators", name)); // the platform's own calls
    // S-1-5-21-1-2-3-4242, which names no account, and a SID of revision 9, which does not exist.
    BYTE unknown[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0x92, 0x10, 0, 0}, notASid[16] = {9};
    EXPECT_EQ(osErrorMessage(ERROR_NONE_MAPPED, L"LookupAccountName") + L"\n   at (VSID::findAccount line #)", thrownText([&] { VSID::findAccount(unknown); }));
    EXPECT_FALSE(VSID(VSID::admins().get()) = static_cast<PSID>(notASid)); // and the valid one is gone

    accountApi() = {&fakeGroups<DWORD>, &fakeGroups<>, &fakeDomainInformation, &fakeFreeDomainInformation,
                    &fakeDomainController, platformAccountApi().runsAsLocalSystem};
    fake.groups = {L"Users", L"Administrators"};
    LocalUserInformation local;
    // Only the first backslash separates the domain.
    for (const auto& [group, user, member] : {std::tuple(L"Administrators", L"alice", true), {L"PC\\Administrators", L"PC\\alice", true},
             {L"administrators", L"alice", false}, {L"Administrator", L"alice", false}, {L"A\\B\\Administrators", L"A\\B\\alice", false}})
        EXPECT_EQ(member, local.isGroupMember(group, user)) << group;
    EXPECT_EQ((Strings{L"- alice", L"- alice", L"- alice", L"- alice", L"- B\\alice"}), fake.asked);
    fake.status = NERR_UserNotFound;
    EXPECT_FALSE(local.isGroupMember(L"Administrators", L"nobody"));
    fake.status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"NetUserGetLocalGroups(nullptr, alice)") + L"\n   at (LocalUserInformation::isGroupMember line #)"
              L"\n   at Unable to call isGroupMember(Administrators, PC\\alice)(LocalUserInformation::isGroupMember line #)", thrownText([&] { local.isGroupMember(L"Administrators", L"PC\\alice"); }));

    fake = FakeAccounts{NERR_Success, {L"Staff"}, {}};

    testreg::ScopedValue mode{CONFIG_ROOT_KEY, L"active_directory_mode"};
    mode.setDword(0);
    EXPECT_EQ(L"", createUserInformation()->getDomainName());
    mode.setDword(1);
    std::shared_ptr<IUserInformation> users = createUserInformation();
    EXPECT_EQ((Strings{L"TARVO", L"tarvo.example", L"TARVO\\bob", L"OTHER\\bob"}), (Strings{users->getDomainName(),
              users->getDomainDnsName(), users->getFullyQualifiedName(L"bob"), users->getFullyQualifiedName(L"OTHER\\bob")}));
    fake.domainStatus = ERROR_NO_SUCH_DOMAIN;
    EXPECT_NE(std::wstring::npos, thrownText([] { createUserInformation(); }).find(osErrorMessage(ERROR_NO_SUCH_DOMAIN, L"DsRoleGetPrimaryDomainInformation")));

    // The service's answer as the user is named; the panel's own accounts are asked locally.
    testbed::SandboxConsole service;
    for (const wchar_t* user : {L"TARVO\\bob", L"TARVO\\carol", L"KZOADM", L"kzoadmin"})
        service.set(L"\\Groups\\Staff", user, DWORD(user == std::wstring(L"TARVO\\bob")));
    for (const auto& [user, member] : {std::pair(L"TARVO\\bob", true), {L"TARVO\\carol", false}, {L"bob", false},
                                       {L"kzoadmin", false}, {L"KZOADM", true}, {L"TARVO\\kzoserv", true}})
        EXPECT_EQ(member, users->isGroupMember(L"Staff", user)) << user;
    EXPECT_EQ((Strings{L"- KZOADM", L"- kzoserv"}), fake.asked);
    EXPECT_EQ(L"Unknown group 'Nobody'", testbed::thrown([&] { users->isGroupMember(L"Nobody", L"TARVO\\bob"); })->message());

    // As local system the domain controller answers; the group name is compared exactly.
    accountApi().runsAsLocalSystem = [] { return true; };
    fake = FakeAccounts{NERR_Success, {L"Domain Users", L"Domain Admins"}, {}};
    EXPECT_TRUE(users->isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"));
    EXPECT_FALSE(users->isGroupMember(L"TARVO\\domain admins", L"TARVO\\erin"));
    EXPECT_EQ((Strings{L"\\\\DC-TARVO erin", L"\\\\DC-TARVO erin"}), fake.asked);
    fake.status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"NetUserGetGroups(\\\\DC-TARVO, erin)") + L"\n   at (ADUserInformation::isGroupMember line #)"
              L"\n   at Unable to call isGroupMember(TARVO\\Domain Admins, TARVO\\erin)(ADUserInformation::isGroupMember line #)", thrownText([&] { users->isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"); }));
    accountApi() = platformAccountApi();
}

} // namespace
