#include "services/Service.h"

#include "runtime/Exception.h"
#include "runtime/Guard.h"
#include "runtime/Handle.h"
#include "runtime/LogManager.h"
#include "runtime/RegistryWatch.h"
#include "runtime/Strings.h"
#include "runtime/ThreadCancelation.h"
#include "runtime/VMutex.h"
#include "services/ServiceApi.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <map>

// The helpers sit outside namespace service: the error texts name the manager's constructor
// "`anonymous-namespace'::servicemanager::servicemanager".
namespace {

using namespace service;

constexpr DWORD kConfigBufferSize = 260;
constexpr DWORD kStandardQueryAccess = STANDARD_RIGHTS_REQUIRED | SERVICE_QUERY_STATUS;
// Give up on a pending service this long after its last progress: its wait hint plus
// this grace, but never more than the hard limit.
constexpr ULONGLONG kPendingGraceMs = 300000;
constexpr DWORD kPendingLimitMs = 600000;
constexpr int kChangeWaitQueries = 60;
constexpr DWORD kChangeWaitSleepMs = 1000;

std::wstring quoted(const wchar_t* call, const wchar_t* name)
{
    return std::wstring(call) + L" '" + (name ? name : L"") + L"'";
}

[[noreturn]] void raise(DWORD error, const std::wstring& where, const char* function, int line)
{
    throwOSError(where.c_str(), error, {L"", function, line});
}

// The connection to the Service Control Manager that every operation holds.
class servicemanager {
public:
    servicemanager(DWORD access, const wchar_t* machine, const wchar_t* database)
        : handle_(openManager(machine, database, access))
    {
        if (!handle_)
            WL_THROW_LAST_ERROR(L"OpenSCManager");
    }

    // The service, or null with the thread's last error set.
    UniqueServiceHandle tryOpen(const wchar_t* name, DWORD access) const
    {
        return UniqueServiceHandle(serviceApi().openService(handle_.get(), name, access));
    }

    SC_HANDLE get() const noexcept { return handle_.get(); }

    UniqueServiceHandle open(const wchar_t* name, DWORD access, const char* function, int line) const
    {
        UniqueServiceHandle service = tryOpen(name, access);
        if (!service) {
            const DWORD error = GetLastError();
            raise(error, quoted(L"OpenService", name), function, line);
        }
        return service;
    }

private:
    UniqueServiceHandle handle_;
};

bool activeState(DWORD state)
{
    return state == SERVICE_START_PENDING || state == SERVICE_RUNNING || state == SERVICE_CONTINUE_PENDING;
}

void queryStatus(SC_HANDLE service, SERVICE_STATUS& status, const wchar_t* name, const char* function, int line)
{
    if (!QueryServiceStatus(service, &status)) {
        const DWORD error = GetLastError();
        raise(error, quoted(L"QueryServiceStatus", name), function, line);
    }
}

// Reads the configuration of name on manager's connection, growing the buffer to the size
// the manager asks for.
std::vector<BYTE> readConfig(const servicemanager& manager, const wchar_t* name, const char* function)
{
    const UniqueServiceHandle service = manager.open(name, SERVICE_QUERY_CONFIG, function, __LINE__);
    std::vector<BYTE> buffer;
    DWORD size = kConfigBufferSize;
    for (;;) {
        buffer.assign(size, 0);
        DWORD needed = 0;
        if (serviceApi().queryServiceConfig(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                            size, &needed))
            return buffer;
        const DWORD error = GetLastError();
        // A needed size that does not grow would ask again for ever.
        if (error != ERROR_INSUFFICIENT_BUFFER || needed <= size)
            raise(error, quoted(L"query service config", name), function, __LINE__);
        size = needed;
    }
}

// Hands the configuration of name, read on a connection of its own, to take.
template <typename Take>
auto withConfig(const wchar_t* name, const wchar_t* machine, const wchar_t* database, const char* function,
                Take take)
{
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    const std::vector<BYTE> buffer = readConfig(manager, name, function);
    return take(*reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data()));
}

// Service names compare as the manager compares them: without regard to case.
struct NoCaseLess {
    bool operator()(const std::wstring& left, const std::wstring& right) const
    {
        return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                    static_cast<int>(right.size()), TRUE) == CSTR_LESS_THAN;
    }
};

