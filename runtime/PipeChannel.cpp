#include "runtime/PipeChannel.h"

#include "runtime/Config.h"
#include "runtime/LogManager.h"
#include "runtime/ThreadCancelation.h"
#include "runtime/Registry.h"
#include "runtime/VMutex.h"
#include "runtime/VSID.h"

namespace {

constexpr int defaultConnectTries = 10;
constexpr DWORD missingPipeRetryMs = 500;
constexpr DWORD busyPipeWaitMs = 1000;
constexpr DWORD busyPipeRetryMs = 50;

// What the other end closing or breaking the pipe looks like.
bool isEndOfPipe(DWORD error)
{
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
}

// The SID of a well-known account or group.
VSID wellKnownSid(WELL_KNOWN_SID_TYPE type)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    if (!CreateWellKnownSid(type, nullptr, sid, &size))
        WL_THROW_LAST_ERROR(L"CreateWellKnownSid");
    return VSID(sid);
}

} // namespace

namespace Con {

bool isTrustedPipeServer(HANDLE pipe)
{
    ULONG processId = 0;
    if (!GetNamedPipeServerProcessId(pipe, &processId))
        WL_THROW_LAST_ERROR(L"GetNamedPipeServerProcessId");
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process)
        WL_THROW_LAST_ERROR(L"OpenProcess");
    UniqueHandle token;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, token.put()))
        WL_THROW_LAST_ERROR(L"OpenProcessToken");
    return isTrustedToken(token.get());
}

bool isTrustedToken(HANDLE token)
{
    // Membership is asked of an impersonation copy, which weighs deny-only groups right.
    UniqueHandle identity;
    if (!DuplicateToken(token, SecurityIdentification, identity.put()))
        WL_THROW_LAST_ERROR(L"DuplicateToken");
    for (const WELL_KNOWN_SID_TYPE trusted : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
        BOOL member = FALSE;
        if (!CheckTokenMembership(identity.get(), wellKnownSid(trusted).get(), &member))
            WL_THROW_LAST_ERROR(L"CheckTokenMembership");
        if (member)
            return true;
    }
    return false;
}

PipeApi& pipeApi()
{
    static PipeApi api{&SleepEx, &CreateFileW, &isTrustedPipeServer};
    return api;
}

std::unique_ptr<ClientOverlappedPipe> ClientOverlappedPipe::create(const std::wstring& pipeName, int tries,
                                                                   DWORD timeoutMs)
{
    const std::wstring connectWhere = L"Unable to connect to pipe " + pipeName;
    // Nothing was tried: report the pipe as missing.
    DWORD lastError = ERROR_FILE_NOT_FOUND;
    UniqueFileHandle handle;
    for (int attempt = 0; attempt < tries && !handle; ++attempt) {
        const ThreadCancelation::CancelationPoint point(false);
        // Identification only: whoever serves the pipe may learn who asks, never act as them.
        handle.reset(pipeApi().openPipe(pipeName.c_str(),
                                        GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA, 0, nullptr,
                                        OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (handle)
            break;
        lastError = GetLastError();
        if (lastError == ERROR_FILE_NOT_FOUND) {
            // The service is not listening yet.
            pipeApi().connectPause(missingPipeRetryMs, TRUE);
            ThreadCancelation::throwIfCanceled();
        } else if (lastError == ERROR_PIPE_BUSY) {
            if (!WaitNamedPipeW(pipeName.c_str(), busyPipeWaitMs))
                pipeApi().connectPause(busyPipeRetryMs, TRUE);
            ThreadCancelation::throwIfCanceled();
        } else {
            WL_THROW_OS_ERROR(connectWhere.c_str(), lastError);
        }
    }
    if (!handle)
        WL_THROW_OS_ERROR(connectWhere.c_str(), lastError);
    // While the real service is stopped, anyone may create a pipe of the same name.
    if (!pipeApi().isTrustedServer(handle.get()))
        throw vexception(L"The server of pipe " + pipeName
                             + L" is not trusted: it runs neither as LocalSystem nor as a member of Administrators",
                         WL_CONTEXT());

    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(handle.get(), &mode, nullptr, nullptr))
        WL_THROW_LAST_ERROR((L"Unable to set mode of pipe " + pipeName).c_str());
    return std::make_unique<ClientOverlappedPipe>(std::move(handle), pipeName, timeoutMs);
}

ClientOverlappedPipe::ClientOverlappedPipe(UniqueFileHandle handle, std::wstring pipeName, DWORD timeoutMs)
    : handle_(std::move(handle)), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), pipeName_(std::move(pipeName)),
      timeoutMs_(timeoutMs)
{
    if (!event_)
        WL_THROW_LAST_ERROR(L"Unable to create pipe event");
}

bool ClientOverlappedPipe::isValid() const
{
    return handle_ && handle_.get() != nullptr;
}

void ClientOverlappedPipe::write(const void* bytes, DWORD size)
{
    transfer(true, const_cast<void*>(bytes), size);
}

void ClientOverlappedPipe::read(void* bytes, DWORD size)
{
    transfer(false, bytes, size);
}

