#pragma once

#include <memory>
#include <string>

namespace vpipechannel {
class client;
}

// The process-wide client of the management service "tarvosrv": settings, the database
// password and group membership, asked over the service's named pipe. Any thread may call
// it; whole exchanges are serialised, so answers never cross between threads.
class TarvoSrvClient {
public:
    // Created on first use; its construction connects the pipe, so a failed connect fails
    // this call and the next one tries again.
    static TarvoSrvClient& getInstance();

    std::wstring getString(const std::wstring& name);
    std::wstring getPassword(const std::wstring& name);
    // Whether the service counts user as a member of group.
    bool isGroupMemberUser(const std::wstring& group, const std::wstring& user);

    TarvoSrvClient(const TarvoSrvClient&) = delete;
    TarvoSrvClient& operator=(const TarvoSrvClient&) = delete;
    ~TarvoSrvClient();

private:
    TarvoSrvClient();

    std::unique_ptr<vpipechannel::client> channel_;
};
