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

    // Asks thread to give up what it is doing. The request reaches the thread at its next
    // alertable wait (an asynchronous call sets its flag); from then on every cancellable
    // wait of that thread raises VCanceledException at once. A request is never withdrawn.
    static void cancel(HANDLE thread);
    // Whether a request has reached the calling thread.
    static bool canceled();
    // Raises VCanceledException when a request has reached the calling thread.
    static void throwIfCanceled();
    // Raises VCanceledException.
    [[noreturn]] static void throwCanceled();
    // Waits alertably until handle is signalled (or abandoned) or timeoutMs passes (INFINITE
    // for no limit); asynchronous calls run meanwhile. False on time-out. A cancellable wait
    // raises VCanceledException on a request; any other wait failure raises "Lock object".
    static bool wait(HANDLE handle, DWORD timeoutMs, bool cancellable = true);
};