void ClientOverlappedPipe::transfer(bool writing, void* bytes, DWORD size)
{
    // Failures name the operation that asked for the transfer.
    const char* const function = writing ? "Con::ClientOverlappedPipe::write" : "Con::ClientOverlappedPipe::read";
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_.get();
    const BOOL started = writing ? WriteFile(handle_.get(), bytes, size, nullptr, &overlapped)
                                 : ReadFile(handle_.get(), bytes, size, nullptr, &overlapped);
    if (!started) {
        const DWORD error = GetLastError();
        if (isEndOfPipe(error)) {
            finished_ = true;
            return;
        }
        if (error != ERROR_IO_PENDING)
            throwOSError(writing ? L"Unable to write to pipe" : L"Unable to read from pipe", error, {L"", function, __LINE__});
    }
    DWORD done = 0;
    // The buffer must not be written to once this call has returned: cancel and wait for the
    // cancellation before the connection is given up.
    const auto giveUp = [&] {
        CancelIoEx(handle_.get(), &overlapped);
        GetOverlappedResult(handle_.get(), &overlapped, &done, TRUE);
        handle_.reset();
    };
    bool completed = false;
    try {
        completed = ThreadCancelation::wait(event_.get(), timeoutMs_);
    } catch (...) {
        giveUp();
        throw;
    }
    if (!completed) {
        giveUp();
        throw vexception(formatString(L"%s pipe %s timed out after %lu ms", writing ? L"Writing to" : L"Reading from",
                                      pipeName_, timeoutMs_),
                         {L"", function, __LINE__});
    }
    if (!GetOverlappedResult(handle_.get(), &overlapped, &done, TRUE)) {
        const DWORD error = GetLastError();
        throwOSError(L"Unable to complete pipe operation", error, {L"", function, __LINE__});
    }
    if (done != size)
        throw vexception(formatString(L"Completed only %d of %d bytes", static_cast<int>(done), static_cast<int>(size)),
                         {L"", function, __LINE__});
}

} // namespace Con

namespace vpipechannel {

client::client(std::wstring registryKey, std::wstring pipeValueName)
    : registryKey_(std::move(registryKey)), pipeValueName_(std::move(pipeValueName))
{
    InitializeCriticalSection(&lock_);
}

client::~client()
{
    pipe_.reset();
    DeleteCriticalSection(&lock_);
}

std::wstring client::pipeName() const
{
    std::wstring name;
    registry::lookup(HKEY_LOCAL_MACHINE, registryKey_, pipeValueName_, name, REG_SZ, CONFIG_VIEW);
    // An empty name names no pipe: the default applies as when the value is absent.
    return L"\\\\.\\pipe\\" + (name.empty() ? std::wstring(L"kzopipe") : name);
}

void client::ensureConnected(int defaultTries)
{
    if (pipe_ && pipe_->isValid())
        return;
    pipe_ = Con::ClientOverlappedPipe::create(pipeName(), getPipeConnectTryCount(defaultTries), timeoutMs_);
}

std::unique_ptr<vserializer> client::query(const GUID& method, const vserializer& arguments)
{
    const SectionLock lock(lock_);
    for (bool retried = false;; retried = true) {
        try {
            return exchange(method, arguments);
        } catch (const vexception& error) {
            if (retried)
                throw;
            LogManager::instance().log(LOG_INFO,
                                       L"Tarvo Management service pipe communication error: %s. Trying to reconnect.",
                                       error.fullText());
        } catch (...) {
            if (retried)
                throw;
            LogManager::instance().log(LOG_INFO,
                                       L"Tarvo Management service pipe unknown communication error. Trying to reconnect.");
        }
        pipe_.reset();
        ensureConnected(defaultConnectTries);
    }
}

std::unique_ptr<vserializer> client::exchange(const GUID& method, const vserializer& arguments)
{
    ensureConnected(defaultConnectTries);
    if (pipe_->isFinished()) {
        LogManager::instance().log(LOG_WARNING, L"Connection to Tarvo Management Service is broken: Pipe is finished");
        throw vexception(L"Pipe is finished", {L"", "vpipechannel::client::query", __LINE__});
    }

    vserializer body;
    body.writeBlock(&method, sizeof(method));
    body.writeRaw(arguments.data().data(), arguments.data().size());
    const uint32_t length = static_cast<uint32_t>(body.data().size());
    pipe_->write(&length, sizeof(length));
    pipe_->write(body.data().data(), length);

    uint32_t replyLength = 0;
    pipe_->read(&replyLength, sizeof(replyLength));
    if (replyLength > maxReplyBytes)
        throw vserializer::invalidprotocol(
            formatString(L"Reply of %u bytes exceeds the limit of %u bytes", replyLength, maxReplyBytes),
            {L"", "vpipechannel::client::query", __LINE__});
    std::vector<uint8_t> reply(replyLength);
    if (replyLength > 0)
        pipe_->read(reply.data(), replyLength);
    // A pipe that ended on the way delivered nothing, whatever length was asked for.
    if (pipe_->isFinished())
        reply.clear();
    return std::make_unique<vserializer>(std::move(reply));
}

} // namespace vpipechannel
