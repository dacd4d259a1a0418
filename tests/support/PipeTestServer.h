#pragma once
// An in-process server of the management pipe's framing (a 4-byte length message, then a
// body message) whose answers a test scripts byte for byte.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testpipe {

using Bytes = std::vector<uint8_t>;

// The pipe messages written back for one request, in order; close ends the connection
// after them.
struct Reply {
    std::vector<Bytes> messages;
    bool close = false;
};

// The usual framing: the body's length, then the body (no body message when it is empty).
Reply framed(const Bytes& body);

// Little-endian encodings of the protocol's items, for building replies.
Bytes u32(uint32_t value);
Bytes stringItem(const std::wstring& text);
Bytes narrowStringItem(const std::string& text);
Bytes concat(std::initializer_list<Bytes> parts);

using Handler = std::function<Reply(const Bytes& request)>;

class Server {
public:
    // Listens on "\\.\pipe\" + name before it returns; one thread per connection, and
    // always one more instance waiting so a reconnecting client never finds none.
    Server(const std::wstring& name, Handler handler);
    // Closes every connection: a client then finds the pipe broken.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void setHandler(Handler handler) { locked([&] { handler_ = std::move(handler); }); }
    std::vector<Bytes> requests() const { return locked([&] { return requests_; }); }
    void clearRequests() { locked([&] { requests_.clear(); }); }
    unsigned connections() const { return locked([&] { return connections_; }); }

private:
    template <class F>
    auto locked(F f) const -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }
    HANDLE createInstance() const;
    void accept(HANDLE first);
    void converse(HANDLE pipe);

    std::wstring path_;
    HANDLE stop_;
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<Bytes> requests_;
    unsigned connections_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> conversations_;
};

}
