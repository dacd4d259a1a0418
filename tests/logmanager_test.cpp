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
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/EventLogApi.h"
#include "runtime/ExecuteContext.h"
#include "runtime/Guard.h"
#include "runtime/LogManager.h"
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

// ---- configuration values in HKLM, 32-bit view ----

void setConfigDword(const wchar_t* name, DWORD value)
{
    testreg::setDword(CONFIG_KEY, name, value);
}

void setConfigString(const wchar_t* name, const std::wstring& value)
{
    testreg::setString(CONFIG_KEY, name, value);
}

void deleteConfigValue(const wchar_t* name)
{
    testreg::deleteValue(CONFIG_KEY, name);
}

std::optional<DWORD> readDword(HKEY root, const std::wstring& path, const wchar_t* name)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::wstring readString(HKEY root, const std::wstring& path, const wchar_t* name)
{
    wchar_t value[1024] = L"";
    DWORD size = sizeof(value);
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return value;
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
    WORD type;
    WORD category;
    DWORD id;
    bool hasUser;
    std::vector<std::wstring> strings;
    DWORD dataSize;
};

struct FakeEventLog {
    std::mutex lock;
    std::vector<ReportedEvent> events;
    std::vector<HANDLE> registered;
    std::vector<std::wstring> sourceNames;
    std::vector<HANDLE> deregistered;
    int failRegistrations = 0;
    int failReports = 0;
    uintptr_t nextHandle = 0x5000;

    std::vector<ReportedEvent> eventsWithText(const std::wstring& text)
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<ReportedEvent> found;
        for (const ReportedEvent& event : events)
            if (event.strings.size() == 2 && event.strings[1] == text)
                found.push_back(event);
        return found;
    }
};

// Never destroyed: the LogManager releases its source at process exit.
FakeEventLog& fakeEventLog()
{
    static FakeEventLog* log = new FakeEventLog;
    return *log;
}