// Hands every Win32 service the manager lists, with its state and display name, to take.
template <typename Take>
void enumerateServices(const servicemanager& manager, const char* function, Take take)
{
    // The manager's call carries the whole buffer back and forth, however few services fill it
    // (a 4 MB buffer takes a quarter of a second under Wine): it is as large as the last listing
    // needed, with room for some more services.
    static std::atomic<size_t> fitting{4096};
    constexpr size_t room = 2048;
    std::vector<BYTE> buffer(fitting.load(std::memory_order_relaxed));
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0, count = 0;
        const BOOL complete = EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                                    SERVICE_STATE_ALL, buffer.data(),
                                                    static_cast<DWORD>(buffer.size()), &needed, &count, &resume,
                                                    nullptr);
        const DWORD error = complete ? NO_ERROR : GetLastError();
        if (!complete && error != ERROR_MORE_DATA)
            raise(error, L"EnumServicesStatusEx", function, __LINE__);
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
            take(entries[i]);
        if (complete)
            return;
        // The rest follows from the resume point; a larger buffer also ends the listing
        // where a manager starts again from the first service.
        buffer.resize(std::max<size_t>(buffer.size(), needed + room));
        fitting.store(buffer.size(), std::memory_order_relaxed);
    }
}

// The start types queryStates has read from the local manager, kept until a service's
// configuration may have changed: the manager keeps it below the registry key Services, whose
// changes the registry announces. Saves reading the configuration of every stopped service
// at every refresh. Any thread may call; the object guards its map with its one lock.
class StartTypeCache {
public:
    static StartTypeCache& instance()
    {
        // Never destroyed: a worker may still ask while the process's statics are torn down.
        static StartTypeCache* const cache = new StartTypeCache;
        return *cache;
    }

    // Forgets every start type kept when the configuration has changed since the last call;
    // once per listing, as the look is a call into the system.
    void forgetIfChanged()
    {
        const ExclusiveLock lock(lock_);
        if (changed_.changed())
            types_.clear();
    }

    // The start type of name as kept, else read with read() and kept.
    template <typename Read>
    DWORD startType(const std::wstring& name, Read read)
    {
        {
            const ExclusiveLock lock(lock_);
            const auto found = types_.find(name);
            if (found != types_.end())
                return found->second;
        }
        // Read without the lock: it waits on the manager.
        const DWORD type = read();
        const ExclusiveLock lock(lock_);
        types_[name] = type;
        return type;
    }

private:
    StartTypeCache() = default;

    SRWLOCK lock_ = SRWLOCK_INIT;
    // Below it the manager keeps the services' configuration.
    RegistryWatch changed_{L"SYSTEM\\CurrentControlSet\\Services", KEY_NOTIFY, true,
                           REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET};
    std::map<std::wstring, DWORD, NoCaseLess> types_;
};

DWORD pollInterval(DWORD waitHint)
{
    return std::max<DWORD>(1000, std::min<DWORD>(waitHint / 10, 10000));
}

// Waits while the service stays in pending, as long as it keeps raising its checkpoint.
// Returns NO_ERROR when the state has moved on, ERROR_TIMEOUT when the service made no
// progress for longer than its wait hint plus the grace (or the hard limit), or the error
// of a failing status query when raiseOnQueryFailure is false.
DWORD waitWhilePending(SC_HANDLE service, SERVICE_STATUS& status, DWORD pending, const wchar_t* name,
                       bool raiseOnQueryFailure, const char* function)
{
    const ServiceApi& api = serviceApi();
    DWORD referenceTime = api.getTickCount();
    DWORD referenceCheckpoint = status.dwCheckPoint;
    while (status.dwCurrentState == pending) {
        cancellableSleep(pollInterval(status.dwWaitHint));
        if (!QueryServiceStatus(service, &status)) {
            const DWORD error = GetLastError();
            if (raiseOnQueryFailure)
                raise(error, quoted(L"QueryServiceStatus", name), function, __LINE__);
            return error;
        }
        const DWORD now = api.getTickCount();
        if (status.dwCheckPoint > referenceCheckpoint) {
            referenceTime = now;
            referenceCheckpoint = status.dwCheckPoint;
            continue;
        }
        // Unsigned difference: correct across the wrap of the tick count.
        const DWORD elapsed = now - referenceTime;
        if (status.dwCurrentState == pending
            && (elapsed > status.dwWaitHint + kPendingGraceMs || elapsed > kPendingLimitMs))
            return ERROR_TIMEOUT;
    }
    return NO_ERROR;
}

