#pragma once

#include "runtime/Serializer.h"
#include "runtime/Handle.h"

#include <windows.h>

#include <memory>
#include <string>

namespace Con {

// The calls that tests replace: the pause between connect attempts (SleepEx), so that a test
// can run the client on a clock of its own; the opening of the pipe (CreateFileW), so that a
// test can see what the server is allowed to do with the client's identity where the platform
// does not enforce it; and whether the process serving a pipe may be trusted with this
// program's requests and answers, so that a test can be refused by a server it starts itself.
struct PipeApi {
    DWORD(WINAPI* connectPause)(DWORD milliseconds, BOOL alertable);
    HANDLE(WINAPI* openPipe)(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile);
    bool (*isTrustedServer)(HANDLE pipe);
};
PipeApi& pipeApi();
// Whether the process serving pipe runs with a trusted token.
bool isTrustedPipeServer(HANDLE pipe);
// Whether token (opened with TOKEN_QUERY and TOKEN_DUPLICATE) is LocalSystem's or holds
// Administrators enabled: a group that only denies access makes no member.
bool isTrustedToken(HANDLE token);

// The client end of a message-mode named pipe, opened for overlapped I/O. Every transfer
// moves exactly the bytes asked for and waits until it completes, at most timeoutMs.
class ClientOverlappedPipe {
public:
    static constexpr DWORD defaultTimeoutMs = 30000;

    // Connects to pipeName (e.g. "\\.\pipe\kzopipe") in up to tries attempts: a pipe that
    // does not exist yet is tried again after 500 ms, one whose instances are all busy
    // as soon as an instance frees (up to 1 s) or after 50 ms; any other error fails at
    // once. The server may only identify the client, never act as it, and must pass
    // pipeApi().isTrustedServer. The handle is switched to message read mode.
    static std::unique_ptr<ClientOverlappedPipe> create(const std::wstring& pipeName, int tries,
                                                        DWORD timeoutMs = defaultTimeoutMs);

    ClientOverlappedPipe(UniqueFileHandle handle, std::wstring pipeName, DWORD timeoutMs = defaultTimeoutMs);

    // False once a transfer timed out: the connection is closed then.
    bool isValid() const;
    // Set once a transfer met the end of the pipe (errors 38, 109, 232); such a transfer
    // moves nothing and raises nothing.
    bool isFinished() const { return finished_; }

    void write(const void* bytes, DWORD size);
    void read(void* bytes, DWORD size);

private:
    void transfer(bool writing, void* bytes, DWORD size);

    UniqueFileHandle handle_;
    UniqueHandle event_;
    std::wstring pipeName_;
    DWORD timeoutMs_;
    bool finished_ = false;
};

} // namespace Con

namespace vpipechannel {

// Request and reply over the management pipe. Each is a 4-byte length message followed by
// a body message of that length (no body message for length 0).
class client {
public:
    // The largest reply accepted; the length comes from whatever holds the pipe, so it is
    // checked before anything is allocated.
    static constexpr uint32_t maxReplyBytes = 16 * 1024 * 1024;

    // The pipe name is the string value pipeValueName under HKLM\registryKey (32-bit view),
    // read anew at every connect.
    client(std::wstring registryKey, std::wstring pipeValueName);
    ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    // Connects unless a pipe is open, with the "PipeConnectTryCount" attempts (defaultTries
    // when not configured).
    void ensureConnected(int defaultTries);

    // How long one read or write of an exchange may take; applies from the next connection.
    void setTransferTimeout(DWORD timeoutMs) { timeoutMs_ = timeoutMs; }

    // One exchange: the method's identifier block and the arguments out, the reply body
    // back. A failed exchange is logged and tried once more over a new connection.
    std::unique_ptr<vserializer> query(const GUID& method, const vserializer& arguments);

private:
    std::unique_ptr<vserializer> exchange(const GUID& method, const vserializer& arguments);
    std::wstring pipeName() const;

    std::unique_ptr<Con::ClientOverlappedPipe> pipe_;
    std::wstring registryKey_;
    std::wstring pipeValueName_;
    DWORD timeoutMs_ = Con::ClientOverlappedPipe::defaultTimeoutMs;
    CRITICAL_SECTION lock_;
};

} // namespace vpipechannel
