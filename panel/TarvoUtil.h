#pragma once
// Running the panel's command-line utilities (such as "hostpivot") from its "admin\bin64"
// and "admin\bin" directories, with password values kept out of every message and log.
#include <windows.h>

#include <string>

class vexecutil;

// Runs utility name with arguments and waits for it (timeout in ms, INFINITE for none).
// output, when given, receives what it wrote to standard output and standard error (read
// only without a time-out); input, when given, is fed to its standard input. Returns 0 on
// success. A non-zero exit code or a time-out raises, or with throwOnError false returns
// the exit code, or -1 when the run or the wait failed.
int execTarvoUtil(const std::wstring& name, const std::wstring& arguments, std::wstring* output, bool throwOnError,
                  const std::string* input, bool use64, DWORD timeout);

// Configures util for utility name (output captured with standard error, no window, input
// fed when given) and starts it.
void startTarvoUtilInternal(const std::wstring& name, const std::wstring& arguments, const std::string* input,
                            vexecutil& util, bool use64);

// The utility's path in the product's "admin\bin64" (use64) or "admin\bin"; ".exe" is
// added unless the name ends in it (in any case). Raises when there is no such file.
std::wstring findUtilPath(const std::wstring& name, bool use64);

// The arguments as messages and logs show them: each token quoted as needed and followed by
// a space; the value of a token "password=..." or "pwd=..." (any case, also after "-", "--"
// or "/") as "*".
std::wstring maskArguments(const std::wstring& arguments);

// argument as one token of a command line: unchanged when it is plain, else in double
// quotes with its quotes and the backslashes before them escaped.
std::wstring quoteArgument(const std::wstring& argument);

// A "Start" or "End" record of a utility run in the "util_exec" log, written only while the
// registry value "log_util_exec_enabled" is set. Never fails: a record that cannot be
// written is logged.
void writeToUtilExecLog(bool isStart, const std::wstring& path, const std::wstring& arguments, DWORD elapsedMs);