struct ControlPlan {
    DWORD right;
    DWORD pending;
    DWORD target;
};

ControlPlan planFor(DWORD control, const wchar_t* name)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return {SERVICE_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED};
    case SERVICE_CONTROL_PAUSE:
        return {SERVICE_PAUSE_CONTINUE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED};
    case SERVICE_CONTROL_CONTINUE:
        return {SERVICE_PAUSE_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING};
    default:
        throw ArgumentException(formatString(L"Unsupported control code %u for service '%s'", control, name),
                                {L"", "service::controlService", __LINE__});
    }
}

bool stopRefusalMeansDone(DWORD error)
{
    return error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_SERVICE_CONTROL;
}

DWORD controlServiceWith(const ControlPlan& plan, DWORD control, const wchar_t* name, const wchar_t* machine,
                         const wchar_t* database, SERVICE_STATUS& status)
{
    const char* const function = "service::controlService";
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    const UniqueServiceHandle service = manager.tryOpen(name, kStandardQueryAccess | plan.right);
    if (!service) {
        const DWORD error = GetLastError();
        if (control == SERVICE_CONTROL_STOP && error == ERROR_SERVICE_DOES_NOT_EXIST)
            return NO_ERROR;
        raise(error, quoted(L"OpenService", name), function, __LINE__);
    }

    queryStatus(service.get(), status, name, function, __LINE__);
    const DWORD before = status.dwCurrentState;

    if (!ControlService(service.get(), control, &status)) {
        const DWORD error = GetLastError();
        if (plan.right == SERVICE_STOP && stopRefusalMeansDone(error))
            return NO_ERROR;
        raise(error, formatString(L"ControlService '%s' with code %d", name, control), function, __LINE__);
    }

    // Give the service time to take up the control before judging its progress.
    for (int query = 0; query < kChangeWaitQueries; ++query) {
        queryStatus(service.get(), status, name, function, __LINE__);
        if (status.dwCurrentState != before)
            break;
        cancellableSleep(kChangeWaitSleepMs);
    }

    const DWORD waited = waitWhilePending(service.get(), status, plan.pending, name, false, function);
    if (status.dwCurrentState == plan.target)
        return NO_ERROR;
    const DWORD result = waited != NO_ERROR ? waited : ERROR_TIMEOUT;
    LogManager::instance().log(LOG_WARNING, L"controlService fail");
    dumpServiceStatus(status);
    return result;
}

DWORD startServiceBody(const wchar_t* name, const wchar_t* machine, const wchar_t* database, SERVICE_STATUS& status)
{
    const char* const function = "service::startService";
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    const UniqueServiceHandle service = manager.open(name, SERVICE_ALL_ACCESS, function, __LINE__);
    queryStatus(service.get(), status, name, function, __LINE__);

    bool callStart = false;
    switch (status.dwCurrentState) {
    case SERVICE_STOPPED:
        callStart = true;
        break;
    case SERVICE_STOP_PENDING: {
        // A second stop would be refused (1061): let the one under way finish, then start.
        if (const DWORD waited = waitWhilePending(service.get(), status, SERVICE_STOP_PENDING, name, true, function))
            return waited;
        callStart = status.dwCurrentState == SERVICE_STOPPED;
        break;
    }
    case SERVICE_CONTINUE_PENDING:
    case SERVICE_PAUSED:
        return controlService(SERVICE_CONTROL_CONTINUE, name, machine, database);
    case SERVICE_PAUSE_PENDING:
        if (const DWORD paused = controlService(SERVICE_CONTROL_PAUSE, name, machine, database))
            return paused;
        return controlService(SERVICE_CONTROL_CONTINUE, name, machine, database);
    default:
        break;
    }

    if (callStart) {
        if (!StartServiceW(service.get(), 0, nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_ALREADY_RUNNING)
                raise(error, quoted(L"StartService", name), function, __LINE__);
        }
        queryStatus(service.get(), status, name, function, __LINE__);
    }

    DWORD result = waitWhilePending(service.get(), status, SERVICE_START_PENDING, name, true, function);
    if (status.dwCurrentState == SERVICE_RUNNING)
        return NO_ERROR;
    if (result == NO_ERROR)
        result = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                         : status.dwWin32ExitCode;
    if (result == NO_ERROR)
        result = status.dwCurrentState;
    LogManager::instance().log(LOG_WARNING, L"StartService '%s' failed", name);
    dumpServiceStatus(status);
    return result;
}

} // namespace