HANDLE WINAPI fakeRegister(LPCWSTR server, LPCWSTR source)
{
    FakeEventLog& log = fakeEventLog();
    std::lock_guard<std::mutex> guard(log.lock);
    if (server != nullptr || log.failRegistrations > 0) {
        --log.failRegistrations;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(log.nextHandle += 8);
    log.registered.push_back(handle);
    log.sourceNames.push_back(source);
    return handle;
}

BOOL WINAPI fakeReport(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD stringCount,
                       DWORD dataSize, LPCWSTR* strings, LPVOID)
{
    FakeEventLog& log = fakeEventLog();
    std::lock_guard<std::mutex> guard(log.lock);
    ReportedEvent event{source, type, category, id, user != nullptr, {}, dataSize};
    for (WORD i = 0; i < stringCount; ++i)
        event.strings.push_back(strings[i]);
    log.events.push_back(event);
    if (log.failReports > 0) {
        --log.failReports;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI fakeDeregister(HANDLE source)
{
    FakeEventLog& log = fakeEventLog();
    std::lock_guard<std::mutex> guard(log.lock);
    log.deregistered.push_back(source);
    return TRUE;
}

// ---- the product root and the debug file ----

std::wstring& productRoot()
{
    static std::wstring root;
    return root;
}

std::wstring logsDirectory()
{
    return productRoot() + L"\\admin\\logs";
}

std::wstring todaysDebugLog()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[64];
    swprintf(name, 64, L"tarvolog_debug%04d%02d%02d.log", now.wYear, now.wMonth, now.wDay);
    return logsDirectory() + L"\\" + name;
}

std::string readBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's text after its byte-order mark, split into lines at CR LF.
std::vector<std::wstring> debugLines()
{
    const std::string bytes = readBytes(todaysDebugLog());
    if (bytes.empty())
        return {};
    EXPECT_GE(bytes.size(), 2u);
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
    DWORD pid = 0;
    DWORD tid = 0;
    std::wstring text;
};

std::optional<ParsedLine> parseLine(const std::wstring& line)
{
    ParsedLine parsed;
    int year, month, day, hour, minute, second, millis;
    unsigned long pid, tid;
    int consumed = 0;
    if (swscanf(line.c_str(), L"%4d/%2d/%2d %2d:%2d:%2d.%3d %lu %lu %n", &year, &month, &day, &hour, &minute,
                &second, &millis, &pid, &tid, &consumed) != 9 ||
        consumed == 0)
        return std::nullopt;
    // The fixed-width timestamp must really be zero-padded: 23 characters, then a space.
    if (line.size() < 24 || line[4] != L'/' || line[7] != L'/' || line[10] != L' ' || line[13] != L':' ||
        line[16] != L':' || line[19] != L'.' || line[23] != L' ')
        return std::nullopt;
    parsed.time.wYear = static_cast<WORD>(year);
    parsed.time.wMonth = static_cast<WORD>(month);
    parsed.time.wDay = static_cast<WORD>(day);
    parsed.time.wHour = static_cast<WORD>(hour);
    parsed.time.wMinute = static_cast<WORD>(minute);
    parsed.time.wSecond = static_cast<WORD>(second);
    parsed.time.wMilliseconds = static_cast<WORD>(millis);
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
        EXPECT_TRUE(parsed) << "unparsable line";
        if (parsed)
            texts.push_back(parsed->text);
    }
    return texts;
}

// ---- standard output ----

// Points the C runtime's standard output at a file for a scope.
class StdoutCapture {
public:
    StdoutCapture() : path_(productRoot() + L"\\stdout.txt")
    {
        std::fflush(stdout);
        saved_ = _dup(1);
        const int fd = _wopen(path_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        EXPECT_GE(fd, 0);
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

// ---- a second copy of this executable ----

class ChildProcess {
public:
    // Runs LogChild.DISABLED_<test> in a copy of this executable with extra variables.
    ChildProcess(const std::wstring& test, const std::map<std::wstring, std::wstring>& variables = {})
        : output_(productRoot() + L"\\child_" + test + L".txt")
    {
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_also_run_disabled_tests --gtest_filter=LogChild.DISABLED_" + test;

        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        const HANDLE out = CreateFileW(output_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(out, INVALID_HANDLE_VALUE);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = out;

        SetEnvironmentVariableW(CHILD_VARIABLE, L"1");
        for (const auto& [name, value] : variables)
            SetEnvironmentVariableW(name.c_str(), value.c_str());
        PROCESS_INFORMATION info{};
        const BOOL started =
            CreateProcessW(exe, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
        const DWORD error = GetLastError();
        SetEnvironmentVariableW(CHILD_VARIABLE, nullptr);
        for (const auto& variable : variables)
            SetEnvironmentVariableW(variable.first.c_str(), nullptr);
        CloseHandle(out);
        EXPECT_TRUE(started) << "CreateProcessW failed: " << error;
        if (started) {
            process_ = info.hProcess;
            CloseHandle(info.hThread);
        }
    }
    ~ChildProcess()
    {
        if (process_) {
            TerminateProcess(process_, 1);
            CloseHandle(process_);
        }
    }

    HANDLE process() const { return process_; }

    // Waits for the child and checks that its test passed.
    void expectSuccess()
    {
        ASSERT_NE(process_, nullptr);
        ASSERT_EQ(WaitForSingleObject(process_, 120000), WAIT_OBJECT_0) << "child did not end";
        DWORD code = 1;
        GetExitCodeProcess(process_, &code);
        CloseHandle(process_);
        process_ = nullptr;
        const std::string output = readBytes(output_);
        EXPECT_EQ(code, 0u) << "child output:\n" << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << "child output:\n" << output;
    }

private:
    std::wstring output_;
    HANDLE process_ = nullptr;
};

// ---- the whole run ----

const wchar_t* const SAVED_VALUES[] = {L"Debug", L"log_debug_enabled", L"PRODUCT_ROOT_D"};

// Gives the run a product root of its own and the recording event log; puts the
// configuration back afterwards. A child only takes the event log: the values are
// its parent's.
class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        eventLogApi() = EventLogApi{fakeRegister, fakeReport, fakeDeregister};
        if (isChild()) {
            const auto root = testreg::readValue(CONFIG_KEY, L"PRODUCT_ROOT_D");
            if (root)
                productRoot() = reinterpret_cast<const wchar_t*>(root->data.data());
            return;
        }
        for (const wchar_t* name : SAVED_VALUES)
            saved_.push_back(std::make_unique<testreg::ScopedValue>(CONFIG_KEY, name));

        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        productRoot() = std::wstring(temp) + testbed::uniqueName(L"wl_logroot");
        CreateDirectoryW(productRoot().c_str(), nullptr);
        CreateDirectoryW((productRoot() + L"\\admin").c_str(), nullptr);
        CreateDirectoryW(logsDirectory().c_str(), nullptr);

        setConfigString(L"PRODUCT_ROOT_D", productRoot());
        setConfigDword(L"Debug", 0);
        deleteConfigValue(L"log_debug_enabled");
        eventLogExisted_ = readDword(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY, L"MaxSize").has_value();
    }

    void TearDown() override
    {
        if (isChild())
            return;
        saved_.clear();
        if (!eventLogExisted_)
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY);
        removeTree(productRoot());
    }

private:
    // Removes the folder tree the run created.
    static void removeTree(const std::wstring& directory)
    {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring path = directory + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    removeTree(path);
                else
                    DeleteFileW(path.c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(directory.c_str());
    }

    std::vector<std::unique_ptr<testreg::ScopedValue>> saved_;
    bool eventLogExisted_ = false;
};

::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

// Each test starts with Debug off, the debug file enabled, no file for today and standard
// output switched off (tests that look at it switch it on while they capture it).
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (isChild())
            GTEST_SKIP() << "parent-only test";
        LogSettings& settings = LogManager::instance().settings();
        saved_ = settings;
        for (bool& enabled : settings.outputEnabled)
            enabled = false;
        setConfigDword(L"Debug", 0);
        deleteConfigValue(L"log_debug_enabled");
        setConfigString(L"PRODUCT_ROOT_D", productRoot());
        settleDebugSwitch();
        DeleteFileW(todaysDebugLog().c_str());
    }

    void TearDown() override
    {
        if (isChild())
            return;
        LogManager::instance().settings() = saved_;
        setConfigDword(L"Debug", 0);
        deleteConfigValue(L"log_debug_enabled");
        setConfigString(L"PRODUCT_ROOT_D", productRoot());
        settleDebugSwitch();
        std::lock_guard<std::mutex> guard(fakeEventLog().lock);
        fakeEventLog().failRegistrations = 0;
        fakeEventLog().failReports = 0;
    }

    // The flags the settings were created with.
    const LogSettings& defaults() const { return saved_; }

    LogManager& log = LogManager::instance();

private:
    LogSettings saved_{};
};

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

// Registers a listener for a scope.
class ListenerScope {
public:
    explicit ListenerScope(LogListener& listener) : listener_(listener)
    {
        LogManager::instance().settings().listeners.push_back(&listener);
    }
    ~ListenerScope()
    {
        auto& listeners = LogManager::instance().settings().listeners;
        listeners.erase(std::remove(listeners.begin(), listeners.end(), &listener_), listeners.end());
    }

private:
    LogListener& listener_;
};

using LogManagerTest = LogTest;
using LogManagerEventLog = LogTest;
using LogManagerOutput = LogTest;

} // namespace

// ---- the sinks a level reaches ----

TEST_F(LogManagerTest, WithDebugOffOnlyErrorLevelsReachFileAndEventLog)
{
    // This process created the settings while Debug was 0.
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
    const std::string output = capture.finish();

    EXPECT_EQ(debugTexts(), (std::vector<std::wstring>{L"Error: debug off level 3", L"Unexpected: debug off level 4",
                                                        L"Crash: debug off level 5"}));
    for (int level = 0; level < 6; ++level) {
        const auto events = fakeEventLog().eventsWithText(L"debug off level " + std::to_wstring(level));
        if (level < 3) {
            EXPECT_TRUE(events.empty()) << level;
        } else {
            ASSERT_EQ(events.size(), 1u) << level;
            EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
        }
    }
    EXPECT_EQ(output, "debug off level 2\ndebug off level 3\ndebug off level 4\ndebug off level 5");
}

TEST_F(LogManagerTest, DebugSwitchedOnWhileRunningReachesFileWithin16CallsButNotEventLog)
{
    setConfigDword(L"Debug", 1);
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
    EXPECT_TRUE(fakeEventLog().eventsWithText(L"info 15").empty());
    EXPECT_TRUE(fakeEventLog().eventsWithText(L"warning after switch").empty());
}

TEST_F(LogManagerTest, DebugOnAtStartSendsEveryLevelToTheEventLog)
{
    setConfigDword(L"Debug", 1);
    ChildProcess child(L"LogEveryLevel");
    child.expectSuccess();
}

TEST_F(LogManagerTest, LevelOutsideTheTableIsWrittenAsUnknownLevel)
{
    log.log(9, L"level nine");
    EXPECT_EQ(debugTexts(), std::vector<std::wstring>{L"Unknown level: level nine"});
    const auto events = fakeEventLog().eventsWithText(L"level nine");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
}

// ---- the debug file ----

TEST_F(LogManagerTest, NewFileStartsWithByteOrderMarkAndLaterLinesAddNone)
{
    log.log(LOG_ERROR, L"first");
    const std::string afterFirst = readBytes(todaysDebugLog());
    ASSERT_GE(afterFirst.size(), 2u);
    EXPECT_EQ(afterFirst.substr(0, 2), "\xFF\xFE");

    log.log(LOG_ERROR, L"second");
    const std::string afterSecond = readBytes(todaysDebugLog());
    ASSERT_GT(afterSecond.size(), afterFirst.size());
    EXPECT_EQ(afterSecond.compare(0, afterFirst.size(), afterFirst), 0) << "the first line was rewritten";
    const std::string appended = afterSecond.substr(afterFirst.size());
    EXPECT_NE(appended.substr(0, 2), "\xFF\xFE") << "second line starts with another byte-order mark";
    EXPECT_EQ(debugTexts(), (std::vector<std::wstring>{L"Error: first", L"Error: second"}));

    // An empty file left behind counts as new.
    HANDLE empty = CreateFileW(todaysDebugLog().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(empty, INVALID_HANDLE_VALUE);
    CloseHandle(empty);
    log.log(LOG_ERROR, L"third");
    EXPECT_EQ(debugTexts(), std::vector<std::wstring>{L"Error: third"});
}

TEST_F(LogManagerTest, LineCarriesTimestampProcessThreadLevelAndText)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    log.log(LOG_UNEXPECTED, L"layout \u00e9\u20ac check");
    DWORD otherThread = 0;
    std::thread([&] {
        otherThread = GetCurrentThreadId();
        LogManager::instance().log(LOG_CRASH, L"from another thread");
    }).join();
    SYSTEMTIME after;
    GetLocalTime(&after);

    const std::vector<std::wstring> lines = debugLines();
    ASSERT_EQ(lines.size(), 2u);
    const auto first = parseLine(lines[0]);
    ASSERT_TRUE(first) << "unparsable: " << testing::PrintToString(lines[0]);
    EXPECT_EQ(first->pid, GetCurrentProcessId());
    EXPECT_EQ(first->tid, GetCurrentThreadId());
    EXPECT_EQ(first->text, L"Unexpected: layout \u00e9\u20ac check");

    FILETIME earliest, latest, logged;
    SystemTimeToFileTime(&before, &earliest);
    SystemTimeToFileTime(&after, &latest);
    ASSERT_TRUE(SystemTimeToFileTime(&first->time, &logged));
    // The timestamp carries milliseconds; compare at that precision.
    auto ticks = [](const FILETIME& t) { return ((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000; };
    EXPECT_LE(ticks(earliest), ticks(logged));
    EXPECT_LE(ticks(logged), ticks(latest));

    const auto second = parseLine(lines[1]);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->pid, GetCurrentProcessId());
    EXPECT_EQ(second->tid, otherThread);
    EXPECT_EQ(second->text, L"Crash: from another thread");
}

TEST_F(LogManagerTest, DisabledDebugLogWritesNoFileButOtherSinksStillRun)
{
    setConfigDword(L"log_debug_enabled", 0);
    RecordingListener listener;
    ListenerScope scope(listener);
    log.log(LOG_ERROR, L"with the file switched off");
    log.log(LOG_CRASH, L"crash with the file switched off");

    EXPECT_FALSE(fileExists(todaysDebugLog()));
    EXPECT_EQ(fakeEventLog().eventsWithText(L"with the file switched off").size(), 1u);
    EXPECT_EQ(listener.calls.size(), 2u);

    // Any other value of the switch keeps the file on.
    setConfigDword(L"log_debug_enabled", 2);
    log.log(LOG_ERROR, L"switched on again");
    EXPECT_EQ(debugTexts(), std::vector<std::wstring>{L"Error: switched on again"});
}

TEST_F(LogManagerTest, UnreadableProductRootLosesTheLineSilently)
{
    RecordingListener listener;
    ListenerScope scope(listener);
    const wchar_t* const texts[] = {L"no root", L"root of wrong type", L"root that does not exist"};

    deleteConfigValue(L"PRODUCT_ROOT_D");
    log.log(LOG_ERROR, texts[0]);
    setConfigDword(L"PRODUCT_ROOT_D", 5);
    log.log(LOG_ERROR, texts[1]);
    setConfigString(L"PRODUCT_ROOT_D", productRoot() + L"\\missing");
    log.log(LOG_ERROR, texts[2]);

    EXPECT_FALSE(fileExists(todaysDebugLog()));
    // The other sinks are not affected.
    ASSERT_EQ(listener.calls.size(), 3u);
    for (const wchar_t* text : texts)
        EXPECT_EQ(fakeEventLog().eventsWithText(text).size(), 1u) << testing::PrintToString(std::wstring(text));
}

// ---- the three call forms and listeners ----

TEST_F(LogManagerTest, ExceptionAndFormatFormsLogTheComposedText)
{
    RecordingListener listener;
    ListenerScope scope(listener);
    vexception error(L"Disk is gone", ExceptionContext{L"", "VDisk::read", 12});
    error.addContext({L"Unable to call read(C:)", "VDisk::read", 40});

    log.log(LOG_ERROR, error);
    log.log(LOG_UNEXPECTED, L"%s has %d entries (%08X)", std::wstring(L"catalogue"), 7, 0xBEEFu);

    const std::wstring composed = error.fullText();
    EXPECT_NE(composed.find(L"\n   at Unable to call read(C:)(VDisk::read line 40)"), std::wstring::npos);
    EXPECT_EQ(debugTexts(), (std::vector<std::wstring>{L"Error: " + composed,
                                                        L"Unexpected: catalogue has 7 entries (0000BEEF)"}));
    EXPECT_EQ(fakeEventLog().eventsWithText(composed).size(), 1u);
    ASSERT_GE(listener.calls.size(), 2u);
    EXPECT_EQ(listener.calls[0], std::make_pair(3, L"exception:" + composed));
    EXPECT_EQ(listener.lastException, &error);
    EXPECT_EQ(listener.calls[1], std::make_pair(4, std::wstring(L"catalogue has 7 entries (0000BEEF)")));
}

TEST_F(LogManagerTest, ThrowingListenerStopsNeitherOtherListenersNorTheCaller)
{
    ThrowingListener thrower;
    RecordingListener recorder;
    ListenerScope first(thrower);
    ListenerScope second(recorder);

    log.log(LOG_INFO, L"to the listeners");
    log.log(LOG_WARNING, vexception(L"exception to the listeners"));

    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_EQ(recorder.calls[0], std::make_pair(0, std::wstring(L"to the listeners")));
    EXPECT_EQ(recorder.calls[1], std::make_pair(1, std::wstring(L"exception:exception to the listeners")));
}

TEST_F(LogManagerTest, LogGuardWritesTheComposedFailureAtItsLevel)
{
    RecordingListener listener;
    ListenerScope scope(listener);
    const bool ended = logGuarded(
        LOG_ERROR, {"WardenLight::stopSite", __LINE__},
        [] { throwOSError(L"CreateFile", ERROR_FILE_NOT_FOUND, {L"", "VFile::open", 77}); }, L"Stop %s",
        std::wstring(L"tarvosrv"));
    EXPECT_FALSE(ended);

    const bool warned = logGuarded(
        LOG_WARNING, {"WardenLight::other", __LINE__}, [] { throw std::runtime_error("plain failure"); },
        L"Try %s", std::wstring(L"other"));
    EXPECT_FALSE(warned);

    ASSERT_EQ(listener.calls.size(), 2u);
    EXPECT_EQ(listener.calls[0].first, LOG_ERROR);
    const std::wstring& text = listener.calls[0].second;
    EXPECT_EQ(text.rfind(L"exception:" + osErrorMessage(ERROR_FILE_NOT_FOUND, L"CreateFile"), 0), 0u);
    EXPECT_NE(text.find(L"\n   at (VFile::open line 77)"), std::wstring::npos);
    EXPECT_NE(text.find(L"\n   at Stop tarvosrv(WardenLight::stopSite line "), std::wstring::npos);
    EXPECT_EQ(debugTexts(), std::vector<std::wstring>{L"Error: " + text.substr(10)});

    EXPECT_EQ(listener.calls[1].first, LOG_WARNING);
    EXPECT_EQ(listener.calls[1].second.rfind(L"exception:plain failure\n   at Try other(WardenLight::other line ", 0), 0u);
}

// ---- the event log ----

TEST_F(LogManagerEventLog, ReportCarriesTypeCategoryIdAndTwoStrings)
{
    log.settings().eventLogEnabled[LOG_INFO] = true;
    log.settings().eventLogEnabled[LOG_RESULT] = true;
    log.log(LOG_ERROR, L"event error");
    log.log(LOG_RESULT, L"event result");
    log.log(LOG_INFO, L"event info");
    log.log(LOG_WARNING, L"event warning (flag off)");

    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::pair<const wchar_t*, WORD> expected[] = {
        {L"event error", EVENTLOG_ERROR_TYPE}, {L"event result", EVENTLOG_SUCCESS}, {L"event info", EVENTLOG_INFORMATION_TYPE}};
    for (const auto& [text, type] : expected) {
        const auto events = fakeEventLog().eventsWithText(text);
        ASSERT_EQ(events.size(), 1u) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(events[0].type, type);
        EXPECT_EQ(events[0].category, 0);
        EXPECT_EQ(events[0].id, 1u);
        EXPECT_FALSE(events[0].hasUser);
        EXPECT_EQ(events[0].dataSize, 0u);
        EXPECT_EQ(events[0].strings[0], exe);
        EXPECT_EQ(events[0].source, log.getEventLog());
    }
    EXPECT_TRUE(fakeEventLog().eventsWithText(L"event warning (flag off)").empty());
    std::lock_guard<std::mutex> guard(fakeEventLog().lock);
    ASSERT_FALSE(fakeEventLog().sourceNames.empty());
    EXPECT_EQ(fakeEventLog().sourceNames.back(), L"logmanager_test.exe");
}

TEST_F(LogManagerEventLog, FailedReportReleasesTheSourceAndTheNextEventRegistersAgain)
{
    log.log(LOG_ERROR, L"before the failure");
    const HANDLE first = log.getEventLog();
    ASSERT_NE(first, nullptr);
    size_t registrations;
    {
        std::lock_guard<std::mutex> guard(fakeEventLog().lock);
        registrations = fakeEventLog().registered.size();
        fakeEventLog().failReports = 1;
    }

    log.log(LOG_ERROR, L"report that fails");
    {
        std::lock_guard<std::mutex> guard(fakeEventLog().lock);
        ASSERT_FALSE(fakeEventLog().deregistered.empty());
        EXPECT_EQ(fakeEventLog().deregistered.back(), first);
        EXPECT_EQ(fakeEventLog().registered.size(), registrations);
    }

    log.log(LOG_ERROR, L"after the failure");
    const auto events = fakeEventLog().eventsWithText(L"after the failure");
    ASSERT_EQ(events.size(), 1u);
    std::lock_guard<std::mutex> guard(fakeEventLog().lock);
    EXPECT_EQ(fakeEventLog().registered.size(), registrations + 1);
    EXPECT_EQ(events[0].source, fakeEventLog().registered.back());
    EXPECT_NE(events[0].source, first);
}

TEST_F(LogManagerEventLog, FailedRegistrationWritesNoEventAndIsTriedAgain)
{
    // Drop the current source so that the next event has to register.
    fakeEventLog().failReports = 1;
    log.log(LOG_ERROR, L"drop the source");
    fakeEventLog().failRegistrations = 1;

    RecordingListener listener;
    ListenerScope scope(listener);
    log.log(LOG_ERROR, L"while registration fails");
    EXPECT_TRUE(fakeEventLog().eventsWithText(L"while registration fails").empty());
    EXPECT_EQ(listener.calls.size(), 1u);
    EXPECT_EQ(debugTexts().back(), L"Error: while registration fails");

    EXPECT_NE(log.getEventLog(), nullptr);
    log.log(LOG_ERROR, L"registered again");
    EXPECT_EQ(fakeEventLog().eventsWithText(L"registered again").size(), 1u);
}

TEST_F(LogManagerEventLog, RegistrationCreatesTheTarvoLogOnceAndRewritesTheSource)
{
    // The log is made at most once per process, so each step runs in a fresh one.
    const std::wstring sourceKey = std::wstring(EVENT_LOG_KEY) + L"\\logmanager_test.exe";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY);
    ChildProcess(L"RegisterEventSource").expectSuccess();

    EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY, L"MaxSize"), 0x800000u);
    EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY, L"Retention"), 0u);
    EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, sourceKey, L"TypesSupported"), 7u);
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, sourceKey, L"EventMessageFile"),
              productRoot() + L"\\admin\\bin64\\eventmsg.dll");

    // An existing log keeps its settings; the source's values are written every time.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    const DWORD maxSize = 0x100000;
    RegSetValueExW(key, L"MaxSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&maxSize), sizeof(maxSize));
    RegDeleteValueW(key, L"Retention");
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, sourceKey.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    const DWORD noTypes = 0;
    RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&noTypes), sizeof(noTypes));
    RegDeleteValueW(key, L"EventMessageFile");
    RegCloseKey(key);
    setConfigString(L"PRODUCT_ROOT_D", productRoot() + L"\\");

    ChildProcess(L"RegisterEventSource").expectSuccess();
    EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY, L"MaxSize"), 0x100000u);
    EXPECT_FALSE(readDword(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY, L"Retention"));
    EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, sourceKey, L"TypesSupported"), 7u);
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, sourceKey, L"EventMessageFile"),
              productRoot() + L"\\admin\\bin64\\eventmsg.dll");
}

