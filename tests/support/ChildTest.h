#pragma once
// One case of a test executable run as a child process, for state that lives once per
// process (settings read at start-up, counters, a log created once).
#include "runtime/Handle.h"

#include <map>
#include <string>

namespace testbed {

class ChildTest {
public:
    // Runs this executable with --gtest_filter=test, disabled cases included, or another
    // program with test as its arguments; in folder (the current one when empty), with
    // variables added to the environment. Standard output and error go to a file beside the program. A child
    // still running at destruction is ended.
    explicit ChildTest(const std::wstring& test, const std::map<std::wstring, std::wstring>& variables = {},
                       std::wstring program = L"", const std::wstring& folder = L"");
    ~ChildTest();

    HANDLE process() const { return process_.get(); }
    // Waits up to two minutes; whether the child ran exactly its one case and it passed.
    // A failure's output goes to the calling test's failure message.
    bool passed();

private:
    std::wstring output_;
    UniqueHandle process_;
};

// This executable's path.
std::wstring ownPath();

}
