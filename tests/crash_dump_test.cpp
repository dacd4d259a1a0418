// Crash dumps. Settings are read once before a program starts and some faults end it, so
// those cases run this executable as a child with the configuration set first. Every dump
// takes seconds under Wine; the product's full-memory type about half a minute.
#include "runtime/CrashDump.h"

#include "runtime/Config.h"
#include "runtime/Guard.h"
#include "runtime/Path.h"
#include "support/Capture.h"
#include "support/ChildTest.h"
#include "support/RegistryValues.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

// Wine's dbghelp takes a 32-bit process in WoW64 mode for no live one and will not dump it
// unless its symbol handler is set up already (the i686 bed).
static const bool symbolsReady = sizeof(void*) == 8 || SymInitializeW(GetCurrentProcess(), nullptr, FALSE);

using Names = std::vector<std::wstring>;
const wchar_t CHILD[] = L"DISABLED_CrashDumpChild.Fault";
static volatile int* volatile nullTarget = nullptr; // nullTarget[16] faults at address 0x40

// The fault in the exception stream of a dump file; code 0 when the file is no dump, has no
// such stream or lacks text.
static MINIDUMP_EXCEPTION dumpedFault(const std::wstring& path, const std::string& text = "MDMP")
{
    std::ifstream in(extendedLengthPath(path).c_str(), std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    void* stream = nullptr;
    const bool found = bytes.rfind("MDMP", 0) == 0 && bytes.find(text) != std::string::npos &&
                       MiniDumpReadDumpStream(bytes.data(), ExceptionStream, nullptr, &stream, nullptr);
    return found ? static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream)->ExceptionRecord : MINIDUMP_EXCEPTION{};
}

// The file names in dir, sorted.
static Names entries(const std::wstring& dir)
{
    Names names;
    WIN32_FIND_DATAW found;
    const UniqueFindHandle search(FindFirstFileW(extendedLengthPath(joinPath(dir, L"*.*")).c_str(), &found));
    for (bool more = bool(search); more; more = FindNextFileW(search.get(), &found))
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(found.cFileName);
    std::sort(names.begin(), names.end());
    return names;
}

