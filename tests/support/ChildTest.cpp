#include "support/ChildTest.h"

#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace testbed {

ChildTest::ChildTest(const std::wstring& test, const std::map<std::wstring, std::wstring>& variables,
                     std::wstring program, const std::wstring& folder)
{
    const bool ownCase = program.empty();
    if (ownCase)
        program = ownPath();
    output_ = program + L"." + uniqueName(L"out") + L".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const UniqueFileHandle out(CreateFileW(output_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = out.get();
    std::wstring command = L"\"" + program + L"\" "
                           + (ownCase ? L"--gtest_also_run_disabled_tests --gtest_filter=" + test : test);
    for (const auto& [name, value] : variables)
        SetEnvironmentVariableW(name.c_str(), value.c_str());
    PROCESS_INFORMATION info{};
    EXPECT_TRUE(CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        << "CreateProcessW failed: " << GetLastError();
    for (const auto& variable : variables)
        SetEnvironmentVariableW(variable.first.c_str(), nullptr);
    process_.reset(info.hProcess);
    const UniqueHandle thread(info.hThread);
}

ChildTest::~ChildTest()
{
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), INFINITE);
    }
    process_.reset();
    DeleteFileW(output_.c_str());
}

bool ChildTest::passed()
{
    DWORD code = 1;
    if (!process_ || WaitForSingleObject(process_.get(), 120000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process_.get(), &code))
        code = 1;
    std::ifstream in(output_.c_str(), std::ios::binary);
    const std::string output{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // A filter that matches nothing also ends with code 0.
    const bool passed = code == 0 && output.find("[  PASSED  ] 1 test.") != std::string::npos;
    if (!passed)
        ADD_FAILURE() << "child exit code " << code << ", output:\n" << output;
    return passed;
}

}
