#include "PipeServer.h"

#include "Responder.h"

#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <memory>

namespace tarvosrv {

namespace {

// Requests larger than this are not read; the connection is closed instead.
constexpr uint32_t maxRequestBytes = 1024 * 1024;
constexpr DWORD pipeBufferBytes = 64 * 1024;
constexpr DWORD instanceRetryMs = 200;

// Network logons are refused; everyone local may connect; only the system and administrators
// may create further instances of the pipe.
const wchar_t* const pipeSecurity = L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;WD)";

void logLine(const wchar_t* text, DWORD code = 0)
{
    if (code != 0)
        fwprintf(stderr, L"tarvosrv: %ls (error %lu)\n", text, code);
    else
        fwprintf(stderr, L"tarvosrv: %ls\n", text);
    fflush(stderr);
}

enum class Io { Done, Ended, Malformed, Stopped };

// One exact-length transfer on the overlapped pipe. A message of another length than asked is
// Malformed; a closed or broken pipe is Ended.
Io transfer(HANDLE pipe, HANDLE event, HANDLE stop, bool write, void* buffer, DWORD length)
{
    OVERLAPPED ov{};
    ov.hEvent = event;
    ResetEvent(event);
    const BOOL ok = write ? WriteFile(pipe, buffer, length, nullptr, &ov) : ReadFile(pipe, buffer, length, nullptr, &ov);
    const DWORD started = ok ? ERROR_SUCCESS : GetLastError();
    if (started != ERROR_SUCCESS && started != ERROR_IO_PENDING && started != ERROR_MORE_DATA)
        return Io::Ended;
    DWORD done = 0;
    if (started == ERROR_IO_PENDING) {
        const HANDLE waits[] = {event, stop};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &ov, &done, TRUE);
            return Io::Stopped;
        }
    }
    if (!GetOverlappedResult(pipe, &ov, &done, FALSE))
        return GetLastError() == ERROR_MORE_DATA ? Io::Malformed : Io::Ended;
    return done == length ? Io::Done : Io::Malformed;
}

struct Connection {
    PipeServer* server;
    UniqueFileHandle pipe;
};

} // namespace

PipeServer::PipeServer(std::wstring pipePath, HANDLE stopEvent)
    : m_pipePath(std::move(pipePath)), m_stopEvent(stopEvent)
{
}

PipeServer::~PipeServer()
{
    if (m_listener) {
        SetEvent(m_stopEvent);
        join();
    }
}

DWORD PipeServer::start()
{
    // Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE, so a named mutex claims the pipe name
    // as well; without it a second server would silently share the clients.
    std::wstring claimName = L"Global\\tarvosrv_sandbox_" + m_pipePath;
    for (size_t i = 7; i < claimName.size(); ++i) // pipe names are case-blind, mutex names are not
        claimName[i] = claimName[i] == L'\\' ? L'_' : towlower(claimName[i]);
    m_nameClaim.reset(CreateMutexW(nullptr, FALSE, claimName.c_str()));
    if (!m_nameClaim)
        return GetLastError();
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        m_nameClaim.reset();
        return ERROR_ACCESS_DENIED;
    }

    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(pipeSecurity, SDDL_REVISION_1, &sd, nullptr))
        return GetLastError();
    m_securityDescriptor.reset(sd);

    m_firstInstance = createInstance(true);
    if (!m_firstInstance)
        return GetLastError();
    m_listener.reset(CreateThread(nullptr, 0, listenerMain, this, 0, nullptr));
    if (!m_listener) {
        const DWORD error = GetLastError();
        m_firstInstance.reset();
        return error;
    }
    return ERROR_SUCCESS;
}

void PipeServer::join()
{
    if (m_listener)
        WaitForSingleObject(m_listener.get(), INFINITE);
    m_listener.reset();
}

DWORD WINAPI PipeServer::listenerMain(void* self)
{
    static_cast<PipeServer*>(self)->acceptClients();
    return 0;
}

UniqueFileHandle PipeServer::createInstance(bool first)
{
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = m_securityDescriptor.get();
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    return UniqueFileHandle(CreateNamedPipeW(m_pipePath.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES,
                                         pipeBufferBytes, pipeBufferBytes, 0, &sa));
}

