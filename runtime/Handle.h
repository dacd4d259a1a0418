#pragma once

#include <windows.h>
#include <commctrl.h>
#include <winsvc.h>

#include <utility>

// Move-only owner of one platform handle. Traits give the handle type, its
// invalid value and how to close it, so each kind gets exactly one owner type.
template <class Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    Type get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    Type release() noexcept { return std::exchange(value_, Traits::invalid()); }

    // For a call that returns the handle through an out-parameter: closes what is held and
    // hands over the empty slot.
    Type* put() noexcept
    {
        reset();
        return &value_;
    }

    void reset(Type value = Traits::invalid()) noexcept
    {
        const Type old = std::exchange(value_, value);
        if (old != Traits::invalid())
            Traits::close(old);
    }

private:
    Type value_ = Traits::invalid();
};

// Kernel objects that are null when absent: processes, threads, mutexes, events.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type handle) noexcept { CloseHandle(handle); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// Files and pipes from CreateFileW, which report failure as INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type handle) noexcept { CloseHandle(handle); }
};
using UniqueFileHandle = UniqueResource<FileHandleTraits>;

struct RegKeyTraits {
    using Type = HKEY;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type key) noexcept { RegCloseKey(key); }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

// Modules from LoadLibraryExW.
struct LibraryTraits {
    using Type = HMODULE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type module) noexcept { FreeLibrary(module); }
};
using UniqueLibrary = UniqueResource<LibraryTraits>;

// Service Control Manager connections and the services opened through them.
struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type handle) noexcept { CloseServiceHandle(handle); }
};
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

// Image lists from ImageList_Create.
struct ImageListTraits {
    using Type = HIMAGELIST;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type list) noexcept { ImageList_Destroy(list); }
};
using UniqueImageList = UniqueResource<ImageListTraits>;

// Menus from LoadMenuW (not those attached to a window, which the window destroys).
struct MenuTraits {
    using Type = HMENU;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type menu) noexcept { DestroyMenu(menu); }
};
using UniqueMenu = UniqueResource<MenuTraits>;

// Memory the system allocates with LocalAlloc for the caller (security descriptors, texts).
struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type memory) noexcept { LocalFree(memory); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

// Directory searches from FindFirstFileW.
struct FindHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Type search) noexcept { FindClose(search); }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

// Registrations from AddVectoredExceptionHandler.
struct VectoredHandlerTraits {
    using Type = PVOID;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type handler) noexcept { RemoveVectoredExceptionHandler(handler); }
};
using UniqueVectoredHandler = UniqueResource<VectoredHandlerTraits>;

// Window stations from OpenWindowStationW.
struct WindowStationTraits {
    using Type = HWINSTA;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type station) noexcept { CloseWindowStation(station); }
};
using UniqueWindowStation = UniqueResource<WindowStationTraits>;

// Desktops from OpenDesktopW.
struct DesktopTraits {
    using Type = HDESK;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type desktop) noexcept { CloseDesktop(desktop); }
};
using UniqueDesktop = UniqueResource<DesktopTraits>;

// Process attribute lists initialised in memory from HeapAlloc (process heap).
struct AttributeListTraits {
    using Type = LPPROC_THREAD_ATTRIBUTE_LIST;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type list) noexcept
    {
        DeleteProcThreadAttributeList(list);
        HeapFree(GetProcessHeap(), 0, list);
    }
};
using UniqueAttributeList = UniqueResource<AttributeListTraits>;

// Thread-pool timers: closing cancels the timer and waits for a callback under way.
struct ThreadpoolTimerTraits {
    using Type = PTP_TIMER;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type timer) noexcept
    {
        SetThreadpoolTimer(timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(timer, TRUE);
        CloseThreadpoolTimer(timer);
    }
};
using UniqueThreadpoolTimer = UniqueResource<ThreadpoolTimerTraits>;