// ---- standard output ----

TEST_F(LogManagerOutput, TextsAreSeparatedNotTerminatedByLineFeedsInUtf8)
{
    log.settings() = defaults();
    log.settings().outputStarted = false;
    StdoutCapture capture;
    log.log(LOG_RESULT, L"first");
    log.log(LOG_INFO, L"info is not printed");
    log.log(LOG_ERROR, L"zweite Zeile \u00fc\u20ac");
    log.log(LOG_CRASH, vexception(L"third"));
    EXPECT_EQ(capture.finish(), "first\nzweite Zeile \xc3\xbc\xe2\x82\xac\nthird");
}

// ---- isDebug ----

TEST_F(LogManagerTest, DebugSwitchIsReadEvery16thCallAndKeepsItsLastValue)
{
    // The call that first sees the new value is a re-read; the next one is 16 calls later.
    setConfigDword(L"Debug", 1);
    int calls = 1;
    while (!isDebug())
        ASSERT_LT(++calls, 17) << "the switch was not read within 16 calls";
    setConfigDword(L"Debug", 0);
    for (int i = 1; i < 16; ++i)
        EXPECT_TRUE(isDebug()) << "re-read before the 16th call, at call " << i;
    EXPECT_FALSE(isDebug());

    setConfigDword(L"Debug", 7);
    settleDebugSwitch();
    EXPECT_TRUE(isDebug());
    // A missing value or one of another type keeps the last value.
    setConfigString(L"Debug", L"0");
    settleDebugSwitch();
    EXPECT_TRUE(isDebug());
    deleteConfigValue(L"Debug");
    settleDebugSwitch();
    EXPECT_TRUE(isDebug());
}

