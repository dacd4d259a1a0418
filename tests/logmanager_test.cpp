#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/EventLogApi.h"
#include "runtime/ExecuteContext.h"
#include "runtime/Guard.h"
#include "runtime/LogManager.h"
#include "support/ChildTest.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

namespace {

const wchar_t CONFIG_KEY[] = L"SOFTWARE\\Tarvo\\KZO Config\\Config";
const wchar_t EVENT_LOG_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo";
// Set in the environment of the second process some tests start.
const wchar_t CHILD_VARIABLE[] = L"WL_LOGMANAGER_CHILD";

bool isChild()
{
    return !testbed::env(CHILD_VARIABLE).empty();
}

bool childPasses(const std::wstring& test)
{
    return testbed::ChildTest(L"LogChild.DISABLED_" + test, {{CHILD_VARIABLE, L"1"}}).passed();
}

std::optional<DWORD> eventLogDword(const std::wstring& key, const wchar_t* name)
{
    const auto value = testreg::readValue(key, name);
    if (!value || value->type != REG_DWORD)
        return std::nullopt;
    return *reinterpret_cast<const DWORD*>(value->data.data());
}

std::wstring eventLogString(const std::wstring& key, const wchar_t* name)
{
    const auto value = testreg::readValue(key, name);
    return value ? reinterpret_cast<const wchar_t*>(value->data.data()) : L"<missing>";
}

// Makes the next isDebug call of this process see the current registry value.
void settleDebugSwitch()
{
    for (int i = 0; i < 16; ++i)
        isDebug();
}

// ---- the event log as reported through the seam ----

struct ReportedEvent {
    HANDLE source;
    WORD type, category;
    DWORD id;
    bool hasUser;
    std::vector<std::wstring> strings;
    DWORD dataSize;
};

struct FakeEventLog {
    std::mutex lock;
    std::vector<ReportedEvent> events;
    std::vector<HANDLE> registered, deregistered;
    std::vector<std::wstring> sourceNames;
    int failRegistrations = 0;
    int failReports = 0;
    uintptr_t nextHandle = 0x5000;

    std::vector<ReportedEvent> eventsWithText(const std::wstring& text)
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<ReportedEvent> found;
        std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                     [&](const ReportedEvent& e) { return e.strings.size() == 2 && e.strings[1] == text; });
        return found;
    }
};

// Never destroyed: the LogManager releases its source at process exit.
FakeEventLog& fakeEventLog = *new FakeEventLog;

