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
    if (!window)
        return std::wstring();
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

UINT iconStyle(HWND box)
{
    HWND control = nullptr;
    EnumChildWindows(box, findIconControl, reinterpret_cast<LPARAM>(&control));
    if (!control)
        return 0;
    const auto icon = reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0));
    const struct {
        LPCWSTR id;
        UINT style;
    } icons[] = {{IDI_HAND, MB_ICONERROR},
                 {IDI_EXCLAMATION, MB_ICONWARNING},
                 {IDI_ASTERISK, MB_ICONINFORMATION},
                 {IDI_QUESTION, MB_ICONQUESTION}};
    for (const auto& candidate : icons)
        if (icon && icon == LoadIconW(nullptr, candidate.id))
            return candidate.style;
    return 0;
}

UINT buttonStyle(HWND box)
{
    const auto has = [box](int id) { return GetDlgItem(box, id) != nullptr; };
    if (has(IDABORT) && has(IDRETRY) && has(IDIGNORE))
        return MB_ABORTRETRYIGNORE;
    if (has(IDYES) && has(IDNO))
        return has(IDCANCEL) ? MB_YESNOCANCEL : MB_YESNO;
    if (has(IDRETRY) && has(IDCANCEL))
        return MB_RETRYCANCEL;
    if (has(IDOK) && has(IDCANCEL))
        return MB_OKCANCEL;
    return MB_OK;
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

    Box seen;
    seen.caption = windowText(box);
    seen.text = windowText(GetDlgItem(box, textControlId));
    seen.style = iconStyle(box) | buttonStyle(box);
    seen.owner = GetWindow(box, GW_OWNER);
    boxes_.push_back(seen);

    const size_t index = boxes_.size() - 1;
    const int button = answers_.empty() ? IDOK : answers_[index < answers_.size() ? index : answers_.size() - 1];
    // Posted, so the box's own loop presses the button once it runs.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}
