#include "support/PipeTestServer.h"

#include <stdexcept>

namespace testpipe {

namespace {

// Starts an overlapped operation on pipe (start returns its error code) and waits for it or
// for stop, which cancels it. Returns the bytes moved (0 for a client connected already), or
// -1 when it failed or the server stops.
template <class Start>
long complete(HANDLE pipe, HANDLE event, HANDLE stop, Start start)
{
    OVERLAPPED ov{};
    ov.hEvent = event;
    ResetEvent(event);
    const DWORD error = start(&ov);
    if (error == ERROR_PIPE_CONNECTED)
        return 0;
    if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING)
        return -1;
    const HANDLE waits[] = {event, stop};
    DWORD done = 0;
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
        return GetOverlappedResult(pipe, &ov, &done, FALSE) ? static_cast<long>(done) : -1;
    CancelIo(pipe);
    GetOverlappedResult(pipe, &ov, &done, TRUE);
    return -1;
}

} // namespace

Reply framed(const Bytes& body)
{
    Reply reply{{u32(static_cast<uint32_t>(body.size()))}};
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
    Bytes item = concat({u32(static_cast<uint32_t>(1 + 2 * text.size())), {2}});
    for (const wchar_t c : text)
        item.insert(item.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
    return item;
}

Bytes narrowStringItem(const std::string& text)
{
    return concat({u32(static_cast<uint32_t>(1 + text.size())), {1}, Bytes(text.begin(), text.end())});
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
                            64 * 1024, 64 * 1024, 0, nullptr);
}

void Server::accept(HANDLE instance)
{
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (instance != INVALID_HANDLE_VALUE) {
        // A client may have come between the instance's creation and this wait.
        const long connected = complete(instance, event, stop_, [instance](OVERLAPPED* ov) {
            return ConnectNamedPipe(instance, ov) ? ERROR_PIPE_CONNECTED : GetLastError();
        });
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) {
            CloseHandle(instance);
            break;
        }
        const HANDLE next = createInstance();
        if (connected < 0) {
            CloseHandle(instance);
        } else {
            locked([&] {
                ++connections_;
                conversations_.emplace_back([this, instance] { converse(instance); });
            });
        }
        instance = next;
    }
    CloseHandle(event);
}

void Server::converse(HANDLE pipe)
{
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Moves exactly size bytes in one message.
    const auto moved = [&](bool writing, void* bytes, DWORD size) {
        const long done = complete(pipe, event, stop_, [&](OVERLAPPED* ov) {
            const BOOL ok =
                writing ? WriteFile(pipe, bytes, size, nullptr, ov) : ReadFile(pipe, bytes, size, nullptr, ov);
            return ok ? ERROR_SUCCESS : GetLastError();
        });
        return done == static_cast<long>(size);
    };
    for (bool open = true; open;) {
        uint32_t length = 0;
        if (!moved(false, &length, sizeof(length)))
            break;
        Bytes body(length);
        if (length > 0 && !moved(false, body.data(), length))
            break;
        Reply reply = locked([&] {
            requests_.push_back(body);
            return handler_(body);
        });
        for (Bytes& message : reply.messages)
            open = open && moved(true, message.data(), static_cast<DWORD>(message.size()));
        open = open && !reply.close;
    }
    CloseHandle(pipe);
    CloseHandle(event);
}

}
