#include "panel/UserInformation.h"

#include "runtime/Config.h"
#include "panel/AccountApi.h"
#include "runtime/Exception.h"
#include "runtime/Handle.h"
#include "support/RegistryValues.h"
#include "support/SandboxConsole.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Group membership as the start-up check asks it. The platform's account database answers
// "Administrators" for every name on the test bed, so the local comparisons run against
// replaced account calls; the Active Directory path asks the sandbox management service.
namespace {

using Strings = std::vector<std::wstring>;

// The full text of the E that f raises, line numbers masked.
template <typename E, typename F>
std::wstring failureText(F f)
{
    try {
        f();
    } catch (const E& e) {
        return withoutLines(e.fullText());
    }
    return L"(no failure)";
}

// What the replaced account calls answer and what they were asked.
struct FakeAccounts {
    NET_API_STATUS status = NERR_Success;
    Strings groups;  // answered for any user
    Strings users;   // asked, in order
    Strings servers;
    bool callShapeOk = true;
    DWORD domainStatus = ERROR_SUCCESS;
    const wchar_t* flatName = nullptr;
    const wchar_t* dnsName = nullptr;
    int domainQuestions = 0;
    int domainBuffersFreed = 0;
    std::wstring controllerAskedFor;
} fake;

// A level-0 group list as the network-management functions return it: name pointers, then
// the names, in one buffer that NetApiBufferFree releases.
NET_API_STATUS answerGroups(LPCWSTR server, LPCWSTR user, bool shapeOk, LPBYTE* buffer, DWORD maxLength,
                            LPDWORD read, LPDWORD total)
{
    fake.users.push_back(user);
    fake.servers.push_back(server ? server : L"(null)");
    fake.callShapeOk = fake.callShapeOk && shapeOk && maxLength == MAX_PREFERRED_LENGTH;
    *buffer = nullptr;
    *read = *total = 0;
    if (fake.status != NERR_Success)
        return fake.status;
    DWORD size = static_cast<DWORD>(fake.groups.size() * sizeof(LPWSTR));
    for (const std::wstring& name : fake.groups)
        size += static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    NetApiBufferAllocate(size, reinterpret_cast<void**>(buffer));
    auto* entries = reinterpret_cast<LPWSTR*>(*buffer);
    auto* text = reinterpret_cast<wchar_t*>(entries + fake.groups.size());
    for (size_t i = 0; i < fake.groups.size(); ++i) {
        entries[i] = text;
        std::memcpy(text, fake.groups[i].c_str(), (fake.groups[i].size() + 1) * sizeof(wchar_t));
        text += fake.groups[i].size() + 1;
    }
    *read = *total = static_cast<DWORD>(fake.groups.size());
    return NERR_Success;
}

NET_API_STATUS WINAPI fakeLocalGroups(LPCWSTR server, LPCWSTR user, DWORD level, DWORD flags, LPBYTE* buffer,
                                      DWORD maxLength, LPDWORD read, LPDWORD total)
{
    return answerGroups(server, user, level == 0 && flags == 0, buffer, maxLength, read, total);
}

NET_API_STATUS WINAPI fakeGlobalGroups(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE* buffer, DWORD maxLength,
                                       LPDWORD read, LPDWORD total)
{
    return answerGroups(server, user, level == 0, buffer, maxLength, read, total);
}

DWORD WINAPI fakeDomainInformation(LPCWSTR server, DSROLE_PRIMARY_DOMAIN_INFO_LEVEL level, PBYTE* buffer)
{
    ++fake.domainQuestions;
    fake.callShapeOk = fake.callShapeOk && !server && level == DsRolePrimaryDomainInfoBasic;
    *buffer = nullptr;
    if (fake.domainStatus != ERROR_SUCCESS)
        return fake.domainStatus;
    auto* info = new DSROLE_PRIMARY_DOMAIN_INFO_BASIC{};
    info->MachineRole = DsRole_RoleMemberServer;
    info->DomainNameFlat = const_cast<LPWSTR>(fake.flatName);
    info->DomainNameDns = const_cast<LPWSTR>(fake.dnsName);
    *buffer = reinterpret_cast<PBYTE>(info);
    return ERROR_SUCCESS;
}

VOID WINAPI fakeFreeDomainInformation(PVOID buffer)
{
    ++fake.domainBuffersFreed;
    delete static_cast<DSROLE_PRIMARY_DOMAIN_INFO_BASIC*>(buffer);
}

DWORD WINAPI fakeDomainController(LPCWSTR, LPCWSTR domain, GUID*, LPCWSTR, ULONG, PDOMAIN_CONTROLLER_INFOW* info)
{
    fake.controllerAskedFor = domain ? domain : L"(null)";
    static const wchar_t name[] = L"\\\\DC1";
    NetApiBufferAllocate(sizeof(DOMAIN_CONTROLLER_INFOW) + sizeof(name), reinterpret_cast<void**>(info));
    std::memset(*info, 0, sizeof(DOMAIN_CONTROLLER_INFOW));
    (*info)->DomainControllerName = reinterpret_cast<LPWSTR>(*info + 1);
    std::memcpy((*info)->DomainControllerName, name, sizeof(name));
    return ERROR_SUCCESS;
}

// Installs the replaced calls for one test and puts the platform's back.
class AccountsTest : public ::testing::Test {
protected:
    AccountsTest()
    {
        fake = FakeAccounts{};
        accountApi() = {&fakeLocalGroups, &fakeGlobalGroups, &fakeDomainInformation, &fakeFreeDomainInformation,
                        &fakeDomainController, platformAccountApi().runsAsLocalSystem};
    }
    ~AccountsTest() override { accountApi() = platformAccountApi(); }
};

using LocalUserInformationTest = AccountsTest;

TEST_F(LocalUserInformationTest, ComparesTheWholeGroupNameExactlyAfterAnyDomain)
{
    fake.groups = {L"Users", L"Administrators"};
    const struct {
        const wchar_t *group, *user;
        bool member;
    } cases[] = {
        {L"Administrators", L"alice", true},     {L"PC\\Administrators", L"PC\\alice", true},
        {L"Users", L"PC\\alice", true},          {L"administrators", L"alice", false},
        {L"Administrator", L"alice", false},     {L"Administrators ", L"alice", false},
        {L"Power Users", L"alice", false},
        // Only the first backslash separates the domain.
        {L"A\\B\\Administrators", L"A\\B\\alice", false},
    };
    LocalUserInformation users;
    for (const auto& c : cases)
        EXPECT_EQ(c.member, users.isGroupMember(c.group, c.user)) << c.group << L" " << c.user;
    Strings asked(7, L"alice");
    asked.push_back(L"B\\alice");
    EXPECT_EQ(asked, fake.users);
    EXPECT_EQ(Strings(8, L"(null)"), fake.servers);
    EXPECT_TRUE(fake.callShapeOk);

    fake.status = NERR_UserNotFound;
    EXPECT_FALSE(users.isGroupMember(L"Administrators", L"nobody"));
    fake.status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"NetUserGetLocalGroups(nullptr, alice)") +
                  L"\n   at (LocalUserInformation::isGroupMember line #)"
                  L"\n   at Unable to call isGroupMember(Administrators, PC\\alice)"
                  L"(LocalUserInformation::isGroupMember line #)",
              failureText<VAccessDeniedException>([&] { users.isGroupMember(L"Administrators", L"PC\\alice"); }));
}

