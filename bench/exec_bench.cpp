// execTarvoUtil against a bare CreateProcessW + ReadFile loop + wait of the same stand-in
// utility: what the named pipes, the overlapped reads, the guards and the lookups cost, for
// a child that exits at once and for one that writes 64 MiB.
#include "panel/Settings.h"
#include "panel/TarvoUtil.h"
#include "runtime/Config.h"
#include "runtime/Handle.h"

#include "support/RegistryValues.h"
#include "support/SandboxConsole.h"
#include "support/TestBed.h"

#include "Timing.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// The bare way: an anonymous pipe, the child, a blocking read loop, the wait.
size_t bareRun(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 64 * 1024))
        return 0;
    const UniqueHandle reader(readEnd);
    UniqueHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    std::wstring command = L"\"" + path + L"\" --x";
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info))
        return 0;
    const UniqueHandle process(info.hProcess), thread(info.hThread);
    writer.reset(); // the child holds the only write end now
    std::vector<char> buffer(64 * 1024);
    std::string output;
    DWORD got = 0;
    while (ReadFile(readEnd, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
        output.append(buffer.data(), got);
    WaitForSingleObject(process.get(), INFINITE);
    return output.size();
}

size_t utilRun(const std::wstring&)
{
    std::wstring output;
    execTarvoUtil(L"hostpivot", L"--x", &output, true, nullptr, true, INFINITE);
    return output.size();
}

// Rounds of the two ways take turns, so that both see the same load of the machine.
void compare(const char* name, int rounds, const std::wstring& path, size_t expectedBytes)
{
    std::vector<double> bare, util;
    for (int i = 0; i < rounds; ++i) {
        for (auto [times, run] : {std::make_pair(&bare, &bareRun), std::make_pair(&util, &utilRun)}) {
            const double start = nowMs();
            const size_t bytes = run(path);
            times->push_back(nowMs() - start);
            if (bytes != expectedBytes)
                std::printf("  unexpected output of %zu bytes\n", bytes);
        }
    }
    std::printf("%s: bare %.1f ms, execTarvoUtil %.1f ms, ratio %.2f (goal <= 1.3)\n", name, median(bare),
                median(util), median(util) / median(bare));
}

} // namespace

int main()
{
    wchar_t temp[MAX_PATH];
    const std::wstring root = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + testbed::uniqueName(L"wlbench");
    for (const wchar_t* folder : {L"", L"\\admin", L"\\admin\\bin64"})
        CreateDirectoryW((root + folder).c_str(), nullptr);
    const std::wstring path = root + L"\\admin\\bin64\\hostpivot.exe";
    CopyFileW((testbed::binDir() + L"\\hostpivot.exe").c_str(), path.c_str(), FALSE);
    testreg::ScopedValue pipe(CONFIG_ROOT_KEY, L"kzopipe");
    pipe.setString(testbed::uniqueName(L"kzobench"));
    testreg::ScopedValue served(std::wstring(testbed::sandboxKey) + L"\\Strings", L"PRODUCT_ROOT_D");
    served.setString(root);
    {
        // The product root is asked once and kept.
        const testbed::SandboxConsole service;
        getAdminBin64Dir();
    }

    SetEnvironmentVariableW(L"HOSTPIVOT", L"exit=0");
    utilRun(path); // warm-up: file cache, first log writes
    compare("child that exits at once", 30, path, 0);
    SetEnvironmentVariableW(L"HOSTPIVOT", L"out=67108864");
    compare("child that writes 64 MiB", 9, path, 64u << 20);
    return 0;
}
