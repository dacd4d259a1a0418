#pragma once
// Services watched through the Service Control Manager's change notifications. They arrive as
// asynchronous calls to the thread that set the watch up, whenever it waits alertably, so a
// watch belongs to that one thread (an operation worker, whose idle wait is alertable).
#include "runtime/Handle.h"

#include <windows.h>
#include <winsvc.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace service {

// What a notification tells of a service.
struct StatusChange {
    std::wstring name;
    SERVICE_STATUS_PROCESS status;
    // The service ran and is now stopped: it ended on its own, failed or was stopped from outside.
    bool stoppedAfterRunning;
};

class ServiceWatch {
public:
    using Listener = std::function<void(const StatusChange&)>;

    // listener is called on the watching thread, first with each service's current state.
    explicit ServiceWatch(Listener listener);
    ~ServiceWatch();
    ServiceWatch(const ServiceWatch&) = delete;
    ServiceWatch& operator=(const ServiceWatch&) = delete;

    // Watches name from now on. False when the manager gives no notification for it (not
    // installed, marked for deletion, or no notifications at all): the caller polls it then and
    // may try again later.
    bool watch(const std::wstring& name);
    // Whether name is watched and notifications for it do come (a manager may take the request
    // and never answer it).
    bool watching(const std::wstring& name) const;
    // Ends the watch of every service that names does not hold.
    void keepOnly(const std::set<std::wstring>& names);

private:
    struct Entry;
    static void CALLBACK notified(void* parameter);
    // Asks for the next change, any but to the state the service is in; false when refused.
    static bool renew(Entry& entry, DWORD currentState);
    void retire(std::unique_ptr<Entry> entry);

    Listener listener_;
    UniqueServiceHandle manager_;
    std::map<std::wstring, std::unique_ptr<Entry>> entries_;
    // A notification already queued to the thread may still arrive for a closed watch.
    std::vector<std::unique_ptr<Entry>> retired_;
};

} // namespace service
