// Time to write a dump of this idle program: a small one (the type the tests use) and a
// full-memory one (the product's type), against the baseline of a plain write of as many
// bytes as the full dump holds, in the same run.
#include "bench/Timing.h"
#include "runtime/CrashDump.h"
#include "runtime/Handle.h"

#include "support/TestBed.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kSmallRounds = 5;

ULONGLONG fileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Milliseconds for one dump of type into dir; its size in bytes goes to size.
double timeDump(const std::wstring& dir, MINIDUMP_TYPE type, ULONGLONG& size)
{
    const double start = nowMs();
    const std::wstring path = internalDumpMiniDump(dir + L"\\bench.dmp", nullptr, type);
    const double elapsed = nowMs() - start;
    size = fileSize(path);
    DeleteFileW(path.c_str());
    return elapsed;
}

// Milliseconds to write size bytes to a new file in 1 MB blocks.
double timePlainWrite(const std::wstring& dir, ULONGLONG size)
{
    const std::wstring path = dir + L"\\plain.bin";
    const std::vector<char> block(1 << 20, 'x');
    const double start = nowMs();
    {
        const UniqueFileHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        for (ULONGLONG left = size; left > 0;) {
            const DWORD chunk = static_cast<DWORD>(std::min<ULONGLONG>(left, block.size()));
            DWORD written = 0;
            if (!WriteFile(file.get(), block.data(), chunk, &written, nullptr) || written == 0)
                break;
            left -= written;
        }
    }
    const double elapsed = nowMs() - start;
    DeleteFileW(path.c_str());
    return elapsed;
}

} // namespace

int main()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = temp + testbed::uniqueName(L"wl_dump_bench");
    CreateDirectoryW(dir.c_str(), nullptr);

    std::vector<double> small;
    ULONGLONG smallSize = 0, fullSize = 0;
    for (int round = 0; round < kSmallRounds; ++round)
        small.push_back(timeDump(dir, MiniDumpNormal, smallSize));
    const double full = timeDump(dir, FULL_DUMP_TYPE, fullSize);
    const double plain = timePlainWrite(dir, fullSize);
    RemoveDirectoryW(dir.c_str());

    std::printf("small dump (MiniDumpNormal)  %10.0f ms  (%llu bytes, median of %d)\n", median(small),
                static_cast<unsigned long long>(smallSize), kSmallRounds);
    std::printf("full dump (type 7)           %10.0f ms  (%llu bytes)\n", full,
                static_cast<unsigned long long>(fullSize));
    std::printf("plain write baseline         %10.0f ms  (the full dump's bytes)\n", plain);
    std::printf("ratio full dump/plain write  %10.1f\n", full / plain);
    std::printf("ratio full dump/small dump   %10.1f\n", full / median(small));
    return 0;
}