TEST(VSID, NamesAccountsAndCopiesOnlyValidSids)
{
    wchar_t name[256];
    DWORD size = 256;
    ASSERT_TRUE(GetUserNameW(name, &size));
    std::wstring domain;
    EXPECT_EQ(name, VSID::findAccount(VSID::currentUser().get(), &domain));
    EXPECT_FALSE(domain.empty());
    EXPECT_EQ(domain.find(L'\\'), std::wstring::npos);
    EXPECT_EQ(L"Administrators", VSID::findAccount(VSID::admins().get(), &domain));
    EXPECT_EQ(L"BUILTIN", domain);
    // The start-up check with the platform's own calls; every user of the test bed is an administrator.
    EXPECT_TRUE(LocalUserInformation().isGroupMember(L"Administrators", name));

    // With an impersonation token the thread's own token is read.
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    const UniqueHandle owned(token);
    std::wstring asImpersonated;
    EXPECT_NO_THROW(asImpersonated = VSID::findAccount(VSID::currentUser().get()));
    RevertToSelf();
    EXPECT_EQ(name, asImpersonated);

    PSID unknown = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-4242", &unknown));
    EXPECT_EQ(osErrorMessage(ERROR_NONE_MAPPED, L"LookupAccountName") + L"\n   at (VSID::findAccount line #)",
              failureText<VNoneMappedException>([&] { VSID::findAccount(unknown); }));
    LocalFree(unknown);

    const VSID admins = VSID::admins();
    const VSID copy(admins.get());
    ASSERT_TRUE(copy);
    EXPECT_NE(admins.get(), copy.get());
    EXPECT_TRUE(EqualSid(admins.get(), copy.get()));
    VSID assigned = VSID::currentUser();
    BYTE notASid[16] = {9}; // revision 9 does not exist
    assigned = static_cast<PSID>(notASid);
    EXPECT_FALSE(assigned);
}

