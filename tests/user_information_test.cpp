#include "runtime/UserInformation.h"

#include "panel/Config.h"
#include "runtime/AccountApi.h"
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
#include <regex>
#include <string>
#include <vector>

// Group membership as the start-up check asks it. The platform's account database answers
// "Administrators" for every name on the test bed, so the local comparisons run against
// replaced account calls; the Active Directory path asks the sandbox management service.
namespace {

const std::wstring sandboxGroups = std::wstring(testbed::sandboxKey) + L"\\Groups\\";

std::wstring withoutLines(const std::wstring& text)
{
    return std::regex_replace(text, std::wregex(L" line [0-9]+\\)"), L" line #)");
}

// What the replaced account calls answer and what they were asked.
struct FakeAccounts {
    NET_API_STATUS status = NERR_Success;
    std::vector<std::wstring> groups; // answered for any user
    std::vector<std::wstring> users;  // asked, in order
    std::vector<std::wstring> servers;
    bool callShapeOk = true;

    DWORD domainStatus = ERROR_SUCCESS;
    const wchar_t* flatName = nullptr;
    const wchar_t* dnsName = nullptr;
    int domainQuestions = 0;
    int domainBuffersFreed = 0;

    std::wstring controllerAskedFor;
};

FakeAccounts fake;

std::wstring orNull(LPCWSTR text)
{
    return text ? text : L"(null)";
}

// A level-0 group list as the network-management functions return it: name pointers, then
// the names, in one buffer that NetApiBufferFree releases.
LPBYTE groupList(const std::vector<std::wstring>& names)
{
    DWORD size = static_cast<DWORD>(names.size() * sizeof(LPWSTR));
    for (const std::wstring& name : names)
        size += static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    void* buffer = nullptr;
    NetApiBufferAllocate(size, &buffer);
    auto* entries = static_cast<LPWSTR*>(buffer);
    auto* text = reinterpret_cast<wchar_t*>(entries + names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        entries[i] = text;
        std::memcpy(text, names[i].c_str(), (names[i].size() + 1) * sizeof(wchar_t));
        text += names[i].size() + 1;
    }
    return static_cast<LPBYTE>(buffer);
}

NET_API_STATUS answerGroups(LPBYTE* buffer, DWORD maxLength, LPDWORD read, LPDWORD total)
{
    fake.callShapeOk = fake.callShapeOk && maxLength == MAX_PREFERRED_LENGTH;
    *buffer = nullptr;
    *read = *total = 0;
    if (fake.status != NERR_Success)
        return fake.status;
    *buffer = groupList(fake.groups);
    *read = *total = static_cast<DWORD>(fake.groups.size());
    return NERR_Success;
}

NET_API_STATUS WINAPI fakeLocalGroups(LPCWSTR server, LPCWSTR user, DWORD level, DWORD flags, LPBYTE* buffer,
                                      DWORD maxLength, LPDWORD read, LPDWORD total)
{
    fake.users.push_back(user);
    fake.servers.push_back(orNull(server));
    fake.callShapeOk = fake.callShapeOk && level == 0 && flags == 0;
    return answerGroups(buffer, maxLength, read, total);
}

NET_API_STATUS WINAPI fakeGlobalGroups(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE* buffer, DWORD maxLength,
                                       LPDWORD read, LPDWORD total)
{
    fake.users.push_back(user);
    fake.servers.push_back(orNull(server));
    fake.callShapeOk = fake.callShapeOk && level == 0;
    return answerGroups(buffer, maxLength, read, total);
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
    fake.controllerAskedFor = orNull(domain);
    static const wchar_t name[] = L"\\\\DC1";
    void* buffer = nullptr;
    NetApiBufferAllocate(sizeof(DOMAIN_CONTROLLER_INFOW) + sizeof(name), &buffer);
    *info = static_cast<PDOMAIN_CONTROLLER_INFOW>(buffer);
    std::memset(*info, 0, sizeof(DOMAIN_CONTROLLER_INFOW));
    (*info)->DomainControllerName = reinterpret_cast<LPWSTR>(*info + 1);
    std::memcpy((*info)->DomainControllerName, name, sizeof(name));
    return ERROR_SUCCESS;
}

bool fakeLocalSystem()
{
    return true;
}

// Installs the replaced calls for one test and puts the platform's back.
class AccountsTest : public ::testing::Test {
protected:
    AccountsTest()
    {
        fake = FakeAccounts{};
        AccountApi& api = accountApi();
        api.netUserGetLocalGroups = &fakeLocalGroups;
        api.netUserGetGroups = &fakeGlobalGroups;
        api.dsRoleGetPrimaryDomainInformation = &fakeDomainInformation;
        api.dsRoleFreeMemory = &fakeFreeDomainInformation;
        api.dsGetDcName = &fakeDomainController;
    }
    ~AccountsTest() override { accountApi() = platformAccountApi(); }
};

using LocalUserInformationTest = AccountsTest;

TEST_F(LocalUserInformationTest, ComparesTheWholeGroupNameExactlyAfterAnyDomain)
{
    fake.groups = {L"Users", L"Administrators"};
    LocalUserInformation users;
    EXPECT_TRUE(users.isGroupMember(L"Administrators", L"alice"));
    EXPECT_TRUE(users.isGroupMember(L"PC\\Administrators", L"PC\\alice"));
    EXPECT_TRUE(users.isGroupMember(L"Users", L"PC\\alice"));
    EXPECT_FALSE(users.isGroupMember(L"administrators", L"alice"));
    EXPECT_FALSE(users.isGroupMember(L"Administrator", L"alice"));
    EXPECT_FALSE(users.isGroupMember(L"Administrators ", L"alice"));
    EXPECT_FALSE(users.isGroupMember(L"Power Users", L"alice"));
    // Only the first backslash separates the domain.
    EXPECT_FALSE(users.isGroupMember(L"A\\B\\Administrators", L"A\\B\\alice"));
    EXPECT_EQ((std::vector<std::wstring>{L"alice", L"alice", L"alice", L"alice", L"alice", L"alice", L"alice",
                                         L"B\\alice"}),
              fake.users);
    EXPECT_EQ(std::vector<std::wstring>(8, L"(null)"), fake.servers);
    EXPECT_TRUE(fake.callShapeOk);
}

TEST_F(LocalUserInformationTest, UnknownUserIsNoMember)
{
    fake.status = NERR_UserNotFound;
    EXPECT_FALSE(LocalUserInformation().isGroupMember(L"Administrators", L"nobody"));
}

TEST_F(LocalUserInformationTest, OtherFailuresRaiseNamingTheUserAsked)
{
    fake.status = ERROR_ACCESS_DENIED;
    try {
        LocalUserInformation().isGroupMember(L"Administrators", L"PC\\alice");
        ADD_FAILURE() << "the failure was taken for an answer";
    } catch (const VAccessDeniedException& e) {
        EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"NetUserGetLocalGroups(nullptr, alice)") +
                      L"\n   at (LocalUserInformation::isGroupMember line #)"
                      L"\n   at Unable to call isGroupMember(Administrators, PC\\alice)"
                      L"(LocalUserInformation::isGroupMember line #)",
                  withoutLines(e.fullText()));
    }
}