namespace service {

DWORD queryStatusService(SERVICE_STATUS& status, const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    try {
        servicemanager manager(SC_MANAGER_CONNECT, machine, database);
        const UniqueServiceHandle service =
            manager.open(name, SERVICE_QUERY_STATUS, "service::queryStatusService", __LINE__);
        queryStatus(service.get(), status, name, "service::queryStatusService", __LINE__);
        return 0;
    } catch (...) {
        dumpServiceStatus(status);
        throw;
    }
}

bool isActive(const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    SERVICE_STATUS status = {};
    queryStatusService(status, name, machine, database);
    return activeState(status.dwCurrentState);
}

EffectiveStatus effStatus(const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    if (isActive(name, machine, database))
        return statusStarted;
    return serviceStartupType(name, machine, database) == SERVICE_DISABLED ? statusDisabled : statusStopped;
}

bool exist(const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    if (manager.tryOpen(name, SERVICE_QUERY_STATUS))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST)
        return false;
    raise(error, quoted(L"OpenService", name), "service::exist", __LINE__);
}

std::vector<ServiceState> queryStates(const NameList& names, const wchar_t* machine, const wchar_t* database)
{
    const char* const function = "service::queryStates";
    std::map<std::wstring, std::vector<size_t>, NoCaseLess> positions;
    for (size_t i = 0; i < names.size(); ++i)
        positions[names[i]].push_back(i);
    std::vector<ServiceState> states(names.size());

    servicemanager manager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE, machine, database);
    // Only a service that is not active can be disabled: the start type is read for those alone.
    std::map<std::wstring, const std::vector<size_t>*> inactive;
    enumerateServices(manager, function, [&](const ENUM_SERVICE_STATUS_PROCESSW& entry) {
        const auto found = positions.find(entry.lpServiceName);
        if (found == positions.end())
            return;
        const bool active = activeState(entry.ServiceStatusProcess.dwCurrentState);
        for (size_t i : found->second)
            states[i] = {true, entry.lpDisplayName ? entry.lpDisplayName : L"", active ? statusStarted : statusStopped};
        if (!active)
            inactive[entry.lpServiceName] = &found->second;
    });

    const bool local = !machine && !database;
    if (local)
        StartTypeCache::instance().forgetIfChanged();
    for (const auto& [name, at] : inactive) {
        // A configuration that cannot be read, also of a service removed since the listing,
        // shows as disabled, as the tree shows any service whose status it cannot read.
        EffectiveStatus status = statusDisabled;
        try {
            const auto read = [&, &name = name] {
                const std::vector<BYTE> buffer = readConfig(manager, name.c_str(), function);
                return reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data())->dwStartType;
            };
            if ((local ? StartTypeCache::instance().startType(name, read) : read()) != SERVICE_DISABLED)
                status = statusStopped;
        } catch (const vexception&) {
        }
        for (size_t i : *at)
            states[i].status = status;
    }
    return states;
}

DWORD serviceStartupType(const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    return withConfig(name, machine, database, "service::serviceStartupType",
                      [](const QUERY_SERVICE_CONFIGW& config) { return config.dwStartType; });
}

DWORD keptStartType(const std::wstring& name)
{
    StartTypeCache& cache = StartTypeCache::instance();
    cache.forgetIfChanged();
    return cache.startType(name, [&] { return serviceStartupType(name.c_str()); });
}

bool startsAutomatically(const std::wstring& name) noexcept
{
    try {
        return keptStartType(name) == SERVICE_AUTO_START;
    } catch (const vexception&) {
        return false;
    }
}

EffectiveStatus statusInState(const std::wstring& name, DWORD currentState) noexcept
{
    if (activeState(currentState))
        return statusStarted;
    try {
        return keptStartType(name) == SERVICE_DISABLED ? statusDisabled : statusStopped;
    } catch (const vexception&) {
        return statusDisabled;
    }
}

std::wstring serviceDisplayName(const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    return withConfig(name, machine, database, "service::serviceDisplayName",
                      [](const QUERY_SERVICE_CONFIGW& config) {
                          return std::wstring(config.lpDisplayName ? config.lpDisplayName : L"");
                      });
}

std::wstring serviceDisplayName(const std::wstring& name)
{
    return serviceDisplayName(name.c_str(), nullptr, nullptr);
}

