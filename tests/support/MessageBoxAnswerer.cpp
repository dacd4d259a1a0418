#include "support/MessageBoxAnswerer.h"

namespace {

thread_local MessageBoxAnswerer* current = nullptr;

std::wstring windowText(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

// The icon control's id differs between Windows and Wine; its style does not.
BOOL CALLBACK findErrorIcon(HWND child, LPARAM style)
{
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
        reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0)) == LoadIconW(nullptr, IDI_HAND))
        *reinterpret_cast<UINT*>(style) |= MB_ICONERROR;
    return TRUE;
}

} // namespace

MessageBoxAnswerer::MessageBoxAnswerer(std::vector<int> answers)
    : answers_(answers.empty() ? std::vector<int>{IDOK} : std::move(answers)),
      hook_(SetWindowsHookExW(WH_CBT, hookProc, nullptr, GetCurrentThreadId()))
{
    current = this;
}

MessageBoxAnswerer::~MessageBoxAnswerer()
{
    UnhookWindowsHookEx(hook_);
    current = nullptr;
}

LRESULT CALLBACK MessageBoxAnswerer::hookProc(int code, WPARAM wParam, LPARAM lParam)
{
    // A message box: a text control with the id 0xFFFF and an OK or an Abort button. It is
    // activated again whenever it regains the focus, and answered once.
    const auto box = reinterpret_cast<HWND>(wParam);
    const HWND text = GetDlgItem(box, 0xFFFF), abort = GetDlgItem(box, IDABORT);
    if (code == HCBT_ACTIVATE && text && (abort || GetDlgItem(box, IDOK)) && box != current->lastBox_) {
        current->lastBox_ = box;
        Box shown{windowText(box), windowText(text), abort ? UINT(MB_ABORTRETRYIGNORE) : UINT(MB_OK),
                  GetWindow(box, GW_OWNER)};
        EnumChildWindows(box, findErrorIcon, reinterpret_cast<LPARAM>(&shown.style));
        current->boxes_.push_back(shown);
        const size_t index = current->boxes_.size() - 1;
        const int button = index < current->answers_.size() ? current->answers_[index] : current->answers_.back();
        if (current->onBox)
            current->onBox();
        // Posted, so the box's own loop presses the button once it runs.
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
