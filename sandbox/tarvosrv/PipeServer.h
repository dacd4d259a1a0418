#pragma once

#include "runtime/Handle.h"

#include <string>
#include <vector>

namespace tarvosrv {

// Listens on a message-mode named pipe and serves each client on its own thread until the
// stop event is set.
class PipeServer {
public:
    PipeServer(std::wstring pipePath, HANDLE stopEvent);
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;
    ~PipeServer();

    // Creates the first pipe instance (so clients can connect from now on) and the listener
    // thread. Returns ERROR_SUCCESS or the Win32 error; ERROR_ACCESS_DENIED when another server
    // already owns the pipe name.
    DWORD start();
    // Returns once the stop event is set and every connection has ended.
    void join();

private:
    static DWORD WINAPI listenerMain(void* self);
    static DWORD WINAPI connectionMain(void* connection);
    void acceptClients();
    UniqueFileHandle createInstance(bool first);
    void serve(UniqueFileHandle pipe);
    void converse(HANDLE pipe);
    void pruneFinishedConnections();

    std::wstring m_pipePath;
    HANDLE m_stopEvent;
    UniqueHandle m_nameClaim;
    UniqueLocalMemory m_securityDescriptor;
    UniqueFileHandle m_firstInstance;
    UniqueHandle m_listener;
    std::vector<UniqueHandle> m_connections; // their threads
};

} // namespace tarvosrv
