#pragma once
// Access to the test bed that scripts/testbed starts around every CTest run.
#include <string>

namespace testbed {

// A variable of the bed's environment; empty when unset.
std::wstring env(const wchar_t* name);

// The folder holding the test executables and the sandbox programs.
std::wstring binDir();

// A name unique to this process, for services and keys a test creates.
std::wstring uniqueName(const std::wstring& prefix);

// What the product's debug log of the day under productRoot holds; empty when there is none.
std::wstring debugLog(const std::wstring& productRoot);

}

// An error text with its source line numbers replaced by "#", which change with the code.
std::wstring withoutLines(const std::wstring& text);
