#pragma once

#include <windows.h>

#include <utility>

namespace tarvosrv {

// Move-only owner of one handle kind; Traits names the type, the empty value and the close call.
template <typename Traits>
class UniqueOwner {
public:
    using Type = typename Traits::Type;

    UniqueOwner() = default;
    explicit UniqueOwner(Type value) : m_value(value) {}
    UniqueOwner(UniqueOwner&& other) noexcept : m_value(other.release()) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;
    ~UniqueOwner() { reset(); }

    Type get() const { return m_value; }
    bool valid() const { return Traits::valid(m_value); }
    Type release() { return std::exchange(m_value, Traits::empty()); }
    void reset(Type value = Traits::empty())
    {
        if (Traits::valid(m_value))
            Traits::close(m_value);
        m_value = value;
    }
    Type* receive()
    {
        reset();
        return &m_value;
    }

private:
    Type m_value = Traits::empty();
};

// Kernel objects: events, threads and pipe instances (CreateNamedPipeW fails with INVALID_HANDLE_VALUE).
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type empty() { return nullptr; }
    static bool valid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Type h) { CloseHandle(h); }
};

struct RegistryKeyTraits {
    using Type = HKEY;
    static Type empty() { return nullptr; }
    static bool valid(Type k) { return k != nullptr; }
    static void close(Type k) { RegCloseKey(k); }
};

struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type empty() { return nullptr; }
    static bool valid(Type m) { return m != nullptr; }
    static void close(Type m) { LocalFree(m); }
};

using UniqueHandle = UniqueOwner<KernelHandleTraits>;
using UniqueKey = UniqueOwner<RegistryKeyTraits>;
using UniqueLocal = UniqueOwner<LocalMemoryTraits>;

} // namespace tarvosrv