class UserInformationFactoryTest : public AccountsTest {
protected:
    testreg::ScopedValue mode{CONFIG_ROOT_KEY, L"active_directory_mode"};
};

TEST_F(UserInformationFactoryTest, LocalModeAsksNoDomainQuestion)
{
    mode.remove();
    EXPECT_TRUE(dynamic_cast<LocalUserInformation*>(createUserInformation().get()));
    mode.setDword(0);
    std::shared_ptr<IUserInformation> users = createUserInformation();
    EXPECT_TRUE(dynamic_cast<LocalUserInformation*>(users.get()));
    EXPECT_EQ(L"", users->getDomainName());
    EXPECT_EQ(0, fake.domainQuestions);
}

TEST_F(UserInformationFactoryTest, ActiveDirectoryModeTakesTheNamesTheDomainReports)
{
    mode.setDword(1);
    fake.flatName = L"TARVO";
    fake.dnsName = L"tarvo.example";
    std::shared_ptr<IUserInformation> users = createUserInformation();
    ASSERT_TRUE(dynamic_cast<ADUserInformation*>(users.get()));
    EXPECT_EQ(L"TARVO", users->getDomainName());
    EXPECT_EQ(L"tarvo.example", users->getDomainDnsName());
    EXPECT_EQ(L"TARVO\\bob", users->getFullyQualifiedName(L"bob"));
    EXPECT_EQ(L"OTHER\\bob", users->getFullyQualifiedName(L"OTHER\\bob"));

    // A workgroup machine reports no DNS name.
    fake.dnsName = nullptr;
    EXPECT_EQ(L"", createUserInformation()->getDomainDnsName());
    EXPECT_EQ(2, fake.domainBuffersFreed);
    EXPECT_TRUE(fake.callShapeOk);

    fake.domainStatus = ERROR_NO_SUCH_DOMAIN;
    EXPECT_EQ(osErrorMessage(ERROR_NO_SUCH_DOMAIN, L"DsRoleGetPrimaryDomainInformation") +
                  L"\n   at (UserInformation::getDomainInformation line #)"
                  L"\n   at Unable to call getDomainInformation()(UserInformation::getDomainInformation line #)",
              failureText<vosexception>([] { createUserInformation(); }));
}

// The sandbox management service on a pipe of its own; the client gives up on it quickly.
struct ManagementService {
    ManagementService()
    {
        pipeName.setString(testbed::uniqueName(L"wlusers"));
        tryCount.setDword(2);
        console.emplace();
    }
    testreg::ScopedValue pipeName{CONFIG_ROOT_KEY, L"kzopipe"};
    testreg::ScopedValue tryCount{CONFIG_ROOT_KEY, L"PipeConnectTryCount"};
    std::optional<testbed::SandboxConsole> console;
};

class ADUserInformationTest : public AccountsTest {
protected:
    static void SetUpTestSuite() { service = std::make_unique<ManagementService>(); }
    static void TearDownTestSuite() { service.reset(); }
    // Newest first, so that the value whose write created the keys removes them last.
    ~ADUserInformationTest() override
    {
        while (!answers.empty())
            answers.pop_back();
    }

