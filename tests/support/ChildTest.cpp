#include "support/ChildTest.h"

#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace testbed {

std::wstring ownPath()
{
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

ChildTest::ChildTest(const std::wstring& test, const std::map<std::wstring, std::wstring>& variables,
                     std::wstring program, const std::wstring& folder)
{
    if (program.empty())
        program = ownPath();
    output_ = program + L"." + uniqueName(L"out") + L".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const HANDLE out = CreateFileW(output_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    std::wstring command = L"\"" + program + L"\" --gtest_also_run_disabled_tests --gtest_filter=" + test;
    for (const auto& [name, value] : variables)
        SetEnvironmentVariableW(name.c_str(), value.c_str());
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    const DWORD error = GetLastError();
    for (const auto& variable : variables)
        SetEnvironmentVariableW(variable.first.c_str(), nullptr);
    CloseHandle(out);
    EXPECT_TRUE(started) << "CreateProcessW failed: " << error;
    if (started) {
        process_ = info.hProcess;
        CloseHandle(info.hThread);
    }
}

ChildTest::~ChildTest()
{
    if (process_) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
        CloseHandle(process_);
    }
    DeleteFileW(output_.c_str());
}

bool ChildTest::passed()
{
    if (!process_ || WaitForSingleObject(process_, 120000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the child did not run or did not end";
        return false;
    }
    DWORD code = 1;
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
    std::ifstream in(output_.c_str(), std::ios::binary);
    const std::string output{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // A filter that matches nothing also ends with code 0.
    const bool passed = code == 0 && output.find("[  PASSED  ] 1 test.") != std::string::npos;
    if (!passed)
        ADD_FAILURE() << "child exit code " << code << ", output:\n" << output;
    return passed;
}

}