// ---- the shared execute context ----

TEST(ExecuteContext, ExportedByTheExecutableAndHoldsTheLogSettings)
{
    if (isChild())
        GTEST_SKIP() << "parent-only test";
    LogSettings& settings = LogManager::instance().settings();
    auto exported = reinterpret_cast<ExecuteContext**>(GetProcAddress(GetModuleHandleW(nullptr), EXECUTE_CONTEXT_EXPORT));
    ASSERT_NE(exported, nullptr) << "the executable does not export the context";
    ASSERT_NE(*exported, nullptr);
    EXPECT_EQ(*exported, &executeContext());
    EXPECT_EQ((*exported)->logSettings, &settings);
    EXPECT_GE((*exported)->referenceCount, 1);
}

// ---- two processes on one file ----

TEST_F(LogManagerTest, TwoProcessesWritingAtOnceLeaveWholeLines)
{
    const int lines = 500;
    log.settings().eventLogEnabled[LOG_ERROR] = false;
    const std::wstring readyName = testbed::uniqueName(L"wl_log_writer_ready");
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    ASSERT_NE(ready, nullptr);

    ChildProcess child(L"WriteLines", {{L"WL_LOG_READY_EVENT", readyName}, {L"WL_LOG_LINES", std::to_wstring(lines)}});
    const HANDLE waits[] = {ready, child.process()};
    ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0) << "second writer did not start";
    for (int i = 0; i < lines; ++i)
        log.log(LOG_ERROR, L"writer A line %d", i);
    child.expectSuccess();
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
    for (int i = 0; i < lines; ++i) {
        EXPECT_TRUE(seen.count(L"Error: writer A line " + std::to_wstring(i))) << i;
        EXPECT_TRUE(seen.count(L"Error: writer B line " + std::to_wstring(i))) << i;
    }
}

