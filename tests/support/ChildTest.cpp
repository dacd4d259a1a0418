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
    program = ownCase ? ownPath() : program;
    output_ = program + L"." + uniqueName(L"out") + L".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const UniqueFileHandle out(CreateFileW(output_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW startup{sizeof(startup), nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, STARTF_USESTDHANDLES,
                         0, 0, nullptr, GetStdHandle(STD_INPUT_HANDLE), out.get(), out.get()};
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
    // Ending a child that has ended already changes nothing.
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), INFINITE);
    DeleteFileW(output_.c_str());
}

bool ChildTest::passed()
{
    DWORD code = 1;
    if (WaitForSingleObject(process_.get(), 120000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process_.get(), &code))
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