TEST(LocalUserInformation, PlatformCountsTheCurrentUserAsAnAdministrator)
{
    // The start-up check with the platform's own calls; every user of the test bed is one.
    const std::wstring group = VSID::findAccount(VSID::admins().get());
    const std::wstring user = VSID::findAccount(VSID::currentUser().get());
    EXPECT_TRUE(LocalUserInformation().isGroupMember(group, user));
}

TEST(VSID, NamesTheCurrentUserAndTheAdministratorsGroup)
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

    // With an impersonation token the thread's own token is read.
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    const UniqueHandle owned(token);
    std::wstring asImpersonated;
    EXPECT_NO_THROW(asImpersonated = VSID::findAccount(VSID::currentUser().get()));
    RevertToSelf();
    EXPECT_EQ(name, asImpersonated);
}

TEST(VSID, CopiesOnlyValidSids)
{
    const VSID admins = VSID::admins();
    const VSID copy(admins.get());
    ASSERT_TRUE(copy);
    EXPECT_NE(admins.get(), copy.get());
    EXPECT_TRUE(EqualSid(admins.get(), copy.get()));

    VSID assigned = VSID::currentUser();
    BYTE notASid[16] = {9}; // revision 9 does not exist
    assigned = static_cast<PSID>(notASid);
    EXPECT_FALSE(assigned);
    assigned = nullptr;
    EXPECT_FALSE(assigned);
}