// ---- the second process of the tests above ----

class LogChild : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!isChild())
            GTEST_SKIP() << "runs only as the second process of another test";
    }
};

TEST_F(LogChild, DISABLED_LogEveryLevel)
{
    LogManager& log = LogManager::instance();
    for (int level = 0; level < 6; ++level)
        EXPECT_TRUE(log.settings().eventLogEnabled[level]) << level;
    const WORD types[] = {EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_SUCCESS,
                          EVENTLOG_ERROR_TYPE,       EVENTLOG_ERROR_TYPE,   EVENTLOG_ERROR_TYPE};
    const std::wstring tag = L"child " + std::to_wstring(GetCurrentProcessId()) + L" level ";
    for (int level = 0; level < 6; ++level) {
        log.log(level, tag + std::to_wstring(level));
        const auto events = fakeEventLog().eventsWithText(tag + std::to_wstring(level));
        ASSERT_EQ(events.size(), 1u) << level;
        EXPECT_EQ(events[0].type, types[level]) << level;
    }
    std::vector<std::wstring> mine;
    for (const std::wstring& text : debugTexts())
        if (text.find(tag) != std::wstring::npos)
            mine.push_back(text);
    ASSERT_EQ(mine.size(), 6u);
    const wchar_t* const names[] = {L"Info", L"Warning", L"Result", L"Error", L"Unexpected", L"Crash"};
    for (int level = 0; level < 6; ++level)
        EXPECT_EQ(mine[level], std::wstring(names[level]) + L": " + tag + std::to_wstring(level));
}

TEST_F(LogChild, DISABLED_RegisterEventSource)
{
    EXPECT_NE(LogManager::instance().getEventLog(), nullptr);
}

TEST_F(LogChild, DISABLED_WriteLines)
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
