#pragma once

#include <windows.h>

// The event-log calls, replaceable as a whole: some platforms accept reports
// without storing them, so tests substitute a table that records what was reported.
struct EventLogApi {
    HANDLE(WINAPI* registerEventSource)(LPCWSTR server, LPCWSTR source);
    BOOL(WINAPI* reportEvent)(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user,
                              WORD stringCount, DWORD dataSize, LPCWSTR* strings, LPVOID data);
    BOOL(WINAPI* deregisterEventSource)(HANDLE source);
};

// The table in use; starts with the platform's own calls.
EventLogApi& eventLogApi();

#include "runtime/Handle.h"

struct EventSourceTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type source) noexcept { eventLogApi().deregisterEventSource(source); }
};
using UniqueEventSource = UniqueResource<EventSourceTraits>;
