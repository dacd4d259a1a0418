#include "runtime/LogManager.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "runtime/EventLogApi.h"
#include "runtime/ExecuteContext.h"
#include "runtime/Handle.h"
#include "runtime/LogConfig.h"
#include "runtime/VMutex.h"

namespace {

const wchar_t EVENT_LOG_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo";
const wchar_t REGISTRATION_MUTEX[] = L"Global\\{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";

// Flags for levels outside 0..5 are those of the nearest known level.
int flagIndex(int level)
{
    return level < 0 ? 0 : level >= LOG_LEVEL_COUNT ? LOG_LEVEL_COUNT - 1 : level;
}

void setDword(HKEY key, const wchar_t* name, DWORD value)
{
    const LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR(L"RegSetValueEx", status);
}

UniqueRegKey createKey(const std::wstring& path, DWORD& disposition)
{
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, &disposition);
    if (status != ERROR_SUCCESS)
        WL_THROW_OS_ERROR(L"RegCreateKeyEx", status);
    return UniqueRegKey(key);
}

// The "Tarvo" log keeps the size and retention it was created with; whoever set it
// up first (or an administrator since) decides.
void ensureEventLogExists()
{
    static std::atomic<bool> ensured{false};
    if (ensured)
        return;
    DWORD disposition = 0;
    UniqueRegKey key = createKey(EVENT_LOG_KEY, disposition);
    if (disposition == REG_CREATED_NEW_KEY) {
        setDword(key.get(), L"MaxSize", 0x800000);
        setDword(key.get(), L"Retention", 0);
    }
    ensured = true;
}

HANDLE registerEventSource(const std::wstring& name)
{
    VMutex registration(REGISTRATION_MUTEX);
    VLock<VMutex> lock(registration);

    ensureEventLogExists();

    DWORD disposition = 0;
    UniqueRegKey source = createKey(std::wstring(EVENT_LOG_KEY) + L"\\" + name, disposition);
    setDword(source.get(), L"TypesSupported", 7);
    // Without a product root the source is still registered, so errors keep reaching
    // the event log; they only lack their message text.
    try {
        const std::wstring messageFile = joinPath(LogConfig::instance().productRoot(), L"admin\\bin64\\eventmsg.dll");
        const LSTATUS status = RegSetValueExW(source.get(), L"EventMessageFile", 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(messageFile.c_str()),
                                              static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t)));
        if (status != ERROR_SUCCESS)
            WL_THROW_OS_ERROR(L"RegSetValueEx", status);
    } catch (const vexception&) {
    }

    const HANDLE handle = eventLogApi().registerEventSource(nullptr, name.c_str());
    if (!handle)
        WL_THROW_LAST_ERROR(L"RegisterEventSource");
    return handle;
}

const wchar_t* logLevelName(int level)
{
    static const wchar_t* const names[LOG_LEVEL_COUNT] = {L"Info", L"Warning", L"Result", L"Error", L"Unexpected", L"Crash"};
    return level >= 0 && level < LOG_LEVEL_COUNT ? names[level] : L"Unknown level";
}

WORD logLevelEventType(int level)
{
    switch (level) {
    case LOG_INFO:
        return EVENTLOG_INFORMATION_TYPE;
    case LOG_WARNING:
        return EVENTLOG_WARNING_TYPE;
    case LOG_RESULT:
        return EVENTLOG_SUCCESS;
    default:
        return EVENTLOG_ERROR_TYPE;
    }
}

} // namespace

bool isDebug()
{
    return LogConfig::instance().debug();
}

LogManager& LogManager::instance()
{
    static LogManager manager;
    return manager;
}

LogManager::LogManager()
{
    bool created = false;
    m_settings = &contextLogSettings(created);
    if (created) {
        const bool debug = isDebug();
        for (int level = 0; level < LOG_LEVEL_COUNT; ++level) {
            m_settings->outputEnabled[level] = level >= LOG_RESULT;
            m_settings->eventLogEnabled[level] = level >= LOG_ERROR || debug;
        }
    }
}

LogManager::~LogManager() = default;