TEST(VSID, UnknownAccountRaisesNoneMapped)
{
    PSID unknown = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-4242", &unknown));
    try {
        VSID::findAccount(unknown);
        ADD_FAILURE() << "a name was made up";
    } catch (const VNoneMappedException& e) {
        EXPECT_EQ(osErrorMessage(ERROR_NONE_MAPPED, L"LookupAccountName") + L"\n   at (VSID::findAccount line #)",
                  withoutLines(e.fullText()));
    }
    LocalFree(unknown);
}

class UserInformationFactoryTest : public AccountsTest {
protected:
    testreg::ScopedValue mode{CONFIG_ROOT_KEY, L"active_directory_mode"};
};

TEST_F(UserInformationFactoryTest, LocalModeAsksNoDomainQuestion)
{
    mode.remove();
    std::shared_ptr<IUserInformation> users = createUserInformation();
    EXPECT_TRUE(dynamic_cast<LocalUserInformation*>(users.get()));
    EXPECT_FALSE(dynamic_cast<ADUserInformation*>(users.get()));

    mode.setDword(0);
    users = createUserInformation();
    EXPECT_FALSE(dynamic_cast<ADUserInformation*>(users.get()));
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
    users = createUserInformation();
    EXPECT_EQ(L"TARVO", users->getDomainName());
    EXPECT_EQ(L"", users->getDomainDnsName());
    EXPECT_EQ(2, fake.domainQuestions);
    EXPECT_EQ(2, fake.domainBuffersFreed);
    EXPECT_TRUE(fake.callShapeOk);
}

TEST_F(UserInformationFactoryTest, FailedDomainQuestionRaisesUnderItsContext)
{
    mode.setDword(1);
    fake.domainStatus = ERROR_NO_SUCH_DOMAIN;
    try {
        createUserInformation();
        ADD_FAILURE() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_EQ(DWORD(ERROR_NO_SUCH_DOMAIN), e.errorCode());
        EXPECT_EQ(osErrorMessage(ERROR_NO_SUCH_DOMAIN, L"DsRoleGetPrimaryDomainInformation") +
                      L"\n   at (UserInformation::getDomainInformation line #)"
                      L"\n   at Unable to call getDomainInformation()(UserInformation::getDomainInformation line #)",
                  withoutLines(e.fullText()));
    }
}

// The sandbox management service on a pipe of its own; the client gives up on it quickly.
class ManagementService {
public:
    ManagementService()
    {
        pipeName_.setString(testbed::uniqueName(L"wlusers"));
        tryCount_.setDword(2);
        console_.emplace();
    }

private:
    testreg::ScopedValue pipeName_{CONFIG_ROOT_KEY, L"kzopipe"};
    testreg::ScopedValue tryCount_{CONFIG_ROOT_KEY, L"PipeConnectTryCount"};
    std::optional<testbed::SandboxConsole> console_;
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
    void provision(const std::wstring& group, const std::wstring& user, DWORD member)
    {
        answers.push_back(std::make_unique<testreg::ScopedValue>(sandboxGroups + group, user));
        answers.back()->setDword(member);
    }

    static std::unique_ptr<ManagementService> service;
    const std::wstring group = testbed::uniqueName(L"wlgroup");
    std::vector<std::unique_ptr<testreg::ScopedValue>> answers;
    ADUserInformation users{L"TARVO", L"tarvo.example"};
};