HANDLE WINAPI fakeRegister(LPCWSTR server, LPCWSTR source)
{
    std::lock_guard<std::mutex> guard(fakeEventLog.lock);
    if (server != nullptr || fakeEventLog.failRegistrations-- > 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(fakeEventLog.nextHandle += 8);
    fakeEventLog.registered.push_back(handle);
    fakeEventLog.sourceNames.push_back(source);
    return handle;
}

BOOL WINAPI fakeReport(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD stringCount,
                       DWORD dataSize, LPCWSTR* strings, LPVOID)
{
    std::lock_guard<std::mutex> guard(fakeEventLog.lock);
    fakeEventLog.events.push_back({source, type, category, id, user != nullptr,
                                   std::vector<std::wstring>(strings, strings + stringCount), dataSize});
    if (fakeEventLog.failReports-- > 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI fakeDeregister(HANDLE source)
{
    std::lock_guard<std::mutex> guard(fakeEventLog.lock);
    fakeEventLog.deregistered.push_back(source);
    return TRUE;
}

// ---- the product root and the debug file ----

std::wstring productRoot;

std::wstring todaysDebugLog()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[64];
    swprintf(name, 64, L"\\admin\\logs\\tarvolog_debug%04d%02d%02d.log", now.wYear, now.wMonth, now.wDay);
    return productRoot + name;
}

std::string readBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file's text after its byte-order mark, split into lines at CR LF.
std::vector<std::wstring> debugLines()
{
    const std::string bytes = readBytes(todaysDebugLog());
    if (bytes.empty())
        return {};
    EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE")) << "file must start with the byte-order mark";
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "the file must end with a whole line";
    return lines;
}

struct ParsedLine {
    SYSTEMTIME time{};
    DWORD pid = 0, tid = 0;
    std::wstring text;
};

// "YYYY/MM/DD hh:mm:ss.mmm pid tid Level: text", the timestamp zero-padded.
std::optional<ParsedLine> parseLine(const std::wstring& line)
{
    int f[7];
    unsigned long pid, tid;
    int consumed = 0;
    if (swscanf(line.c_str(), L"%4d/%2d/%2d %2d:%2d:%2d.%3d %lu %lu %n", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5],
                &f[6], &pid, &tid, &consumed) != 9 ||
        consumed == 0 || line.size() < 24 || line[4] != L'/' || line[7] != L'/' || line[10] != L' ' ||
        line[13] != L':' || line[16] != L':' || line[19] != L'.' || line[23] != L' ')
        return std::nullopt;
    ParsedLine parsed;
    parsed.time = {WORD(f[0]), WORD(f[1]), 0, WORD(f[2]), WORD(f[3]), WORD(f[4]), WORD(f[5]), WORD(f[6])};
    parsed.pid = pid;
    parsed.tid = tid;
    parsed.text = line.substr(static_cast<size_t>(consumed));
    return parsed;
}

// The texts ("Error: ...") of every line in today's debug file.
std::vector<std::wstring> debugTexts()
{
    std::vector<std::wstring> texts;
    for (const std::wstring& line : debugLines()) {
        const auto parsed = parseLine(line);
        EXPECT_TRUE(parsed) << "unparsable line " << testing::PrintToString(line);
        if (parsed)
            texts.push_back(parsed->text);
    }
    return texts;
}

// Points the C runtime's standard output at a file for a scope.
class StdoutCapture {
public:
    StdoutCapture() : path_(productRoot + L"\\stdout.txt")
    {
        std::fflush(stdout);
        saved_ = _dup(1);
        const int fd = _wopen(path_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        _dup2(fd, 1);
        _close(fd);
    }
    ~StdoutCapture() { finish(); }

    std::string finish()
    {
        if (saved_ >= 0) {
            std::fflush(stdout);
            _dup2(saved_, 1);
            _close(saved_);
            saved_ = -1;
        }
        return readBytes(path_);
    }

private:
    std::wstring path_;
    int saved_ = -1;
};

void removeTree(const std::wstring& directory)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring name = found.cFileName, path = directory + L"\\" + name;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            removeTree(path);
        else
            DeleteFileW(path.c_str());
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    RemoveDirectoryW(directory.c_str());
}

// Gives the run a product root of its own and the recording event log; puts the
// configuration back afterwards. A child only takes the event log: the values are
// its parent's.
class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        eventLogApi() = EventLogApi{fakeRegister, fakeReport, fakeDeregister};
        if (isChild()) {
            if (const auto root = testreg::readValue(CONFIG_KEY, L"PRODUCT_ROOT_D"))
                productRoot = reinterpret_cast<const wchar_t*>(root->data.data());
            return;
        }
        for (const wchar_t* name : {L"Debug", L"log_debug_enabled", L"PRODUCT_ROOT_D"})
            saved_.push_back(std::make_unique<testreg::ScopedValue>(CONFIG_KEY, name));
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        productRoot = std::wstring(temp) + testbed::uniqueName(L"wl_logroot");
        for (const wchar_t* folder : {L"", L"\\admin", L"\\admin\\logs"})
            CreateDirectoryW((productRoot + folder).c_str(), nullptr);
        testreg::setString(CONFIG_KEY, L"PRODUCT_ROOT_D", productRoot);
        testreg::setDword(CONFIG_KEY, L"Debug", 0);
        testreg::deleteValue(CONFIG_KEY, L"log_debug_enabled");
        eventLogExisted_ = testreg::keyExists(EVENT_LOG_KEY);
    }

    void TearDown() override
    {
        if (isChild())
            return;
        saved_.clear();
        if (!eventLogExisted_)
            testreg::deleteTree(EVENT_LOG_KEY);
        removeTree(productRoot);
    }

