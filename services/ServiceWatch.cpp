#include "services/ServiceWatch.h"

#include "runtime/Exception.h"
#include "services/ServiceApi.h"

namespace service {

namespace {

constexpr DWORD everyState = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_START_PENDING | SERVICE_NOTIFY_STOP_PENDING |
                             SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_CONTINUE_PENDING | SERVICE_NOTIFY_PAUSE_PENDING |
                             SERVICE_NOTIFY_PAUSED | SERVICE_NOTIFY_DELETE_PENDING;

// The notification bit of a state (SERVICE_STOPPED 1 ... SERVICE_PAUSED 7).
DWORD notifyBit(DWORD state)
{
    return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED ? 1u << (state - 1) : 0;
}

} // namespace

struct ServiceWatch::Entry {
    ServiceWatch* owner;
    std::wstring name;
    UniqueServiceHandle service;
    SERVICE_NOTIFYW notify{};
    bool running = false;
    bool notified = false; // a notification has come: the manager does notify
};

ServiceWatch::ServiceWatch(Listener listener) : listener_(std::move(listener)) {}

ServiceWatch::~ServiceWatch() = default;

bool ServiceWatch::watching(const std::wstring& name) const
{
    const auto found = entries_.find(name);
    return found != entries_.end() && found->second->service && found->second->notified;
}

bool ServiceWatch::watch(const std::wstring& name)
{
    const auto found = entries_.find(name);
    if (found != entries_.end()) {
        if (found->second->service)
            return true;
        // Its last notification has come, or its registration was refused: nothing is pending.
        entries_.erase(found);
    }
    if (!manager_)
        manager_.reset(openManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    auto entry = std::make_unique<Entry>();
    entry->owner = this;
    entry->name = name;
    entry->service.reset(manager_ ? serviceApi().openService(manager_.get(), name.c_str(), SERVICE_QUERY_STATUS)
                                  : nullptr);
    entry->notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    entry->notify.pfnNotifyCallback = &ServiceWatch::notified;
    entry->notify.pContext = entry.get();
    // Asked for every state, the first notification tells the current one.
    if (!entry->service || !renew(*entry, 0))
        return false;
    entries_.emplace(name, std::move(entry));
    return true;
}

void ServiceWatch::keepOnly(const std::set<std::wstring>& names)
{
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        if (names.count(entry->first)) {
            ++entry;
            continue;
        }
        retire(std::move(entry->second));
        entry = entries_.erase(entry);
    }
}

void ServiceWatch::retire(std::unique_ptr<Entry> entry)
{
    entry->service.reset();
    retired_.push_back(std::move(entry));
}

bool ServiceWatch::renew(Entry& entry, DWORD currentState)
{
    if (NotifyServiceStatusChangeW(entry.service.get(), everyState & ~notifyBit(currentState), &entry.notify) ==
        ERROR_SUCCESS)
        return true;
    // Marked for deletion, or refused: the handle goes, so that the service can be removed.
    entry.service.reset();
    return false;
}

void CALLBACK ServiceWatch::notified(void* parameter)
{
    Entry& entry = *static_cast<Entry*>(static_cast<SERVICE_NOTIFYW*>(parameter)->pContext);
    if (!entry.service)
        return;
    if (entry.notify.dwNotificationStatus != ERROR_SUCCESS) {
        entry.service.reset();
        return;
    }
    entry.notified = true;
    const SERVICE_STATUS_PROCESS status = entry.notify.ServiceStatus;
    const bool stopped = entry.running && status.dwCurrentState == SERVICE_STOPPED;
    if (status.dwCurrentState != SERVICE_STOP_PENDING)
        entry.running = status.dwCurrentState == SERVICE_RUNNING;
    renew(entry, status.dwCurrentState);
    entry.owner->listener_({entry.name, status, stopped});
}

} // namespace service
