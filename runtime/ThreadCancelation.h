#pragma once

#include <windows.h>

class ThreadCancelation {
public:
    // A place where the thread could be cancelled. Points nest per thread: opening one
    // makes it the thread's innermost point, closing it restores the one before.
    class CancelationPoint {
    public:
        // rememberOnly: true for guarded operations (a request is only noted); false for
        // alertable waits, which a request would interrupt.
        explicit CancelationPoint(bool rememberOnly);
        ~CancelationPoint();
        CancelationPoint(const CancelationPoint&) = delete;
        CancelationPoint& operator=(const CancelationPoint&) = delete;

        bool rememberOnly() const { return rememberOnly_; }
        CancelationPoint* outer() const { return outer_; }

    private:
        bool rememberOnly_;
        DWORD threadId_;
        CancelationPoint* outer_;
    };

    // The innermost open point of a thread, or nullptr.
    static CancelationPoint* innermostPoint(DWORD threadId);
};
