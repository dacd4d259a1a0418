// hostpivot.exe: a stand-in for the panel utility that starts and stops the panel's web site.
// Installed under the product root's "admin\bin64" by the tests and the demo panel.
//
// Without the variable HOSTPIVOT it behaves: "--start-tarvo-website" and
// "--stop-tarvo-website" print what they did and exit with 0; anything else prints the usage
// and exits with 1.
//
// HOSTPIVOT, words separated by spaces, chooses another behaviour, in this order:
//   journal     append "seen-STATE tarvosrv" and "seen-STATE W3SVC" (STATE: running, stopped,
//               pending or missing) to the file named by HOSTPIVOT_JOURNAL, in the line format
//               and under the lock of the test service host's journal.
//   cwd         print the current directory and a line break.
//   echo        print each argument on a line of its own, then copy standard input to
//               standard output as it arrives, until its end.
//   say=WORD    print WORD and a line break.
//   out=N err=N write N bytes ('o' and 'e') to standard output and standard error, in 64 KiB
//               pieces taking turns.
//   grandchild  start a copy of itself that inherits standard output and holds it open until
//               released (see hang); it prints "grandchild ended" then.
//   delay=MS    sleep MS milliseconds.
//   hang        wait until the event "Local\hostpivot-release" is set (at most 120 s).
//   exit=N      end with exit code N (default 0).
#include "runtime/Handle.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr DWORD releaseLimitMs = 120 * 1000;
constexpr size_t pieceBytes = 64 * 1024;

std::wstring variable(const wchar_t* name)
{
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    return length > 0 && length < 4096 ? std::wstring(buffer, length) : std::wstring();
}

// The value of "key=" among the words, or fallback.
std::wstring option(const std::vector<std::wstring>& words, const std::wstring& key, const std::wstring& fallback)
{
    for (const std::wstring& word : words)
        if (word.rfind(key + L"=", 0) == 0)
            return word.substr(key.size() + 1);
    return fallback;
}

bool has(const std::vector<std::wstring>& words, const wchar_t* word)
{
    for (const std::wstring& each : words)
        if (each == word)
            return true;
    return false;
}

void write(DWORD stream, const std::string& bytes)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string narrow(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
    return result;
}

void waitForRelease()
{
    const UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, L"Local\\hostpivot-release"));
    WaitForSingleObject(release.get(), releaseLimitMs);
}

const char* stateOf(SC_HANDLE manager, const wchar_t* name)
{
    const UniqueServiceHandle service(OpenServiceW(manager, name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status))
        return "missing";
    if (status.dwCurrentState == SERVICE_RUNNING)
        return "running";
    return status.dwCurrentState == SERVICE_STOPPED ? "stopped" : "pending";
}

void journalServices()
{
    const std::wstring path = variable(L"HOSTPIVOT_JOURNAL");
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const UniqueHandle lock(CreateMutexW(nullptr, FALSE, L"Local\\testsvc-journal"));
    WaitForSingleObject(lock.get(), 10000);
    const UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    for (const wchar_t* name : {L"tarvosrv", L"W3SVC"}) {
        const std::string line = std::string(stamp) + "seen-" + stateOf(manager.get(), name) + " " + narrow(name) +
                                 "\r\n";
        DWORD written = 0;
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    ReleaseMutex(lock.get());
}

void echo(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i)
        write(STD_OUTPUT_HANDLE, narrow(argv[i]) + "\n");
    std::vector<char> buffer(pieceBytes);
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer.data(), pieceBytes, &read, nullptr) && read > 0)
        write(STD_OUTPUT_HANDLE, std::string(buffer.data(), read));
}

void flood(size_t outBytes, size_t errBytes)
{
    while (outBytes > 0 || errBytes > 0) {
        for (auto [stream, left, fill] : {std::make_tuple(STD_OUTPUT_HANDLE, &outBytes, 'o'),
                                          std::make_tuple(STD_ERROR_HANDLE, &errBytes, 'e')}) {
            const size_t piece = *left < pieceBytes ? *left : pieceBytes;
            if (piece > 0)
                write(stream, std::string(piece, fill));
            *left -= piece;
        }
    }
}

void startGrandchild()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --hold";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

int behave(int argc, wchar_t** argv)
{
    const std::wstring command = argc == 2 ? argv[1] : L"";
    if (command == L"--start-tarvo-website" || command == L"--stop-tarvo-website") {
        write(STD_OUTPUT_HANDLE, command == L"--start-tarvo-website" ? "Tarvo Control Panel website started\r\n"
                                                                     : "Tarvo Control Panel website stopped\r\n");
        return 0;
    }
    write(STD_ERROR_HANDLE, "usage: hostpivot --start-tarvo-website | --stop-tarvo-website\r\n");
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wstring(argv[1]) == L"--hold") {
        waitForRelease();
        write(STD_OUTPUT_HANDLE, "grandchild ended\n");
        return 0;
    }
    const std::wstring script = variable(L"HOSTPIVOT");
    if (script.empty())
        return behave(argc, argv);

    std::vector<std::wstring> words;
    for (size_t at = 0; at < script.size();) {
        const size_t end = script.find(L' ', at);
        const size_t stop = end == std::wstring::npos ? script.size() : end;
        if (stop > at)
            words.push_back(script.substr(at, stop - at));
        at = stop + 1;
    }
    if (has(words, L"journal"))
        journalServices();
    if (has(words, L"cwd")) {
        wchar_t directory[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, directory);
        write(STD_OUTPUT_HANDLE, narrow(directory) + "\n");
    }
    if (has(words, L"echo"))
        echo(argc, argv);
    const std::wstring say = option(words, L"say", L"");
    if (!say.empty())
        write(STD_OUTPUT_HANDLE, narrow(say) + "\n");
    flood(std::wcstoull(option(words, L"out", L"0").c_str(), nullptr, 10),
          std::wcstoull(option(words, L"err", L"0").c_str(), nullptr, 10));
    if (has(words, L"grandchild"))
        startGrandchild();
    Sleep(std::wcstoul(option(words, L"delay", L"0").c_str(), nullptr, 10));
    if (has(words, L"hang"))
        waitForRelease();
    return static_cast<int>(std::wcstol(option(words, L"exit", L"0").c_str(), nullptr, 10));
}
