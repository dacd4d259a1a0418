#include "runtime/Config.h"
#include "runtime/EventLogApi.h"
#include "runtime/LogManager.h"
#include "runtime/Path.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

using Texts = std::vector<std::wstring>;

// What reaches the event log, as "type:text" (Wine's event log stores nothing).
static Texts events;
static HANDLE WINAPI openLog(LPCWSTR, LPCWSTR) { return reinterpret_cast<HANDLE>(8); }
static BOOL WINAPI recordEvent(HANDLE, WORD type, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR* texts, LPVOID)
{
    return events.push_back(std::to_wstring(type) + L":" + texts[1]), TRUE;
}
static BOOL WINAPI closeLog(HANDLE) { return TRUE; }
static const EventLogApi recordingEventLog{openLog, recordEvent, closeLog};

// The "Level: text" of each line of the debug file, which must be UTF-16 with one byte-order
// mark and whole lines "YYYY/MM/DD hh:mm:ss.mmm pid tid Level: text" CR LF.
static Texts debugTexts(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.empty())
        return {};
    EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2)) << "no byte-order mark";
    const std::wstring text(reinterpret_cast<const wchar_t*>(&bytes[2]), bytes.size() / 2 - 1);
    const std::wregex line(L"\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} " +
                           std::to_wstring(GetCurrentProcessId()) + L" " + std::to_wstring(GetCurrentThreadId()) +
                           L" ([^\r]*)\r\n");
    Texts texts;
    size_t end = 0; // each line where the one before ends
    for (std::wsregex_iterator at(text.begin(), text.end(), line, std::regex_constants::match_continuous), no; at != no;
         end += (at++)->length())
        texts.push_back((*at)[1]);
    EXPECT_EQ(text.size(), end) << "a line of another form: " << testing::PrintToString(text.substr(end));
    return texts;
}

// The run gets a product root of its own and starts with Debug off and the debug file enabled.
TEST(LogManagerTest, WithDebugOffOnlyErrorLevelsReachFileAndEventLogUntilTheSwitchIsReadAgain)
{
    eventLogApi() = recordingEventLog;
    const std::wstring root = testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"wl_logroot");
    makeDir(root + L"\\admin\\logs");
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring debugLog =
        root + formatString(L"\\admin\\logs\\tarvolog_debug%04d%02d%02d.log", now.wYear, now.wMonth, now.wDay);
    testreg::ScopedValue debug(CONFIG_ROOT_KEY, L"Debug"), file(CONFIG_ROOT_KEY, L"log_debug_enabled");
    testreg::ScopedValue rootValue(CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D");
    rootValue.setString(root);
    debug.setDword(0);
    file.remove();
    LogManager& log = LogManager::instance();
    for (int call = 0; call < 16; ++call) // the next call of isDebug reads the switch
        isDebug();
    events.clear();

    for (int level = 0; level < 6; ++level)
        log.log(level, L"level %d", level);
    log.log(9, L"level nine");
    vexception error(L"Disk is gone", {L"", "VDisk::read", 12});
    log.log(LOG_CRASH, error.addContext({L"Unable to call read(C:)", "VDisk::read", 40}));
    const std::wstring full = error.fullText();
    EXPECT_EQ((Texts{L"Error: level 3", L"Unexpected: level 4", L"Crash: level 5", L"Unknown level: level nine",
                     L"Crash: " + full}), debugTexts(debugLog));
    EXPECT_EQ((Texts{L"1:level 3", L"1:level 4", L"1:level 5", L"1:level nine", L"1:" + full}), events);

    // An empty file left behind counts as new. The switch is read again within 16 calls; the
    // event log keeps the value it had at start.
    UniqueFileHandle(CreateFileW(debugLog.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    events.clear();
    debug.setDword(1);
    for (int i = 0; i < 16; ++i)
        log.log(LOG_INFO, L"info %d", i);
    log.log(LOG_WARNING, L"warning");
    // Once the switch is seen, every later line is written: the lines are a tail of the calls.
    const Texts texts = debugTexts(debugLog);
    ASSERT_GE(texts.size(), 2u) << "no Info line within 16 calls";
    for (size_t i = 0; i + 1 < texts.size(); ++i)
        EXPECT_EQ(L"Info: info " + std::to_wstring(17 - texts.size() + i), texts[i]);
    EXPECT_EQ(L"Warning: warning", texts.back());
    EXPECT_EQ(Texts(), events);
}
