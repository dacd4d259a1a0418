#pragma once
// The launcher of the panel's command-line utilities: one child process whose standard
// output (and standard error with it) and standard input run through named pipes of this
// process, started as the caller or, while the thread impersonates another user, as that
// user on "winsta0\default".
#include "runtime/Handle.h"

#include <windows.h>

#include <string>
#include <thread>

class vexecutil {
public:
    // How long the output is still read once the child has ended: whatever the child wrote
    // is in the pipe by then, and a grandchild that inherited the pipe may keep it open.
    static constexpr DWORD defaultDrainMs = 1000;

    vexecutil();
    // Stops feeding the input and closes every handle; a child still running keeps running.
    ~vexecutil();
    vexecutil(const vexecutil&) = delete;
    vexecutil& operator=(const vexecutil&) = delete;

    // Set before start.
    std::wstring path;             // the program
    std::wstring arguments;        // the command line after the program
    std::wstring shownArguments;   // what error texts show instead of arguments; empty: arguments
    std::wstring workingDirectory; // the child's current directory; empty: this process's
    bool noWindow = false;         // CREATE_NO_WINDOW
    bool captureStdout = false;    // standard output through a pipe that readOutput reads
    bool stderrToStdout = false;   // standard error into the same pipe
    bool feedStdin = false;        // standard input through a pipe that writeInput writes

    void start();
    // Writes input to the child's standard input on a thread of its own, then closes it, so
    // the child sees the end of its input while its output is read.
    void writeInput(std::string input);
    // Reads standard output until every holder of the pipe has closed it, or until drainMs
    // after the child ended. Waits alertably; a cancelled thread leaves the child running
    // (VCanceledException).
    std::string readOutput(DWORD drainMs = defaultDrainMs);
    // Gives the output up unread.
    void closeOutput() noexcept { stdoutPipe_.reset(); }
    // False when timeout (ms, INFINITE for none) passed first. An alertable wait and a
    // cancellation point: a cancelled thread leaves the child running (VCanceledException).
    bool waitForExit(DWORD timeout);
    DWORD exitCode() const;

    HANDLE process() const noexcept { return process_.get(); }
    DWORD processId() const noexcept { return processId_; }

private:
    std::wstring commandLine(const std::wstring& shown) const;
    // Logs that the child is left running and raises the cancellation.
    [[noreturn]] void leaveRunning() const;
    void stopInput() noexcept;

    UniqueFileHandle stdoutPipe_;
    UniqueFileHandle stdinPipe_;
    UniqueHandle process_;
    DWORD processId_ = 0;
    UniqueHandle stopInput_;
    std::thread inputWriter_;
};