private:
    std::vector<std::unique_ptr<testreg::ScopedValue>> saved_;
    bool eventLogExisted_ = false;
};

::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

class RecordingListener : public LogListener {
public:
    void onException(int level, const vexception& e) override
    {
        calls.push_back({level, L"exception:" + e.fullText()});
        lastException = &e;
    }
    void onMessage(int level, const std::wstring& text) override { calls.push_back({level, text}); }

    std::vector<std::pair<int, std::wstring>> calls;
    const vexception* lastException = nullptr;
};

class ThrowingListener : public LogListener {
public:
    void onException(int, const vexception&) override { throw std::runtime_error("listener failed"); }
    void onMessage(int, const std::wstring&) override { throw 42; }
};

// Each test starts with Debug off, the debug file enabled, no file for today, standard
// output switched off (tests that look at it switch it on while they capture it) and a
// recording listener.
class LogManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = log.settings();
        std::fill(std::begin(log.settings().outputEnabled), std::end(log.settings().outputEnabled), false);
        log.settings().listeners.push_back(&listener);
        resetConfiguration();
        DeleteFileW(todaysDebugLog().c_str());
    }

    void TearDown() override
    {
        log.settings() = saved_;
        resetConfiguration();
        std::lock_guard<std::mutex> guard(fakeEventLog.lock);
        fakeEventLog.failRegistrations = fakeEventLog.failReports = 0;
    }

    static void resetConfiguration()
    {
        testreg::setDword(CONFIG_KEY, L"Debug", 0);
        testreg::deleteValue(CONFIG_KEY, L"log_debug_enabled");
        testreg::setString(CONFIG_KEY, L"PRODUCT_ROOT_D", productRoot);
        settleDebugSwitch();
    }

    // The flags the settings were created with (Debug was 0 when this process started).
    const LogSettings& defaults() const { return saved_; }

    LogManager& log = LogManager::instance();
    RecordingListener listener;

private:
    LogSettings saved_{};
};

} // namespace

// ---- the sinks a level reaches ----

TEST_F(LogManagerTest, WithDebugOffOnlyErrorLevelsReachFileAndEventLogAndOutputIsUtf8)
{
    const bool expectedOutput[] = {false, false, true, true, true, true};
    const bool expectedEvents[] = {false, false, false, true, true, true};
    for (int level = 0; level < 6; ++level) {
        EXPECT_EQ(defaults().outputEnabled[level], expectedOutput[level]) << level;
        EXPECT_EQ(defaults().eventLogEnabled[level], expectedEvents[level]) << level;
    }

    log.settings() = defaults();
    log.settings().outputStarted = false;
    StdoutCapture capture;
    for (int level = 0; level < 6; ++level)
        log.log(level, L"debug off level " + std::to_wstring(level));
    log.log(LOG_CRASH, vexception(L"zweite Zeile \u00fc\u20ac"));
    // Texts are separated, not terminated, by line feeds.
    EXPECT_EQ(capture.finish(), "debug off level 2\ndebug off level 3\ndebug off level 4\ndebug off level 5\n"
                                "zweite Zeile \xc3\xbc\xe2\x82\xac");
    log.log(9, L"level nine");

    EXPECT_EQ(debugTexts(), (std::vector<std::wstring>{L"Error: debug off level 3", L"Unexpected: debug off level 4",
                                                        L"Crash: debug off level 5",
                                                        L"Crash: zweite Zeile \u00fc\u20ac",
                                                        L"Unknown level: level nine"}));
    for (int level = 0; level < 6; ++level) {
        const auto events = fakeEventLog.eventsWithText(L"debug off level " + std::to_wstring(level));
        ASSERT_EQ(events.size(), level < 3 ? 0u : 1u) << level;
        EXPECT_TRUE(events.empty() || events[0].type == EVENTLOG_ERROR_TYPE) << level;
    }
    const auto unknown = fakeEventLog.eventsWithText(L"level nine");
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0].type, EVENTLOG_ERROR_TYPE);
}