void serviceDependencies(NameList& names, const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    withConfig(name, machine, database, "service::serviceDependencies", [&](const QUERY_SERVICE_CONFIGW& config) {
        for (const wchar_t* entry = config.lpDependencies; entry && *entry; entry += wcslen(entry) + 1)
            names.emplace_back(entry);
    });
}

void dependentServices(NameList& names, const wchar_t* name, DWORD state, const wchar_t* machine,
                       const wchar_t* database)
{
    const char* const function = "service::dependentServices";
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    const UniqueServiceHandle service = manager.open(name, SERVICE_ENUMERATE_DEPENDENTS, function, __LINE__);
    // First try room for one entry without its strings: enough when there are no dependents.
    std::vector<BYTE> buffer;
    DWORD size = sizeof(ENUM_SERVICE_STATUSW);
    DWORD count = 0;
    for (;;) {
        buffer.assign(size, 0);
        DWORD needed = 0;
        count = 0;
        if (serviceApi().enumDependentServices(service.get(), state,
                                               reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()), size,
                                               &needed, &count))
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_MORE_DATA || needed <= size)
            raise(error, quoted(L"enum dependent services of service", name), function, __LINE__);
        size = needed;
    }
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (entries[i].lpServiceName)
            names.emplace_back(entries[i].lpServiceName);
}

DWORD controlService(DWORD control, const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    const ControlPlan plan = planFor(control, name);
    SERVICE_STATUS status = {};
    try {
        return controlServiceWith(plan, control, name, machine, database, status);
    } catch (...) {
        dumpServiceStatus(status);
        throw;
    }
}

DWORD startService(const wchar_t* name, const wchar_t* machine, const wchar_t* database)
{
    return guarded(
        {"service::startService", __LINE__},
        [&] {
            SERVICE_STATUS status = {};
            try {
                return startServiceBody(name, machine, database, status);
            } catch (...) {
                dumpServiceStatus(status);
                throw;
            }
        },
        L"Unablr to call startService(%s)", name);
}

void startStopService(const wchar_t* name, bool start, const wchar_t* machine, const wchar_t* database,
                      ServiceProgressCallback callback, void* context, NameList* stopped)
{
    if (isActive(name, machine, database) == start)
        return;
    if (callback)
        callback(progressDependencies, name, context);

    NameList others;
    if (start)
        serviceDependencies(others, name, machine, database);
    else
        dependentServices(others, name, SERVICE_ACTIVE, machine, database);
    for (const std::wstring& other : others) {
        // A load-order group is no service of its own: the manager starts its members
        // together with the service that depends on it.
        if (other.empty() || other[0] == SC_GROUP_IDENTIFIERW)
            continue;
        if (!start && stopped)
            stopped->push_back(other);
        startStopService(other.c_str(), start, machine, database, nullptr, nullptr, stopped);
    }

    if (callback)
        callback(start ? progressStarting : progressStopping, name, context);
    const DWORD result =
        start ? startService(name, machine, database) : controlService(SERVICE_CONTROL_STOP, name, machine, database);
    if (result != NO_ERROR)
        raise(result, (start ? L"Start service " : L"Stop service ") + std::wstring(name),
              "service::startStopService", __LINE__);
}

void cancellableSleep(DWORD milliseconds)
{
    ThreadCancelation::CancelationPoint point(false);
    const ServiceApi& api = serviceApi();
    const DWORD start = api.getTickCount();
    for (DWORD elapsed = 0; elapsed < milliseconds; elapsed = api.getTickCount() - start) {
        ThreadCancelation::throwIfCanceled();
        api.sleepEx(milliseconds - elapsed, TRUE);
    }
    ThreadCancelation::throwIfCanceled();
}

void dumpServiceStatus(const SERVICE_STATUS& status)
{
    LogManager& log = LogManager::instance();
    log.log(LOG_INFO, L"  Service Type: 0x%x", status.dwServiceType);
    log.log(LOG_INFO, L"  Controls Accepted: 0x%x", status.dwControlsAccepted);
    log.log(LOG_INFO, L"  Current State: %d", status.dwCurrentState);
    log.log(LOG_INFO, L"  Exit Code: %d", status.dwWin32ExitCode);
    log.log(LOG_INFO, L"  Service Specific Exit Code: %d", status.dwServiceSpecificExitCode);
    log.log(LOG_INFO, L"  Check Point: %d", status.dwCheckPoint);
    log.log(LOG_INFO, L"  Wait Hint: %d", status.dwWaitHint);
}

} // namespace service