std::unique_ptr<ManagementService> ADUserInformationTest::service;

TEST_F(ADUserInformationTest, ServiceAnswersForDomainUsersAsTheyAreNamed)
{
    provision(group, L"TARVO\\bob", 1);
    provision(group, L"TARVO\\carol", 0);
    EXPECT_TRUE(users.isGroupMember(group, L"TARVO\\bob"));
    EXPECT_FALSE(users.isGroupMember(group, L"TARVO\\carol"));
    EXPECT_FALSE(users.isGroupMember(group, L"TARVO\\dave"));
    // The domain is part of the service's question.
    EXPECT_FALSE(users.isGroupMember(group, L"bob"));
    EXPECT_TRUE(fake.users.empty());
}

TEST_F(ADUserInformationTest, ServiceErrorRaisesUnderTheGuard)
{
    try {
        users.isGroupMember(group, L"TARVO\\bob");
        ADD_FAILURE() << "an unknown group was answered";
    } catch (const vexception& e) {
        EXPECT_EQ(L"Unknown group '" + group + L"'", e.message());
        ASSERT_FALSE(e.contexts().empty());
        EXPECT_EQ(L"Unable to call isGroupMember(" + group + L", TARVO\\bob)", e.contexts().back().message);
        EXPECT_EQ("ADUserInformation::isGroupMember", e.contexts().back().function);
    }
}

TEST_F(ADUserInformationTest, PanelAccountsAreAskedLocally)
{
    // The service would refuse every one of them.
    const std::wstring accounts[] = {L"KZOADM",         L"TARVO\\kzoserv", L"kzoadm_users", L"tarvo administrator",
                                     L"administrators", L"Remote Desktop Users"};
    for (const std::wstring& account : accounts)
        provision(group, account, 0);
    provision(group, L"kzoadmin", 0);
    fake.groups = {group};

    for (const std::wstring& account : accounts)
        EXPECT_TRUE(users.isGroupMember(group, account)) << std::string(account.begin(), account.end());
    EXPECT_EQ((std::vector<std::wstring>{L"KZOADM", L"kzoserv", L"kzoadm_users", L"tarvo administrator",
                                         L"administrators", L"Remote Desktop Users"}),
              fake.users);

    fake.users.clear();
    EXPECT_FALSE(users.isGroupMember(group, L"kzoadmin"));
    EXPECT_TRUE(fake.users.empty());
}

TEST_F(ADUserInformationTest, LocalSystemAsksTheDomainController)
{
    // An unprovisioned group: asking the service would fail.
    accountApi().runsAsLocalSystem = &fakeLocalSystem;
    fake.groups = {L"Domain Users", L"Domain Admins"};
    EXPECT_TRUE(users.isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"));
    EXPECT_FALSE(users.isGroupMember(L"TARVO\\domain admins", L"TARVO\\erin"));
    EXPECT_EQ(L"TARVO", fake.controllerAskedFor);
    EXPECT_EQ((std::vector<std::wstring>{L"erin", L"erin"}), fake.users);
    EXPECT_EQ((std::vector<std::wstring>{L"\\\\DC1", L"\\\\DC1"}), fake.servers);
    EXPECT_TRUE(fake.callShapeOk);

    fake.status = NERR_UserNotFound;
    EXPECT_FALSE(users.isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin"));

    fake.status = ERROR_ACCESS_DENIED;
    try {
        users.isGroupMember(L"TARVO\\Domain Admins", L"TARVO\\erin");
        ADD_FAILURE() << "the failure was taken for an answer";
    } catch (const VAccessDeniedException& e) {
        EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"NetUserGetGroups(\\\\DC1, erin)") +
                      L"\n   at (ADUserInformation::isGroupMember line #)"
                      L"\n   at Unable to call isGroupMember(TARVO\\Domain Admins, TARVO\\erin)"
                      L"(ADUserInformation::isGroupMember line #)",
                  withoutLines(e.fullText()));
    }
}

} // namespace
