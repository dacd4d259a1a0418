#pragma once

#include "runtime/VSID.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What getUserInformation reports of an account.
struct UserRecord {
    std::wstring name;
    std::wstring comment;
    std::wstring homeDirectory;
    DWORD flags = 0;
};

// Questions about Windows accounts. This program asks only isGroupMember; operations that
// it does not need fail with "Not supported".
class IUserInformation {
public:
    virtual ~IUserInformation() = default;

    virtual bool isUser(const std::wstring& name) = 0;
    virtual bool isGroup(const std::wstring& name) = 0;
    // Whether user belongs to group; a domain prefix ("DOMAIN\name") on either is ignored
    // by the local account database.
    virtual bool isGroupMember(const std::wstring& group, const std::wstring& user) = 0;
    virtual bool isUserEnabled(const std::wstring& name) = 0;
    virtual std::wstring getUserHome(const std::wstring& name) = 0;
    virtual UserRecord getUserInformation(const std::wstring& name) = 0;
    virtual DWORD getUserFlags(const std::wstring& name) = 0;
    virtual std::vector<std::wstring> getGroupMembers(const std::wstring& group) = 0;
    // The domain's flat (NetBIOS) and DNS names; empty on a machine outside a domain.
    virtual std::wstring getDomainName() = 0;
    virtual std::wstring getDomainDnsName() = 0;
    virtual std::wstring getFullyQualifiedName(const std::wstring& name) = 0;
    // 0 when password satisfies the policy, else the platform's code.
    virtual DWORD validatePasswordPolicy(const std::wstring& password) = 0;
    virtual std::wstring generateUserPassword(const std::wstring& name) = 0;
    virtual std::wstring getQuotaVolume(const std::wstring& name) = 0;
    virtual uint64_t getQuota(const std::wstring& name) = 0;
    virtual uint64_t getQuotaUsed(const std::wstring& name) = 0;
    virtual void setQuota(const std::wstring& name, uint64_t limit) = 0;
    virtual void removeQuota(const std::wstring& name) = 0;
    virtual VSID getAccountSid(const std::wstring& name, const std::wstring& server) = 0;
    // The server that holds name's account; empty for this machine.
    virtual std::wstring getServerName(const std::wstring& name) = 0;
};

// The password and quota operations, common to both account databases.
class UserInformation : public IUserInformation {
public:
    DWORD validatePasswordPolicy(const std::wstring& password) override;
    std::wstring generateUserPassword(const std::wstring& name) override;
    std::wstring getQuotaVolume(const std::wstring& name) override;
    uint64_t getQuota(const std::wstring& name) override;
    uint64_t getQuotaUsed(const std::wstring& name) override;
    void setQuota(const std::wstring& name, uint64_t limit) override;
    void removeQuota(const std::wstring& name) override;

    // The primary domain of this machine; a name the platform does not report stays empty.
    static void getDomainInformation(std::wstring& flatName, std::wstring& dnsName);
};

// Answers from the local machine's account database.
class LocalUserInformation : public UserInformation {
public:
    bool isUser(const std::wstring& name) override;
    bool isGroup(const std::wstring& name) override;
    // Only direct memberships count, compared by exact name: a user in a group nested in
    // group is not a member. An unknown user is no member.
    bool isGroupMember(const std::wstring& group, const std::wstring& user) override;
    bool isUserEnabled(const std::wstring& name) override;
    std::wstring getUserHome(const std::wstring& name) override;
    UserRecord getUserInformation(const std::wstring& name) override;
    DWORD getUserFlags(const std::wstring& name) override;
    std::vector<std::wstring> getGroupMembers(const std::wstring& group) override;
    std::wstring getDomainName() override;
    std::wstring getDomainDnsName() override;
    std::wstring getFullyQualifiedName(const std::wstring& name) override;
    VSID getAccountSid(const std::wstring& name, const std::wstring& server) override;
    std::wstring getServerName(const std::wstring& name) override;
};

// A machine in an Active Directory domain. The panel's own local accounts are still
// answered locally; everyone else's memberships come from the management service, or from
// the domain's server when the process runs as LocalSystem.
class ADUserInformation : public LocalUserInformation {
public:
    ADUserInformation(std::wstring domainName, std::wstring domainDnsName);

    bool isGroupMember(const std::wstring& group, const std::wstring& user) override;
    std::wstring getDomainName() override;
    std::wstring getDomainDnsName() override;
    // "DOMAIN\name"; a name that already has a domain is returned unchanged.
    std::wstring getFullyQualifiedName(const std::wstring& name) override;
    // The domain controller's name ("\\DC1").
    std::wstring getServerName(const std::wstring& name) override;

private:
    std::wstring domainName_;
    std::wstring domainDnsName_;
};

// Whether the configuration value "active_directory_mode" is set.
bool isActiveDirectoryMode();

// The Active Directory implementation in Active Directory mode, the local one otherwise.
std::shared_ptr<IUserInformation> createUserInformation();
