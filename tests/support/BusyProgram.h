#pragma once
// The real wardenlight.exe in the bed with one command under way that waits on the outside
// world: a service start that never finishes, the panel utility that does not end, or a
// database server that accepts the connection and never answers.
#include "support/ChildTest.h"
#include "support/RegistryValues.h"
#include "support/SandboxConsole.h"
#include "support/TestCatalogue.h"
#include "support/TestService.h"

#include <winsock2.h>

#include <memory>

class BusyProgram {
public:
    enum Wait { serviceStart, utility, database };
    static constexpr Wait waits[] = {serviceStart, utility, database};
    static const wchar_t* name(Wait wait)
    {
        static const wchar_t* const names[] = {L"service start", L"utility", L"database"};
        return names[wait];
    }

    // Starts the program (what each wait needs is made ready, one is used) and its command;
    // returns once the command waits. Fails the calling test (dialog() null) otherwise.
    explicit BusyProgram(Wait wait);
    // Ends whatever the command waits for, then the program if it still runs.
    ~BusyProgram();
    BusyProgram(const BusyProgram&) = delete;
    BusyProgram& operator=(const BusyProgram&) = delete;

    HWND dialog() const { return dialog_; }
    HANDLE process() const { return program_->process(); }
    // The utility case's management service stand-in, stopped when the command began.
    const TestService* tarvosrv() const { return tarvosrv_.get(); }
    // The product root, whose logs folder has the program's debug log.
    const std::wstring& root() const { return root_; }

private:
    const std::wstring root_;
    TestCatalogue catalogue_;
    ServiceJournal journal_;
    testreg::ScopedValue productRoot_, debug_, marker_;
    testbed::SandboxConsole console_;
    std::unique_ptr<TestService> service_, tarvosrv_, web_;
    SOCKET listener_ = INVALID_SOCKET;
    std::unique_ptr<testbed::ChildTest> program_;
    HWND dialog_ = nullptr;
};
