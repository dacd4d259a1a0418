#pragma once
// Answers the message boxes that the current thread shows while an answerer lives, in
// the order they appear, and records what each box said.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

class MessageBoxAnswerer {
public:
    struct Box {
        std::wstring caption;
        std::wstring text;
        UINT style = 0; // MB_ICONERROR, MB_OK or MB_ABORTRETRYIGNORE as far as the box shows them
        HWND owner = nullptr;
    };

    // Presses answers[i] in the i-th box; boxes beyond the script get the last answer,
    // or IDOK when the script is empty.
    explicit MessageBoxAnswerer(std::vector<int> answers = {});
    ~MessageBoxAnswerer();
    MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
    MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

    const std::vector<Box>& boxes() const { return boxes_; }

    // Runs when a box appears, before its answer is posted: what it posts reaches the
    // box's own loop first.
    std::function<void()> onBox;

private:
    static LRESULT CALLBACK hookProc(int code, WPARAM wParam, LPARAM lParam);

    std::vector<int> answers_;
    HHOOK hook_;
    std::vector<Box> boxes_;
    HWND lastBox_ = nullptr;
};
