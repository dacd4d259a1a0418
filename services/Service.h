#pragma once

#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

// The system's access to Windows services. Every operation opens its own connection to
// the Service Control Manager of machine/database (null: the local active database) and
// closes it again; failures raise vexceptions (runtime/Exception.h).
namespace service {

// Ordered service names owned by the caller; operations only append.
using NameList = std::vector<std::wstring>;

// Effective status as the tray and the tree show it.
enum EffectiveStatus : int {
    statusStarted = 0,  // start pending, running, continue pending
    statusStopped = 1,  // anything else
    statusDisabled = 2, // not active and start type disabled
};

// Progress phases reported to a ServiceProgressCallback.
enum ProgressPhase : int {
    progressDependencies = 0, // the dependencies or dependents are about to be collected
    progressStarting = 1,
    progressStopping = 2,
};

// Called by startStopService for the service it was given (never for the others it
// handles on the way); the result is ignored.
typedef DWORD(CALLBACK* ServiceProgressCallback)(int phase, const wchar_t* name, void* context);

// Fills status; returns 0 (failures raise).
DWORD queryStatusService(SERVICE_STATUS& status, const wchar_t* name, const wchar_t* machine = nullptr,
                         const wchar_t* database = nullptr);

// Start pending, running or continue pending.
bool isActive(const wchar_t* name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

EffectiveStatus effStatus(const wchar_t* name, const wchar_t* machine = nullptr,
                          const wchar_t* database = nullptr);

// False when the service is not installed.
bool exist(const wchar_t* name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

// What one listing of the services tells of a service.
struct ServiceState {
    bool installed = false;
    std::wstring displayName; // as configured; "" when it has none or is not installed
    EffectiveStatus status = statusStopped;
};

// The state of each of names, in the same order, from one listing of the Win32 services on
// one connection; names compare without regard to case. The start type is read, on the same
// connection, only for services that are not active, and for the local manager kept until the
// manager's configuration changes. A listed service whose configuration cannot be read (also
// one removed since the listing) counts as disabled.
std::vector<ServiceState> queryStates(const NameList& names, const wchar_t* machine = nullptr,
                                      const wchar_t* database = nullptr);

DWORD serviceStartupType(const wchar_t* name, const wchar_t* machine = nullptr,
                         const wchar_t* database = nullptr);
// The start type of a local service as kept by queryStates until the manager's configuration
// changes, else read and kept; raises as serviceStartupType.
DWORD keptStartType(const std::wstring& name);
// Whether the local service starts automatically, from the kept start type; false when it cannot
// be read.
bool startsAutomatically(const std::wstring& name) noexcept;
// The effective status of a local service in currentState (as a notification tells it), by the
// rules of queryStates: the kept start type tells stopped from disabled, and a service whose
// start type cannot be read counts as disabled.
EffectiveStatus statusInState(const std::wstring& name, DWORD currentState) noexcept;

// "" when the configuration has no display name.
std::wstring serviceDisplayName(const wchar_t* name, const wchar_t* machine, const wchar_t* database);
std::wstring serviceDisplayName(const std::wstring& name);

// Appends the services (and "+"-prefixed load-order groups) that name depends on, in
// configuration order.
void serviceDependencies(NameList& names, const wchar_t* name, const wchar_t* machine = nullptr,
                         const wchar_t* database = nullptr);

// Appends the dependents of name in the given state (SERVICE_ACTIVE, SERVICE_INACTIVE or
// SERVICE_STATE_ALL), in the order the Service Control Manager lists them.
void dependentServices(NameList& names, const wchar_t* name, DWORD state, const wchar_t* machine = nullptr,
                       const wchar_t* database = nullptr);

// Sends SERVICE_CONTROL_STOP, _PAUSE or _CONTINUE and waits until the service reaches the
// state the control leads to. Returns 0 on success (also for stopping a service that is
// not installed, not active or does not accept a stop), else a Win32 error code
// (ERROR_TIMEOUT when the service stopped making progress).
DWORD controlService(DWORD control, const wchar_t* name, const wchar_t* machine = nullptr,
                     const wchar_t* database = nullptr);

// Brings the service to running (starting it, or finishing a pending transition, or
// continuing it when paused) and waits. Returns 0 when it runs, else a nonzero code: the
// control's result, ERROR_TIMEOUT, the service's exit code, or its state.
DWORD startService(const wchar_t* name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

// Starts the service after everything it depends on, or stops it after its active
// dependents; stopped receives every dependent stopped on the way. Does nothing when the
// service is already active (start) or inactive (stop). Raises on failure.
void startStopService(const wchar_t* name, bool start, const wchar_t* machine, const wchar_t* database,
                      ServiceProgressCallback callback = nullptr, void* context = nullptr,
                      NameList* stopped = nullptr);

// Sleeps alertably for the full interval: asynchronous procedure calls queued to the
// thread run meanwhile without cutting the sleep short, unless they cancel the thread
// (VCanceledException).
void cancellableSleep(DWORD milliseconds);

// Writes the fields of status to the log (level Info), one line each.
void dumpServiceStatus(const SERVICE_STATUS& status);

} // namespace service