TEST_F(LogManagerTest, DebugSwitchedOnWhileRunningReachesFileWithin16CallsButNotEventLog)
{
    testreg::setDword(CONFIG_KEY, L"Debug", 1);
    for (int i = 0; i < 16; ++i)
        log.log(LOG_INFO, L"info %d", i);
    log.log(LOG_WARNING, L"warning after switch");
    log.log(LOG_RESULT, L"result after switch");

    const std::vector<std::wstring> texts = debugTexts();
    ASSERT_GE(texts.size(), 3u) << "no Info line within 16 calls";
    // Once the switch is seen, every later line is written: the lines are a tail of the calls.
    const size_t infos = texts.size() - 2;
    for (size_t i = 0; i < infos; ++i)
        EXPECT_EQ(texts[i], L"Info: info " + std::to_wstring(16 - infos + i));
    EXPECT_EQ(texts[infos], L"Warning: warning after switch");
    EXPECT_EQ(texts[infos + 1], L"Result: result after switch");
    // The event-log flags keep the value the switch had when the settings were made.
    EXPECT_TRUE(fakeEventLog.eventsWithText(L"info 15").empty());
    EXPECT_TRUE(fakeEventLog.eventsWithText(L"warning after switch").empty());
}

TEST_F(LogManagerTest, DebugOnAtStartSendsEveryLevelToTheEventLog)
{
    testreg::setDword(CONFIG_KEY, L"Debug", 1);
    EXPECT_TRUE(childPasses(L"LogEveryLevel"));
}

TEST_F(LogManagerTest, DebugSwitchIsReadEvery16thCallAndKeepsItsLastValue)
{
    // The call that first sees the new value is a re-read; the next one is 16 calls later.
    testreg::setDword(CONFIG_KEY, L"Debug", 1);
    int calls = 1;
    while (!isDebug())
        ASSERT_LT(++calls, 17) << "the switch was not read within 16 calls";
    testreg::setDword(CONFIG_KEY, L"Debug", 0);
    for (int i = 1; i < 16; ++i)
        EXPECT_TRUE(isDebug()) << "re-read before the 16th call, at call " << i;
    EXPECT_FALSE(isDebug());

    testreg::setDword(CONFIG_KEY, L"Debug", 7);
    settleDebugSwitch();
    EXPECT_TRUE(isDebug());
    // A missing value or one of another type keeps the last value.
    testreg::setString(CONFIG_KEY, L"Debug", L"0");
    settleDebugSwitch();
    EXPECT_TRUE(isDebug());
    testreg::deleteValue(CONFIG_KEY, L"Debug");
    settleDebugSwitch();
    EXPECT_TRUE(isDebug());
}

// ---- the debug file ----