void PipeServer::acceptClients()
{
    UniqueFileHandle instance = std::move(m_firstInstance);
    const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (;;) {
        if (!instance) {
            instance = createInstance(false);
            if (!instance) {
                logLine(L"cannot create a pipe instance", GetLastError());
                if (WaitForSingleObject(m_stopEvent, instanceRetryMs) == WAIT_OBJECT_0)
                    break;
                continue;
            }
        }
        if (WaitForSingleObject(m_stopEvent, 0) == WAIT_OBJECT_0)
            break;

        OVERLAPPED ov{};
        ov.hEvent = event.get();
        ResetEvent(event.get());
        DWORD result = ConnectNamedPipe(instance.get(), &ov) ? ERROR_SUCCESS : GetLastError();
        if (result == ERROR_IO_PENDING) {
            const HANDLE waits[] = {event.get(), m_stopEvent};
            DWORD unused = 0;
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIo(instance.get());
                GetOverlappedResult(instance.get(), &ov, &unused, TRUE);
                break;
            }
            result = GetOverlappedResult(instance.get(), &ov, &unused, FALSE) ? ERROR_SUCCESS : GetLastError();
        }
        if (result == ERROR_SUCCESS || result == ERROR_PIPE_CONNECTED) {
            serve(std::move(instance));
            continue;
        }
        // ERROR_NO_DATA: the client connected and left already; anything else: start afresh.
        if (result != ERROR_NO_DATA)
            logLine(L"waiting for a client failed", result);
        instance.reset();
    }

    for (UniqueHandle& connection : m_connections)
        WaitForSingleObject(connection.get(), INFINITE);
    m_connections.clear();
}

DWORD WINAPI PipeServer::connectionMain(void* param)
{
    const std::unique_ptr<Connection> connection(static_cast<Connection*>(param));
    connection->server->converse(connection->pipe.get());
    return 0;
}

void PipeServer::pruneFinishedConnections()
{
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (WaitForSingleObject(it->get(), 0) == WAIT_OBJECT_0)
            it = m_connections.erase(it);
        else
            ++it;
    }
}

void PipeServer::serve(UniqueFileHandle pipe)
{
    pruneFinishedConnections();
    auto connection = std::make_unique<Connection>(Connection{this, std::move(pipe)});
    UniqueHandle thread(CreateThread(nullptr, 0, connectionMain, connection.get(), 0, nullptr));
    if (!thread) {
        logLine(L"cannot start a connection thread", GetLastError());
        return; // the pipe closes with `connection`
    }
    connection.release();
    m_connections.push_back(std::move(thread));
}

void PipeServer::converse(HANDLE pipe)
{
    const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return;
    const auto move = [&](bool write, void* buffer, DWORD length) {
        return transfer(pipe, event.get(), m_stopEvent, write, buffer, length);
    };

    for (;;) {
        unsigned char prefix[4];
        Io io = move(false, prefix, sizeof(prefix));
        if (io == Io::Malformed)
            logLine(L"closing a client: the length message is not 4 bytes");
        if (io != Io::Done)
            return;
        const uint32_t length = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<uint32_t>(prefix[3]) << 24;
        if (length > maxRequestBytes) {
            logLine(L"closing a client: the request length is too large");
            return;
        }
        std::string request(length, '\0');
        if (length > 0) {
            io = move(false, &request[0], length);
            if (io == Io::Malformed)
                logLine(L"closing a client: the body message does not have the announced length");
            if (io != Io::Done)
                return;
        }

        Reply reply = respond(request, pipe);
        if (reply.delayMs > 0 && WaitForSingleObject(m_stopEvent, reply.delayMs) == WAIT_OBJECT_0)
            return;
        if (reply.action == Reply::Action::Close)
            return;
        if (!reply.messages.empty()) {
            for (std::string& message : reply.messages)
                if (move(true, &message[0], static_cast<DWORD>(message.size())) != Io::Done)
                    return;
            continue;
        }

        const uint32_t replyLength = static_cast<uint32_t>(reply.body.size());
        unsigned char replyPrefix[4];
        for (int i = 0; i < 4; ++i)
            replyPrefix[i] = static_cast<unsigned char>(replyLength >> (8 * i));
        if (move(true, replyPrefix, sizeof(replyPrefix)) != Io::Done)
            return;
        if (replyLength > 0 && move(true, &reply.body[0], replyLength) != Io::Done)
            return;
    }
}

} // namespace tarvosrv
