#include "panel/UserInformation.h"

#include "runtime/Config.h"
#include "panel/TarvoSrvClient.h"
#include "panel/AccountApi.h"
#include "runtime/Exception.h"
#include "runtime/Guard.h"
#include "runtime/Handle.h"
#include "runtime/Strings.h"
#include "runtime/Registry.h"

#include <algorithm>
#include <utility>

namespace {

// Buffers that the network-management functions allocate.
struct NetApiBufferTraits {
    using Type = LPBYTE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type buffer) noexcept { NetApiBufferFree(buffer); }
};
using UniqueNetApiBuffer = UniqueResource<NetApiBufferTraits>;

struct DsRoleBufferTraits {
    using Type = PBYTE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type buffer) noexcept { accountApi().dsRoleFreeMemory(buffer); }
};
using UniqueDsRoleBuffer = UniqueResource<DsRoleBufferTraits>;

// The interface's slots that this program never calls.
#define WL_NOT_SUPPORTED() throw vexception(L"Not supported", WL_CONTEXT())

std::wstring stripDomain(const std::wstring& name)
{
    const size_t backslash = name.find(L'\\');
    return backslash == std::wstring::npos ? name : name.substr(backslash + 1);
}

bool equalIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// Whether a level-0 group list (NetUserGetLocalGroups, NetUserGetGroups) holds group,
// compared exactly.
template <typename Entry>
bool listHolds(LPBYTE buffer, DWORD count, LPWSTR Entry::*name, const std::wstring& group)
{
    const auto* entries = reinterpret_cast<const Entry*>(buffer);
    return std::any_of(entries, entries + count,
                       [&](const Entry& entry) { return entry.*name && group == entry.*name; });
}

std::wstring wellKnownName(WELL_KNOWN_SID_TYPE type)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    if (!CreateWellKnownSid(type, nullptr, sid, &size))
        WL_THROW_LAST_ERROR(L"CreateWellKnownSid");
    return VSID::findAccount(sid);
}

// The panel's own accounts live on every machine, also inside a domain.
bool isPanelLocalAccount(const std::wstring& user)
{
    const std::wstring fixed[] = {L"kzoadm", L"kzoadm_users", L"Tarvo Administrator", L"kzoserv"};
    const auto isUser = [&](const std::wstring& name) { return equalIgnoringCase(name, user); };
    if (std::any_of(std::begin(fixed), std::end(fixed), isUser))
        return true;
    return equalIgnoringCase(VSID::findAccount(VSID::admins().get()), user) ||
           equalIgnoringCase(wellKnownName(WinBuiltinRemoteDesktopUsersSid), user);
}

} // namespace