TEST_F(LogManagerTest, NewFileStartsWithByteOrderMarkAndLaterLinesAddNone)
{
    log.log(LOG_ERROR, L"first");
    const std::string afterFirst = readBytes(todaysDebugLog());
    ASSERT_EQ(afterFirst.substr(0, 2), "\xFF\xFE");
    log.log(LOG_ERROR, L"second");
    const std::string afterSecond = readBytes(todaysDebugLog());
    EXPECT_EQ(afterSecond.compare(0, afterFirst.size(), afterFirst), 0) << "the first line was rewritten";
    EXPECT_NE(afterSecond.substr(afterFirst.size(), 2), "\xFF\xFE") << "second line starts with another mark";
    EXPECT_EQ(debugTexts(), (std::vector<std::wstring>{L"Error: first", L"Error: second"}));

    // An empty file left behind counts as new.
    CloseHandle(CreateFileW(todaysDebugLog().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    log.log(LOG_ERROR, L"third");
    EXPECT_EQ(debugTexts(), std::vector<std::wstring>{L"Error: third"});
}

TEST_F(LogManagerTest, LineCarriesTimestampProcessThreadLevelAndText)
{
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    log.log(LOG_UNEXPECTED, L"layout \u00e9\u20ac check");
    DWORD otherThread = 0;
    std::thread([&] {
        otherThread = GetCurrentThreadId();
        LogManager::instance().log(LOG_CRASH, L"from another thread");
    }).join();
    GetLocalTime(&after);

    const std::vector<std::wstring> lines = debugLines();
    ASSERT_EQ(lines.size(), 2u);
    const auto first = parseLine(lines[0]);
    const auto second = parseLine(lines[1]);
    ASSERT_TRUE(first && second) << "unparsable: " << testing::PrintToString(lines);
    EXPECT_EQ(first->pid, GetCurrentProcessId());
    EXPECT_EQ(first->tid, GetCurrentThreadId());
    EXPECT_EQ(first->text, L"Unexpected: layout \u00e9\u20ac check");
    EXPECT_EQ(second->pid, GetCurrentProcessId());
    EXPECT_EQ(second->tid, otherThread);
    EXPECT_EQ(second->text, L"Crash: from another thread");

    // The timestamp carries milliseconds; compare at that precision.
    const auto millis = [](const SYSTEMTIME& time) {
        FILETIME t{};
        EXPECT_TRUE(SystemTimeToFileTime(&time, &t));
        return ((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
    };
    EXPECT_LE(millis(before), millis(first->time));
    EXPECT_LE(millis(first->time), millis(after));
}

TEST_F(LogManagerTest, FileSwitchedOffOrWithoutUsableRootLosesOnlyTheFileLine)
{
    testreg::setDword(CONFIG_KEY, L"log_debug_enabled", 0);
    log.log(LOG_ERROR, L"with the file switched off");
    log.log(LOG_CRASH, L"crash with the file switched off");
    testreg::deleteValue(CONFIG_KEY, L"log_debug_enabled");
    testreg::deleteValue(CONFIG_KEY, L"PRODUCT_ROOT_D");
    log.log(LOG_ERROR, L"no root");
    testreg::setDword(CONFIG_KEY, L"PRODUCT_ROOT_D", 5);
    log.log(LOG_ERROR, L"root of wrong type");
    testreg::setString(CONFIG_KEY, L"PRODUCT_ROOT_D", productRoot + L"\\missing");
    log.log(LOG_ERROR, L"root that does not exist");

    EXPECT_EQ(GetFileAttributesW(todaysDebugLog().c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(listener.calls.size(), 5u);
    for (const wchar_t* text : {L"with the file switched off", L"crash with the file switched off", L"no root",
                                L"root of wrong type", L"root that does not exist"})
        EXPECT_EQ(fakeEventLog.eventsWithText(text).size(), 1u) << testing::PrintToString(std::wstring(text));

    // Any other value of the switch keeps the file on.
    testreg::setString(CONFIG_KEY, L"PRODUCT_ROOT_D", productRoot);
    testreg::setDword(CONFIG_KEY, L"log_debug_enabled", 2);
    log.log(LOG_ERROR, L"switched on again");
    EXPECT_EQ(debugTexts(), std::vector<std::wstring>{L"Error: switched on again"});
}

TEST_F(LogManagerTest, TwoProcessesWritingAtOnceLeaveWholeLines)
{
    const int lines = 500; // each
    log.settings().eventLogEnabled[LOG_ERROR] = false;
    const std::wstring readyName = testbed::uniqueName(L"wl_log_writer_ready");
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    testbed::ChildTest child(L"LogChild.DISABLED_WriteLines",
                             {{CHILD_VARIABLE, L"1"}, {L"WL_LOG_READY_EVENT", readyName},
                              {L"WL_LOG_LINES", std::to_wstring(lines)}});
    const HANDLE waits[] = {ready, child.process()};
    ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0) << "second writer did not start";
    for (int i = 0; i < lines; ++i)
        log.log(LOG_ERROR, L"writer A line %d", i);
    EXPECT_TRUE(child.passed());
    CloseHandle(ready);

    std::set<std::wstring> seen;
    std::set<DWORD> writers;
    for (const std::wstring& line : debugLines()) {
        const auto parsed = parseLine(line);
        ASSERT_TRUE(parsed) << "broken line: " << testing::PrintToString(line);
        EXPECT_TRUE(seen.insert(parsed->text).second) << "duplicate line";
        writers.insert(parsed->pid);
    }
    EXPECT_EQ(seen.size(), 2u * lines);
    EXPECT_EQ(writers.size(), 2u);
    for (int i = 0; i < lines; ++i)
        for (const wchar_t* writer : {L"Error: writer A line ", L"Error: writer B line "})
            EXPECT_TRUE(seen.count(writer + std::to_wstring(i))) << i;
}

// ---- the call forms and listeners ----

TEST_F(LogManagerTest, ExceptionAndFormatFormsLogTheComposedText)
{
    vexception error(L"Disk is gone", ExceptionContext{L"", "VDisk::read", 12});
    error.addContext({L"Unable to call read(C:)", "VDisk::read", 40});
    log.log(LOG_ERROR, error);
    log.log(LOG_UNEXPECTED, L"%s has %d entries (%08X)", std::wstring(L"catalogue"), 7, 0xBEEFu);

    const std::wstring composed = error.fullText();
    EXPECT_NE(composed.find(L"\n   at Unable to call read(C:)(VDisk::read line 40)"), std::wstring::npos);
    EXPECT_EQ(debugTexts(), (std::vector<std::wstring>{L"Error: " + composed,
                                                        L"Unexpected: catalogue has 7 entries (0000BEEF)"}));
    EXPECT_EQ(fakeEventLog.eventsWithText(composed).size(), 1u);
    ASSERT_EQ(listener.calls.size(), 2u);
    EXPECT_EQ(listener.calls[0], std::make_pair(3, L"exception:" + composed));
    EXPECT_EQ(listener.lastException, &error);
    EXPECT_EQ(listener.calls[1], std::make_pair(4, std::wstring(L"catalogue has 7 entries (0000BEEF)")));
}

TEST_F(LogManagerTest, ThrowingListenerStopsNeitherOtherListenersNorTheCaller)
{
    ThrowingListener thrower;
    auto& listeners = log.settings().listeners;
    listeners.insert(listeners.begin(), &thrower);
    log.log(LOG_INFO, L"to the listeners");
    log.log(LOG_WARNING, vexception(L"exception to the listeners"));
    listeners.erase(listeners.begin());
    EXPECT_EQ(listener.calls, (std::vector<std::pair<int, std::wstring>>{
                                  {0, L"to the listeners"}, {1, L"exception:exception to the listeners"}}));
}

TEST_F(LogManagerTest, LogGuardWritesTheComposedFailureAtItsLevel)
{
    EXPECT_FALSE(logGuarded(
        LOG_ERROR, {"WardenLight::stopSite", 30},
        [] { throwOSError(L"CreateFile", ERROR_FILE_NOT_FOUND, {L"", "VFile::open", 77}); }, L"Stop %s",
        std::wstring(L"tarvosrv")));
    EXPECT_FALSE(logGuarded(
        LOG_WARNING, {"WardenLight::other", 31}, [] { throw std::runtime_error("plain failure"); }, L"Try %s",
        std::wstring(L"other")));

    ASSERT_EQ(listener.calls.size(), 2u);
    const std::wstring composed = osErrorMessage(ERROR_FILE_NOT_FOUND, L"CreateFile") +
                                  L"\n   at (VFile::open line 77)\n   at Stop tarvosrv(WardenLight::stopSite line 30)";
    EXPECT_EQ(listener.calls[0], std::make_pair(int(LOG_ERROR), L"exception:" + composed));
    EXPECT_EQ(debugTexts(), std::vector<std::wstring>{L"Error: " + composed});
    EXPECT_EQ(listener.calls[1], std::make_pair(int(LOG_WARNING), std::wstring(L"exception:plain failure\n   at "
                                                                                L"Try other(WardenLight::other line 31)")));
}

// ---- the event log ----

TEST_F(LogManagerTest, EventReportCarriesTypeCategoryIdAndTwoStrings)
{
    log.settings().eventLogEnabled[LOG_INFO] = true;
    log.settings().eventLogEnabled[LOG_RESULT] = true;
    log.log(LOG_ERROR, L"event error");
    log.log(LOG_RESULT, L"event result");
    log.log(LOG_INFO, L"event info");
    log.log(LOG_WARNING, L"event warning (flag off)");

    const std::pair<const wchar_t*, WORD> expected[] = {
        {L"event error", EVENTLOG_ERROR_TYPE}, {L"event result", EVENTLOG_SUCCESS}, {L"event info", EVENTLOG_INFORMATION_TYPE}};
    for (const auto& [text, type] : expected) {
        const auto events = fakeEventLog.eventsWithText(text);
        ASSERT_EQ(events.size(), 1u) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(events[0].type, type);
        EXPECT_EQ(events[0].category, 0);
        EXPECT_EQ(events[0].id, 1u);
        EXPECT_FALSE(events[0].hasUser);
        EXPECT_EQ(events[0].dataSize, 0u);
        EXPECT_EQ(events[0].strings[0], testbed::ownPath());
        EXPECT_EQ(events[0].source, log.getEventLog());
    }
    EXPECT_TRUE(fakeEventLog.eventsWithText(L"event warning (flag off)").empty());
    std::lock_guard<std::mutex> guard(fakeEventLog.lock);
    ASSERT_FALSE(fakeEventLog.sourceNames.empty());
    EXPECT_EQ(fakeEventLog.sourceNames.back(), L"logmanager_test.exe");
}

TEST_F(LogManagerTest, FailedReportOrRegistrationIsRetriedWithTheNextEvent)
{
    log.log(LOG_ERROR, L"before the failure");
    const HANDLE first = log.getEventLog();
    ASSERT_NE(first, nullptr);
    const auto registrations = [] {
        std::lock_guard<std::mutex> guard(fakeEventLog.lock);
        return fakeEventLog.registered.size();
    };
    const size_t before = registrations();

    // A failed report releases the source; the next event registers again.
    fakeEventLog.failReports = 1;
    log.log(LOG_ERROR, L"report that fails");
    ASSERT_FALSE(fakeEventLog.deregistered.empty());
    EXPECT_EQ(fakeEventLog.deregistered.back(), first);
    EXPECT_EQ(registrations(), before);
    log.log(LOG_ERROR, L"after the failure");
    auto events = fakeEventLog.eventsWithText(L"after the failure");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(registrations(), before + 1);
    EXPECT_NE(events[0].source, first);
    EXPECT_EQ(events[0].source, log.getEventLog());

    // A failed registration writes no event, loses no other sink and is tried again.
    fakeEventLog.failReports = 1;
    log.log(LOG_ERROR, L"drop the source");
    fakeEventLog.failRegistrations = 1;
    listener.calls.clear();
    log.log(LOG_ERROR, L"while registration fails");
    EXPECT_TRUE(fakeEventLog.eventsWithText(L"while registration fails").empty());
    EXPECT_EQ(listener.calls.size(), 1u);
    EXPECT_EQ(debugTexts().back(), L"Error: while registration fails");
    EXPECT_NE(log.getEventLog(), nullptr);
    log.log(LOG_ERROR, L"registered again");
    EXPECT_EQ(fakeEventLog.eventsWithText(L"registered again").size(), 1u);
}

TEST_F(LogManagerTest, RegistrationCreatesTheTarvoLogOnceAndRewritesTheSource)
{
    // The log is made at most once per process, so each step runs in a fresh one.
    const std::wstring sourceKey = std::wstring(EVENT_LOG_KEY) + L"\\logmanager_test.exe";
    const std::wstring messageFile = productRoot + L"\\admin\\bin64\\eventmsg.dll";
    testreg::deleteTree(EVENT_LOG_KEY);
    EXPECT_TRUE(childPasses(L"RegisterEventSource"));
    EXPECT_EQ(eventLogDword(EVENT_LOG_KEY, L"MaxSize"), 0x800000u);
    EXPECT_EQ(eventLogDword(EVENT_LOG_KEY, L"Retention"), 0u);
    EXPECT_EQ(eventLogDword(sourceKey, L"TypesSupported"), 7u);
    EXPECT_EQ(eventLogString(sourceKey, L"EventMessageFile"), messageFile);

    // An existing log keeps its settings; the source's values are written every time.
    testreg::setDword(EVENT_LOG_KEY, L"MaxSize", 0x100000);
    testreg::deleteValue(EVENT_LOG_KEY, L"Retention");
    testreg::setDword(sourceKey, L"TypesSupported", 0);
    testreg::deleteValue(sourceKey, L"EventMessageFile");
    testreg::setString(CONFIG_KEY, L"PRODUCT_ROOT_D", productRoot + L"\\");
    EXPECT_TRUE(childPasses(L"RegisterEventSource"));
    EXPECT_EQ(eventLogDword(EVENT_LOG_KEY, L"MaxSize"), 0x100000u);
    EXPECT_FALSE(eventLogDword(EVENT_LOG_KEY, L"Retention"));
    EXPECT_EQ(eventLogDword(sourceKey, L"TypesSupported"), 7u);
    EXPECT_EQ(eventLogString(sourceKey, L"EventMessageFile"), messageFile);
}

TEST(ExecuteContext, ExportedByTheExecutableAndHoldsTheLogSettings)
{
    auto exported = reinterpret_cast<ExecuteContext**>(GetProcAddress(GetModuleHandleW(nullptr), EXECUTE_CONTEXT_EXPORT));
    ASSERT_NE(exported, nullptr) << "the executable does not export the context";
    EXPECT_EQ(*exported, &executeContext());
    EXPECT_EQ((*exported)->logSettings, &LogManager::instance().settings());
    EXPECT_GE((*exported)->referenceCount, 1);
}

// ---- the second process of the tests above ----

TEST(LogChild, DISABLED_LogEveryLevel)
{
    LogManager& log = LogManager::instance();
    const WORD types[] = {EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_SUCCESS,
                          EVENTLOG_ERROR_TYPE,       EVENTLOG_ERROR_TYPE,   EVENTLOG_ERROR_TYPE};
    const wchar_t* const names[] = {L"Info", L"Warning", L"Result", L"Error", L"Unexpected", L"Crash"};
    const std::wstring tag = L"child " + std::to_wstring(GetCurrentProcessId()) + L" level ";
    std::vector<std::wstring> expected;
    for (int level = 0; level < 6; ++level) {
        EXPECT_TRUE(log.settings().eventLogEnabled[level]) << level;
        log.log(level, tag + std::to_wstring(level));
        const auto events = fakeEventLog.eventsWithText(tag + std::to_wstring(level));
        ASSERT_EQ(events.size(), 1u) << level;
        EXPECT_EQ(events[0].type, types[level]) << level;
        expected.push_back(std::wstring(names[level]) + L": " + tag + std::to_wstring(level));
    }
    std::vector<std::wstring> mine;
    for (const std::wstring& text : debugTexts())
        if (text.find(tag) != std::wstring::npos)
            mine.push_back(text);
    EXPECT_EQ(mine, expected);
}

TEST(LogChild, DISABLED_RegisterEventSource)
{
    EXPECT_NE(LogManager::instance().getEventLog(), nullptr);
}

TEST(LogChild, DISABLED_WriteLines)
{
    LogManager& log = LogManager::instance();
    log.settings().eventLogEnabled[LOG_ERROR] = false;
    log.settings().outputEnabled[LOG_ERROR] = false;
    const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, testbed::env(L"WL_LOG_READY_EVENT").c_str());
    ASSERT_NE(ready, nullptr);
    const int lines = std::stoi(testbed::env(L"WL_LOG_LINES"));
    SetEvent(ready);
    CloseHandle(ready);
    for (int i = 0; i < lines; ++i)
        log.log(LOG_ERROR, L"writer B line %d", i);
}
