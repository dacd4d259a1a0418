#include "support/MessageBoxAnswerer.h"

#include <stdexcept>

namespace {

thread_local MessageBoxAnswerer* current = nullptr;

// The text control of a message box has the id 0xFFFF.
constexpr int textControlId = 0xFFFF;

bool isMessageBox(HWND window)
{
    wchar_t className[16] = {};
    GetClassNameW(window, className, static_cast<int>(sizeof(className) / sizeof(className[0])));
    return lstrcmpW(className, L"#32770") == 0 && GetDlgItem(window, textControlId) != nullptr;
}

std::wstring windowText(HWND window)
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, &text[0], static_cast<int>(text.size()))));
    return text;
}

// The icon control's id differs between Windows and Wine; its style does not.
BOOL CALLBACK findIconControl(HWND child, LPARAM found)
{
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
        return TRUE;
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
}

// The program shows only error boxes, with OK or with Abort, Retry and Ignore.
UINT boxStyle(HWND box)
{
    HWND control = nullptr;
    EnumChildWindows(box, findIconControl, reinterpret_cast<LPARAM>(&control));
    const auto icon = control ? reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0)) : nullptr;
    const UINT iconStyle = icon && icon == LoadIconW(nullptr, IDI_HAND) ? MB_ICONERROR : 0;
    return iconStyle | (GetDlgItem(box, IDABORT) ? MB_ABORTRETRYIGNORE : MB_OK);
}

} // namespace

MessageBoxAnswerer::MessageBoxAnswerer(std::vector<int> answers) : answers_(std::move(answers)), previous_(current)
{
    hook_ = SetWindowsHookExW(WH_CBT, hookProc, nullptr, GetCurrentThreadId());
    if (!hook_)
        throw std::runtime_error("SetWindowsHookExW(WH_CBT) failed");
    current = this;
}

MessageBoxAnswerer::~MessageBoxAnswerer()
{
    UnhookWindowsHookEx(hook_);
    current = previous_;
}

LRESULT CALLBACK MessageBoxAnswerer::hookProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (current) {
        const auto window = reinterpret_cast<HWND>(wParam);
        if (code == HCBT_ACTIVATE && isMessageBox(window))
            current->answer(window);
        else if (code == HCBT_DESTROYWND && window == current->lastBox_)
            current->lastBox_ = nullptr;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void MessageBoxAnswerer::answer(HWND box)
{
    // A box is activated again whenever it regains the focus; answer it once.
    if (box == lastBox_)
        return;
    lastBox_ = box;

    boxes_.push_back({windowText(box), windowText(GetDlgItem(box, textControlId)), boxStyle(box),
                      GetWindow(box, GW_OWNER)});

    const size_t index = boxes_.size() - 1;
    const int button = answers_.empty() ? IDOK : answers_[index < answers_.size() ? index : answers_.size() - 1];
    // Posted, so the box's own loop presses the button once it runs.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}