DWORD UserInformation::validatePasswordPolicy(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

std::wstring UserInformation::generateUserPassword(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

std::wstring UserInformation::getQuotaVolume(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

uint64_t UserInformation::getQuota(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

uint64_t UserInformation::getQuotaUsed(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

void UserInformation::setQuota(const std::wstring&, uint64_t)
{
    WL_NOT_SUPPORTED();
}

void UserInformation::removeQuota(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

void UserInformation::getDomainInformation(std::wstring& flatName, std::wstring& dnsName)
{
    guarded(
        {"UserInformation::getDomainInformation", __LINE__},
        [&] {
            PBYTE raw = nullptr;
            const DWORD result =
                accountApi().dsRoleGetPrimaryDomainInformation(nullptr, DsRolePrimaryDomainInfoBasic, &raw);
            const UniqueDsRoleBuffer buffer(raw);
            if (result != ERROR_SUCCESS)
                WL_THROW_OS_ERROR(L"DsRoleGetPrimaryDomainInformation", result);
            const auto* info = reinterpret_cast<const DSROLE_PRIMARY_DOMAIN_INFO_BASIC*>(buffer.get());
            if (info->DomainNameDns)
                dnsName = info->DomainNameDns;
            if (info->DomainNameFlat)
                flatName = info->DomainNameFlat;
        },
        L"Unable to call getDomainInformation()");
}

bool LocalUserInformation::isUser(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

bool LocalUserInformation::isGroup(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

bool LocalUserInformation::isGroupMember(const std::wstring& group, const std::wstring& user)
{
    return guarded(
        {"LocalUserInformation::isGroupMember", __LINE__},
        [&] {
            const std::wstring g = stripDomain(group);
            const std::wstring u = stripDomain(user);
            LPBYTE raw = nullptr;
            DWORD read = 0;
            DWORD total = 0;
            const NET_API_STATUS result =
                accountApi().netUserGetLocalGroups(nullptr, u.c_str(), 0, 0, &raw, MAX_PREFERRED_LENGTH, &read, &total);
            const UniqueNetApiBuffer buffer(raw);
            if (result == NERR_UserNotFound)
                return false;
            if (result != NERR_Success)
                WL_THROW_OS_ERROR(formatString(L"NetUserGetLocalGroups(nullptr, %s)", u).c_str(), result);
            return listHolds(buffer.get(), read, &LOCALGROUP_USERS_INFO_0::lgrui0_name, g);
        },
        L"Unable to call isGroupMember(%s, %s)", group, user);
}

bool LocalUserInformation::isUserEnabled(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

std::wstring LocalUserInformation::getUserHome(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

UserRecord LocalUserInformation::getUserInformation(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

DWORD LocalUserInformation::getUserFlags(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

std::vector<std::wstring> LocalUserInformation::getGroupMembers(const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

std::wstring LocalUserInformation::getDomainName()
{
    return {};
}

std::wstring LocalUserInformation::getDomainDnsName()
{
    return {};
}

std::wstring LocalUserInformation::getFullyQualifiedName(const std::wstring& name)
{
    return name;
}

VSID LocalUserInformation::getAccountSid(const std::wstring&, const std::wstring&)
{
    WL_NOT_SUPPORTED();
}

std::wstring LocalUserInformation::getServerName(const std::wstring&)
{
    return {};
}

ADUserInformation::ADUserInformation(std::wstring domainName, std::wstring domainDnsName)
    : domainName_(std::move(domainName)), domainDnsName_(std::move(domainDnsName))
{
}

bool ADUserInformation::isGroupMember(const std::wstring& group, const std::wstring& user)
{
    return guarded(
        {"ADUserInformation::isGroupMember", __LINE__},
        [&](const std::function<void()>& tagIfError) {
            if (isPanelLocalAccount(stripDomain(user)))
                return LocalUserInformation::isGroupMember(group, user);
            if (!accountApi().runsAsLocalSystem())
                return TarvoSrvClient::getInstance().isGroupMemberUser(group, user);

            const std::wstring g = stripDomain(group);
            const std::wstring u = stripDomain(user);
            const std::wstring server = getServerName(u);
            LPBYTE raw = nullptr;
            DWORD read = 0;
            DWORD total = 0;
            const NET_API_STATUS result = accountApi().netUserGetGroups(server.empty() ? nullptr : server.c_str(),
                                                                       u.c_str(), 0, &raw, MAX_PREFERRED_LENGTH,
                                                                       &read, &total);
            const UniqueNetApiBuffer buffer(raw);
            if (result != NERR_Success && result != NERR_UserNotFound)
                WL_THROW_OS_ERROR(formatString(L"NetUserGetGroups(%s, %s)", server, u).c_str(), result);
            const bool member =
                result == NERR_Success && listHolds(buffer.get(), read, &GROUP_USERS_INFO_0::grui0_name, g);
            // A refusal by the domain controller is recorded on the span.
            if (!member)
                tagIfError();
            return member;
        },
        L"Unable to call isGroupMember(%s, %s)", group, user);
}

std::wstring ADUserInformation::getDomainName()
{
    return domainName_;
}

std::wstring ADUserInformation::getDomainDnsName()
{
    return domainDnsName_;
}

std::wstring ADUserInformation::getFullyQualifiedName(const std::wstring& name)
{
    if (name.find(L'\\') != std::wstring::npos)
        return name;
    return domainName_ + L"\\" + name;
}

std::wstring ADUserInformation::getServerName(const std::wstring& name)
{
    return guarded(
        {"ADUserInformation::getServerName", __LINE__},
        [&] {
            const std::wstring& domain = domainName_.empty() ? domainDnsName_ : domainName_;
            PDOMAIN_CONTROLLER_INFOW raw = nullptr;
            const DWORD result = accountApi().dsGetDcName(nullptr, domain.c_str(), nullptr, nullptr, 0, &raw);
            const UniqueNetApiBuffer buffer(reinterpret_cast<LPBYTE>(raw));
            if (result != ERROR_SUCCESS)
                WL_THROW_OS_ERROR(formatString(L"DsGetDcName(%s)", domain).c_str(), result);
            return std::wstring(raw->DomainControllerName ? raw->DomainControllerName : L"");
        },
        L"Unable to call getServerName(%s)", name);
}

bool isActiveDirectoryMode()
{
    DWORD mode = 0;
    registry::lookup(HKEY_LOCAL_MACHINE, CONFIG_ROOT_KEY, L"active_directory_mode", mode, CONFIG_VIEW);
    return mode != 0;
}

std::shared_ptr<IUserInformation> createUserInformation()
{
    if (!isActiveDirectoryMode())
        return std::make_shared<LocalUserInformation>();
    std::wstring flatName;
    std::wstring dnsName;
    UserInformation::getDomainInformation(flatName, dnsName);
    return std::make_shared<ADUserInformation>(flatName, dnsName);
}
