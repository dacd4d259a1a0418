#include "panel/TarvoSrvClient.h"

#include "runtime/Config.h"
#include "runtime/PipeChannel.h"
#include "runtime/Guard.h"

namespace {

// {50A1A607-50B9-4DB3-92EC-B940EB87F8FF}
constexpr GUID getPasswordMethod = {0x50A1A607, 0x50B9, 0x4DB3, {0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}};
// {AD3EBC3C-E6B9-4FCF-ABB9-ED1B3D524F22}
constexpr GUID getStringMethod = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
// {B07C2393-342B-4135-8158-48F33A485C42}
constexpr GUID isGroupMemberUserMethod = {0xB07C2393, 0x342B, 0x4135,
                                          {0x81, 0x58, 0x48, 0xF3, 0x3A, 0x48, 0x5C, 0x42}};

constexpr int defaultConnectTries = 10;

} // namespace

TarvoSrvClient::TarvoSrvClient() : channel_(std::make_unique<vpipechannel::client>(CONFIG_ROOT_KEY, L"kzopipe"))
{
    channel_->ensureConnected(defaultConnectTries);
}

TarvoSrvClient::~TarvoSrvClient() = default;

TarvoSrvClient& TarvoSrvClient::getInstance()
{
    return *guarded({"TarvoSrvClient::getInstance", __LINE__}, []() -> TarvoSrvClient* {
        // A constructor that throws leaves the instance uncreated: the next call tries again.
        static TarvoSrvClient instance;
        return &instance;
    }, L"Unable to call getInstance()");
}

std::wstring TarvoSrvClient::getPassword(const std::wstring& name)
{
    return guarded({"TarvoSrvClient::getPassword", __LINE__}, [&] {
        vserializer arguments;
        arguments.writeString(name);
        return channel_->query(getPasswordMethod, arguments)->readString();
    }, L"Unable to call getPassword('%s')", name);
}

std::wstring TarvoSrvClient::getString(const std::wstring& name)
{
    return guarded({"TarvoSrvClient::getString", __LINE__}, [&] {
        vserializer arguments;
        arguments.writeString(name);
        return channel_->query(getStringMethod, arguments)->readString();
    }, L"Unable to call getString(%s)", name);
}

bool TarvoSrvClient::isGroupMemberUser(const std::wstring& group, const std::wstring& user)
{
    return guarded({"TarvoSrvClient::isGroupMemberUser", __LINE__}, [&] {
        vserializer arguments;
        arguments.writeString(group);
        arguments.writeString(user);
        return channel_->query(isGroupMemberUserMethod, arguments)->readUInt32() != 0;
    }, L"Unable to call isGroupMemberUser('%s', '%s')", group, user);
}
