#include "runtime/Config.h"
#include "runtime/EventLogApi.h"
#include "runtime/LogConfig.h"
#include "runtime/LogManager.h"
#include "runtime/Path.h"
#include "support/ChildTest.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
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

// The log's day, set by the tests: a fixed one, so that no run meets a real midnight.
static SYSTEMTIME today{2030, 6, 6, 15, 12, 0, 0, 0};
static void WINAPI localTime(LPSYSTEMTIME time) { *time = today; }

const int CHILD_LINES = 2000;

// The "Level: text" of each line of a debug file (with "pid|" before it for lines of other
// processes), which must be UTF-16 with one byte-order mark and whole lines
// "YYYY/MM/DD hh:mm:ss.mmm pid tid Level: text" CR LF.
static Texts debugTexts(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.empty())
        return {};
    EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2)) << "no byte-order mark";
    const std::wstring text(reinterpret_cast<const wchar_t*>(&bytes[2]), bytes.size() / 2 - 1);
    const std::wregex line(L"\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (\\d+) \\d+ ([^\r]*)\r\n");
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    Texts texts;
    size_t end = 0; // each line where the one before ends
    for (std::wsregex_iterator at(text.begin(), text.end(), line, std::regex_constants::match_continuous), no; at != no;
         end += (at++)->length())
        texts.push_back((*at)[1] == self ? (*at)[2].str() : (*at)[1].str() + L"|" + (*at)[2].str());
    EXPECT_EQ(text.size(), end) << "a line of another form: " << testing::PrintToString(text.substr(end));
    return texts;
}

// Each case gets a product root of its own, Debug off and the debug file enabled, on the
// test's day. Every write of a value moves the log's tick count on to its next look for
// changes (support/RegistryValues), as the passing of LogConfig::CHANGE_CHECK_MS would.
class LogManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        eventLogApi() = recordingEventLog;
        logClock().getLocalTime = localTime;
        makeDir(root_ + L"\\admin\\logs");
        rootValue_.setString(root_);
        debug_.setDword(0);
        file_.remove();
        events.clear();
    }
    void TearDown() override { logClock().getLocalTime = GetLocalTime; }

    std::wstring logOf(const SYSTEMTIME& day) const
    {
        return root_ + formatString(L"\\admin\\logs\\tarvolog_debug%04d%02d%02d.log", day.wYear, day.wMonth, day.wDay);
    }

    const std::wstring root_ = testbed::env(L"TEMP") + L"\\" + testbed::uniqueName(L"wl_logroot");
    testreg::ScopedValue debug_{CONFIG_ROOT_KEY, L"Debug"}, file_{CONFIG_ROOT_KEY, L"log_debug_enabled"};
    testreg::ScopedValue rootValue_{CONFIG_ROOT_KEY, L"PRODUCT_ROOT_D"};
    LogManager& log_ = LogManager::instance();
};

TEST_F(LogManagerTest, WithDebugOffOnlyErrorLevelsReachFileAndEventLogUntilTheSwitchChanges)
{
    for (int level = 0; level < 6; ++level)
        log_.log(level, L"level %d", level);
    log_.log(9, L"level nine");
    vexception error(L"Disk is gone", {L"", "VDisk::read", 12});
    log_.log(LOG_CRASH, error.addContext({L"Unable to call read(C:)", "VDisk::read", 40}));
    const std::wstring full = error.fullText();
    EXPECT_EQ((Texts{L"Error: level 3", L"Unexpected: level 4", L"Crash: level 5", L"Unknown level: level nine",
                     L"Crash: " + full}), debugTexts(logOf(today)));
    EXPECT_EQ((Texts{L"1:level 3", L"1:level 4", L"1:level 5", L"1:level nine", L"1:" + full}), events);

    // Each change of the switch is seen at the next look for changes; the event log keeps the
    // value it had at start. These lines go to the next day's file.
    events.clear();
    const SYSTEMTIME saved = today;
    today.wDay += 1;
    for (DWORD debug : {1, 0, 1}) {
        debug_.setDword(debug);
        log_.log(LOG_INFO, L"info with Debug %u", debug);
    }
    log_.flush(); // an Info line may wait while another process writes
    EXPECT_EQ((Texts{L"Info: info with Debug 1", L"Info: info with Debug 1"}), debugTexts(logOf(today)));
    EXPECT_EQ(Texts(), events);
    today = saved;
}

// A line after midnight starts the next day's file, with its own byte-order mark.
TEST_F(LogManagerTest, MidnightStartsTheNextDaysFile)
{
    const SYSTEMTIME saved = today;
    today = {2031, 12, 3, 31, 23, 59, 59, 999};
    log_.log(LOG_ERROR, L"before midnight");
    const SYSTEMTIME before = today;
    today = {2032, 1, 4, 1, 0, 0, 0, 0};
    log_.log(LOG_ERROR, L"after midnight");
    log_.log(LOG_ERROR, L"next");
    EXPECT_EQ(Texts{L"Error: before midnight"}, debugTexts(logOf(before)));
    EXPECT_EQ((Texts{L"Error: after midnight", L"Error: next"}), debugTexts(logOf(today)));
    today = saved;
}

// Writes CHILD_LINES numbered Info lines to the debug file only; the last ones may still wait
// when the process ends.
TEST(DISABLED_LogChild, WriteLines)
{
    logClock().getLocalTime = localTime;
    LogSettings& settings = LogManager::instance().settings();
    std::fill(std::begin(settings.eventLogEnabled), std::end(settings.eventLogEnabled), false);
    std::fill(std::begin(settings.outputEnabled), std::end(settings.outputEnabled), false);
    for (int i = 0; i < CHILD_LINES; ++i)
        LogManager::instance().log(LOG_INFO, L"line %d", i);
}

// Two processes writing at once: every line whole, none lost, each process's in its order.
TEST_F(LogManagerTest, LinesOfTwoProcessesAtOnceStayWholeAndInOrder)
{
    debug_.setDword(1);
    {
        testbed::ChildTest first(L"DISABLED_LogChild.WriteLines"), second(L"DISABLED_LogChild.WriteLines");
        ASSERT_TRUE(first.passed());
        ASSERT_TRUE(second.passed());
    }
    std::map<std::wstring, int> next; // per process: the number its next line must have
    for (const std::wstring& text : debugTexts(logOf(today))) {
        const size_t bar = text.find(L'|');
        ASSERT_NE(std::wstring::npos, bar) << "a line of the parent: " << testing::PrintToString(text);
        int& expected = next[text.substr(0, bar)];
        ASSERT_EQ(L"Info: line " + std::to_wstring(expected), text.substr(bar + 1));
        ++expected;
    }
    ASSERT_EQ(2u, next.size());
    for (const auto& [process, lines] : next)
        EXPECT_EQ(CHILD_LINES, lines) << "lines of process " << process;
}