void LogManager::addListener(LogListener* listener)
{
    const SectionLock lock(m_settings->lock);
    m_settings->listeners.push_back(listener);
}

void LogManager::removeListener(LogListener* listener) noexcept
{
    const SectionLock lock(m_settings->lock);
    auto& listeners = m_settings->listeners;
    listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
}

template <typename Call>
void LogManager::callListeners(Call call) noexcept
{
    const SectionLock lock(m_settings->lock);
    // By index: a listener that logs may add or remove listeners meanwhile.
    for (size_t i = 0; i < m_settings->listeners.size(); ++i) {
        try {
            call(*m_settings->listeners[i]);
        } catch (...) {
        }
    }
}

void LogManager::log(int level, const std::wstring& text) noexcept
{
    writeSinks(level, text);
    callListeners([&](LogListener& listener) { listener.onMessage(level, text); });
}

void LogManager::log(int level, const vexception& e) noexcept
{
    try {
        writeSinks(level, e.fullText());
    } catch (...) {
    }
    callListeners([&](LogListener& listener) { listener.onException(level, e); });
}

void LogManager::writeSinks(int level, const std::wstring& text) noexcept
{
    writeDebugFile(level, text);
    if (m_settings->eventLogEnabled[flagIndex(level)])
        writeEventLog(level, text);
    if (m_settings->outputEnabled[flagIndex(level)])
        writeOutput(text);
}

bool LogManager::debugFileTakes(int level) noexcept
{
    return level >= LOG_ERROR || isDebug();
}

bool LogManager::wanted(int level) noexcept
{
    const int index = flagIndex(level);
    if (debugFileTakes(level) || m_settings->eventLogEnabled[index] || m_settings->outputEnabled[index])
        return true;
    const SectionLock lock(m_settings->lock);
    return !m_settings->listeners.empty();
}

void LogManager::writeDebugFile(int level, const std::wstring& text) noexcept
{
    try {
        if (!debugFileTakes(level))
            return;
        // Error, Unexpected and Crash lines are in the file when the call returns.
        m_debugFile.write(std::wstring(logLevelName(level)) + L": " + text, level < LOG_ERROR);
    } catch (...) {
    }
}

void LogManager::flush() noexcept
{
    try {
        m_debugFile.flush();
    } catch (...) {
    }
}

HANDLE LogManager::getEventLog() noexcept
{
    try {
        std::wstring name;
        {
            const ExclusiveLock lock(m_eventLock);
            if (m_eventSource)
                return m_eventSource.get();
            name = m_sourceName;
        }
        // Registration waits, alertably, for the panel-wide registration mutex: no lock of ours
        // is held meanwhile, or an asynchronous call on this thread that logs would wait for
        // itself.
        if (name.empty())
            name = moduleFileName();
        UniqueEventSource registered(registerEventSource(name));
        const ExclusiveLock lock(m_eventLock);
        // Another thread may have registered meanwhile; then ours is released again.
        if (!m_eventSource) {
            m_sourceName = name;
            m_eventSource = std::move(registered);
        }
        return m_eventSource.get();
    } catch (...) {
        return nullptr;
    }
}

void LogManager::writeEventLog(int level, const std::wstring& text) noexcept
{
    try {
        if (!getEventLog())
            return;
        const std::wstring path = modulePath();
        LPCWSTR strings[2] = {path.c_str(), text.c_str()};
        // The report runs under the lock so that no other thread releases the source meanwhile.
        const ExclusiveLock lock(m_eventLock);
        // A failed report drops the source; the next event registers it again.
        if (m_eventSource
            && !eventLogApi().reportEvent(m_eventSource.get(), logLevelEventType(level), 0, 1, nullptr, 2, 0, strings,
                                          nullptr))
            m_eventSource.reset();
    } catch (...) {
    }
}

void LogManager::writeOutput(const std::wstring& text) noexcept
{
    try {
        const std::string utf8 = cstr(text, CP_UTF8);
        const SectionLock lock(m_settings->lock);
        if (m_settings->outputStarted)
            std::printf("\n");
        else
            m_settings->outputStarted = true;
        std::printf("%s", utf8.c_str());
    } catch (...) {
    }
}