    // The service's answer for user in group.
    void provision(const std::wstring& user, DWORD member)
    {
        answers.push_back(std::make_unique<testreg::ScopedValue>(
            std::wstring(testbed::sandboxKey) + L"\\Groups\\" + group, user));
        answers.back()->setDword(member);
    }

    static inline std::unique_ptr<ManagementService> service;
    const std::wstring group = testbed::uniqueName(L"wlgroup");
    std::vector<std::unique_ptr<testreg::ScopedValue>> answers;
    ADUserInformation users{L"TARVO", L"tarvo.example"};
};

TEST_F(ADUserInformationTest, ServiceAnswersForDomainUsersAsTheyAreNamed)
{
    // The service's error under the guard's context, which comes last.
    const std::wstring text = failureText<vexception>([&] { users.isGroupMember(group, L"TARVO\\bob"); });
    const std::wstring last =
        L"\n   at Unable to call isGroupMember(" + group + L", TARVO\\bob)(ADUserInformation::isGroupMember line #)";
    EXPECT_EQ(0u, text.find(L"Unknown group '" + group + L"'\n")) << text;
    EXPECT_EQ(text.size() - last.size(), text.rfind(last)) << text;

    provision(L"TARVO\\bob", 1);
    provision(L"TARVO\\carol", 0);
    EXPECT_TRUE(users.isGroupMember(group, L"TARVO\\bob"));
    EXPECT_FALSE(users.isGroupMember(group, L"TARVO\\carol"));
    EXPECT_FALSE(users.isGroupMember(group, L"TARVO\\dave"));
    // The domain is part of the service's question.
    EXPECT_FALSE(users.isGroupMember(group, L"bob"));
    EXPECT_TRUE(fake.users.empty());
}

TEST_F(ADUserInformationTest, PanelAccountsAreAskedLocally)
{
    // The service would refuse every one of them.
    const Strings accounts = {L"KZOADM",         L"TARVO\\kzoserv", L"kzoadm_users", L"tarvo administrator",
                              L"administrators", L"Remote Desktop Users"};
    for (const std::wstring& account : accounts)
        provision(account, 0);
    provision(L"kzoadmin", 0);
    fake.groups = {group};
    for (const std::wstring& account : accounts)
        EXPECT_TRUE(users.isGroupMember(group, account)) << account;
    EXPECT_EQ((Strings{L"KZOADM", L"kzoserv", L"kzoadm_users", L"tarvo administrator", L"administrators",
                       L"Remote Desktop Users"}),
              fake.users);

    fake.users.clear();
    EXPECT_FALSE(users.isGroupMember(group, L"kzoadmin"));
    EXPECT_TRUE(fake.users.empty());
}

TEST_F(ADUserInformationTest, LocalSystemAsksTheDomainController)
{
    // An unprovisioned group: asking the service would fail.
    accountApi().runsAsLocalSystem = [] { return true; };
    fake.groups = {L"Domain Users", L"Domain Admins"};
    EXPECT_TRUE(users.isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"));
    EXPECT_FALSE(users.isGroupMember(L"TARVO\\domain admins", L"TARVO\\erin"));
    EXPECT_EQ(L"TARVO", fake.controllerAskedFor);
    EXPECT_EQ((Strings{L"erin", L"erin"}), fake.users);
    EXPECT_EQ((Strings{L"\\\\DC1", L"\\\\DC1"}), fake.servers);
    EXPECT_TRUE(fake.callShapeOk);

    fake.status = NERR_UserNotFound;
    EXPECT_FALSE(users.isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"));
    fake.status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"NetUserGetGroups(\\\\DC1, erin)") +
                  L"\n   at (ADUserInformation::isGroupMember line #)"
                  L"\n   at Unable to call isGroupMember(TARVO\\Domain Admins, TARVO\\erin)"
                  L"(ADUserInformation::isGroupMember line #)",
              failureText<VAccessDeniedException>(
                  [&] { users.isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"); }));
}

} // namespace