// WL_FAULT: "guarded" faults inside a guard (where dumps are off), "full" too with the product's dump type,
// "unguarded" faults outside every guard, "heap" raises a heap corruption, "none" only exits.
TEST(DISABLED_CrashDumpChild, Fault)
{
    CrashDumpInfo& info = CrashDumpInfo::instance();
    const std::wstring fault = testbed::env(L"WL_FAULT");
    const std::string heapText = "heap text " + std::to_string(GetCurrentProcessId() * 7919u);
    if (fault != L"full")
        info.setDumpType(MiniDumpNormal);
    if (fault == L"unguarded")
        *nullTarget = 1;
    if (fault == L"heap")
        RaiseException(HEAP_CORRUPTION_CODE, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    if (fault == L"none")
        return;
    EXPECT_EQ(L"C structured exception: 0xc0000005\n   at fault()(Probe::fault line #)",
              testbed::thrownText([] { guarded({"Probe::fault", 1}, [] { nullTarget[16] = 1; }, L"fault()"); }));
    if (!info.enabled()) {
        EXPECT_EQ(L"Crash dumping does not enabled\n   at (CrashDumpInfo::getFileName line #)",
                  testbed::thrownText([&] { info.getFileName(); }));
        return;
    }
    const std::wstring name = entries(info.location()).at(0), dump = joinPath(info.location(), name);
    EXPECT_TRUE(std::regex_match(name, std::wregex(L"crash_dump_test[0-9]{8}_[0-9]{6}\\.dmp"))) << name; // as pruned
    const MINIDUMP_EXCEPTION written = dumpedFault(dump, heapText); // the full dump holds the heap
    EXPECT_EQ(std::make_pair(ULONG32(EXCEPTION_ACCESS_VIOLATION), ULONG64(0x40)), // 0x40: the address written to
              std::make_pair(written.ExceptionCode, written.ExceptionInformation[1]));
    DeleteFileW(extendedLengthPath(dump).c_str());
}

// In a product root of its own: two dumps for one name at once, as from two faults in the same second, neither
// replacing a file; every kind of fault in a child (the guarded one checks its dump itself, in the default
// location; the others end it, one in a location longer than a plain path may be); then five own dumps whose
// names do not tell their age (the number orders their last writes; names differ from ours in case only as the
// program's own name may), a zip, and older dumps named most like ours that are not (a prefix one letter off, our
// name with a suffix that is no "_N"), which a disabled program leaves alone and an enabled one prunes at exit to
// its newest two own dumps.
TEST(CrashDumps, FaultsLeaveDumpsThatExitPrunes)
{
    const std::wstring root = testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"wldumps");
    const std::wstring dir = root + L"\\shared\\";
    const wchar_t* const config = CONFIG_ROOT_KEY;
    testreg::ScopedValue productRoot{config, L"PRODUCT_ROOT_D"}, location{config, L"CrashDumpsLocation"};
    testreg::ScopedValue enabled{config, L"CrashDumpsEnabled"}, maxCount(config, L"CrashDumpsMaxCount");
    productRoot.setString(root), enabled.remove(); // missing means on
    makeDir(dir);
    std::ofstream((root + L"\\taken.dmp").c_str()) << "earlier";
    const auto dump = [&] { internalDumpMiniDump(root + L"\\taken.dmp", nullptr, MiniDumpNormal); };
    std::thread first(dump), second(dump);
    first.join(), second.join();
    EXPECT_EQ((Names{L"taken.dmp", L"taken_2.dmp", L"taken_3.dmp"}), entries(root));

    const std::tuple<const wchar_t*, std::wstring, DWORD> rows[] = {{L"full", L"", 0},
        {L"unguarded", root + L"\\" + std::wstring(250, L'a'), EXCEPTION_ACCESS_VIOLATION},
        {L"heap", root + L"\\h", HEAP_CORRUPTION_CODE}};
    for (const auto& [fault, folder, code] : rows) {
        folder.empty() ? location.remove() : location.setString(folder);
        testbed::ChildTest child(CHILD, {{L"WL_FAULT", fault}});
        // A busy machine stretches a dump well beyond the two minutes passed() waits.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.process(), 600000));
        const Names dumps = code ? entries(folder) : Names{};
        EXPECT_TRUE(code ? dumps.size() == 1 && dumpedFault(joinPath(folder, dumps[0])).ExceptionCode == code
                         : child.passed()) << fault << testing::PrintToString(dumps);
    }
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((root + L"\\etc\\crashdumps").c_str()));

    const std::wstring own = L"crash_dump_test2020010";
    const std::pair<std::wstring, DWORD> files[] = {{own + L"1_000000.dmp", 5}, {own + L"2_000000.dmp", 4},
        {own + L"3_000000_2.dmp", 3}, {L"CRASH_DUMP_TEST20200104_000000.dmp", 2}, {own + L"5_000000.dmp", 1},
        {own + L"6_000000.dmp.zip", 0}, {L"crash_dump_tesu20200107_000000.dmp", 0}, {own + L"8_000000_old.dmp", 0}};
    for (const auto& [name, day] : files) {
        const FILETIME written{0, 30000000u + day}; // some years ago, days apart
        const UniqueFileHandle file(CreateFileW((dir + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, 0));
        SetFileTime(file.get(), nullptr, nullptr, &written);
    }
    maxCount.setDword(2), location.setString(dir), enabled.setDword(0);
    EXPECT_TRUE(testbed::ChildTest(CHILD, {{L"WL_FAULT", L"guarded"}}).passed());
    EXPECT_EQ(8u, entries(dir).size());
    enabled.setDword(1);
    EXPECT_TRUE(testbed::ChildTest(CHILD, {{L"WL_FAULT", L"none"}}).passed());
    EXPECT_EQ((Names{files[0].first, files[1].first, files[5].first, files[7].first, files[6].first}), entries(dir));
}
