#include "support/PipeTestServer.h"

#include <stdexcept>

namespace testpipe {

namespace {

constexpr DWORD bufferBytes = 64 * 1024;

// One transfer that waits for completion or the stop event. Returns the bytes moved, or
// -1 when the pipe ended, the message was longer than asked, or the server stops.
long transfer(HANDLE pipe, HANDLE event, HANDLE stop, bool writing, void* bytes, DWORD size)
{
    OVERLAPPED ov{};
    ov.hEvent = event;
    const BOOL ok = writing ? WriteFile(pipe, bytes, size, nullptr, &ov) : ReadFile(pipe, bytes, size, nullptr, &ov);
    long result = -1;
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        const HANDLE waits[] = {event, stop};
        DWORD done = 0;
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
            if (GetOverlappedResult(pipe, &ov, &done, FALSE))
                result = static_cast<long>(done);
        } else {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &ov, &done, TRUE);
        }
    }
    return result;
}

} // namespace

Reply framed(const Bytes& body)
{
    Reply reply;
    reply.messages.push_back(u32(static_cast<uint32_t>(body.size())));
    if (!body.empty())
        reply.messages.push_back(body);
    return reply;
}

Bytes u32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

Bytes stringItem(const std::wstring& text)
{
    Bytes item = u32(static_cast<uint32_t>(1 + 2 * text.size()));
    item.push_back(2);
    for (const wchar_t c : text) {
        item.push_back(static_cast<uint8_t>(c));
        item.push_back(static_cast<uint8_t>(c >> 8));
    }
    return item;
}

Bytes narrowStringItem(const std::string& text)
{
    Bytes item = u32(static_cast<uint32_t>(1 + text.size()));
    item.push_back(1);
    item.insert(item.end(), text.begin(), text.end());
    return item;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Server::Server(const std::wstring& name, Handler handler)
    : path_(L"\\\\.\\pipe\\" + name), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), handler_(std::move(handler))
{
    const HANDLE first = createInstance();
    if (first == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create the test pipe");
    acceptor_ = std::thread([this, first] { accept(first); });
}

Server::~Server()
{
    SetEvent(stop_);
    acceptor_.join();
    for (std::thread& conversation : conversations_)
        conversation.join();
    CloseHandle(stop_);
}

HANDLE Server::createInstance() const
{
    return CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                            bufferBytes, bufferBytes, 0, nullptr);
}

void Server::accept(HANDLE first)
{
    HANDLE instance = first;
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (instance != INVALID_HANDLE_VALUE) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        ResetEvent(event);
        DWORD result = ConnectNamedPipe(instance, &ov) ? ERROR_SUCCESS : GetLastError();
        if (result == ERROR_IO_PENDING) {
            const HANDLE waits[] = {event, stop_};
            DWORD unused = 0;
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIo(instance);
                GetOverlappedResult(instance, &ov, &unused, TRUE);
                CloseHandle(instance);
                break;
            }
            result = GetOverlappedResult(instance, &ov, &unused, FALSE) ? ERROR_SUCCESS : GetLastError();
        }
        const HANDLE next = createInstance();
        if (result == ERROR_SUCCESS || result == ERROR_PIPE_CONNECTED) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++connections_;
            conversations_.emplace_back([this, instance] { converse(instance); });
        } else {
            CloseHandle(instance);
        }
        instance = next;
    }
    CloseHandle(event);
}

void Server::converse(HANDLE pipe)
{
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        uint32_t length = 0;
        if (transfer(pipe, event, stop_, false, &length, sizeof(length)) != static_cast<long>(sizeof(length)))
            break;
        Bytes body(length);
        if (length > 0 && transfer(pipe, event, stop_, false, body.data(), length) != static_cast<long>(length))
            break;
        Reply reply;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(body);
            reply = handler_(body);
        }
        bool written = true;
        for (Bytes& message : reply.messages)
            written = written && transfer(pipe, event, stop_, true, message.data(), static_cast<DWORD>(message.size())) ==
                                     static_cast<long>(message.size());
        if (!written || reply.close)
            break;
    }
    CloseHandle(pipe);
    CloseHandle(event);
}

void Server::setHandler(Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<Bytes> Server::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void Server::clearRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

unsigned Server::connections() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

}
