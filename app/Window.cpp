#include "app/Window.h"

#include "runtime/Guard.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

using WindowRegistry = std::map<HWND, std::vector<VWnd*>>;

// Every VWnd constructor reaches this, so the registry outlives every window object,
// static ones included.
WindowRegistry& windowRegistry()
{
    static WindowRegistry registry;
    return registry;
}

// Messages whose result the dialog manager takes from the procedure's return value instead
// of DWLP_MSGRESULT.
bool returnsResultDirectly(UINT message)
{
    return (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) || message == WM_COMPAREITEM ||
           message == WM_VKEYTOITEM || message == WM_CHARTOITEM || message == WM_QUERYDRAGICON ||
           message == WM_INITDIALOG;
}

LRESULT CALLBACK hiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    bool handled = false;
    reportGuarded(
        window, {"hiddenWindowProc", __LINE__},
        [&] {
            if (message == WM_NCCREATE) {
                auto* object = static_cast<VWnd*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
                object->attach(window, true);
                registerWindow(window, object);
            }
            result = routeMessage(window, message, wParam, lParam, handled);
        },
        L"Unable to call WindowProc(%d)", static_cast<int>(message));
    return handled ? result : DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

VWnd::VWnd()
{
    windowRegistry();
}

VWnd::~VWnd()
{
    unregisterWindow(this);
}

LRESULT VWnd::handleMessage(HWND, UINT, WPARAM, LPARAM, bool& handled)
{
    handled = false;
    return 0;
}

void VWnd::attach(HWND window, bool owned)
{
    // Attaching the window the object already holds keeps it alive.
    if (owned_ && window_ && window_ != window)
        DestroyWindow(window_);
    window_ = window;
    owned_ = owned;
}

HWND VWnd::createHiddenWindow()
{
    static const ATOM registered = [] {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &hiddenWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = hiddenWindowClass;
        return RegisterClassW(&windowClass);
    }();
    if (!registered)
        return nullptr;
    return CreateWindowExW(0, hiddenWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr),
                           this);
}

HWND VDlg::create(UINT templateId, HWND parent)
{
    return CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), parent, &VDlg::DialogProc,
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK VDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR result = FALSE;
    reportGuarded(
        window, {"VDlg::DialogProc", __LINE__},
        [&] {
            if (message == WM_INITDIALOG) {
                auto* dialog = reinterpret_cast<VDlg*>(lParam);
                dialog->attach(window, true);
                registerWindow(window, dialog);
            }
            bool handled = true;
            const LRESULT handlerResult = routeMessage(window, message, wParam, lParam, handled);
            if (!handled)
                return;
            if (returnsResultDirectly(message)) {
                result = static_cast<INT_PTR>(handlerResult);
            } else {
                SetWindowLongPtrW(window, DWLP_MSGRESULT, handlerResult);
                result = TRUE;
            }
        },
        L"Unable to call DialogProc(%d)", static_cast<int>(message));
    return result;
}

void registerWindow(HWND window, VWnd* object, bool atFront)
{
    std::vector<VWnd*>& objects = windowRegistry()[window];
    objects.insert(atFront ? objects.begin() : objects.end(), object);
}

void unregisterWindow(VWnd* object)
{
    for (auto& entry : windowRegistry()) {
        std::vector<VWnd*>& objects = entry.second;
        objects.erase(std::remove(objects.begin(), objects.end(), object), objects.end());
    }
}

LRESULT routeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    WindowRegistry& registry = windowRegistry();
    handled = false;
    LRESULT result = 0;
    const auto entry = registry.find(window);
    if (entry != registry.end()) {
        // Handlers may register or unregister objects; this walk keeps to the list as it was.
        const std::vector<VWnd*> objects = entry->second;
        for (VWnd* object : objects) {
            handled = true;
            result = object->handleMessage(window, message, wParam, lParam, handled);
            if (handled)
                break;
        }
    }
    if (message == WM_DESTROY)
        registry.erase(window);
    return handled ? result : 0;
}
