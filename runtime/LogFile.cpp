#include "runtime/LogFile.h"

#include "runtime/Exception.h"
#include "runtime/LogConfig.h"
#include "runtime/Strings.h"

namespace {

bool sameDay(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wDay == b.wDay && a.wMonth == b.wMonth && a.wYear == b.wYear;
}

// value in decimal, at least width digits with leading zeros (width 0: as many as it has).
void appendNumber(std::wstring& to, unsigned long value, int width)
{
    wchar_t digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0 && count < 10);
    for (; count < width; --width)
        to += L'0';
    while (count > 0)
        to += digits[--count];
}

// "yyyy/mm/dd hh:mm:ss.mmm <process id> <thread id> <text>\r\n", put together by hand: every
// line pays for it, and a format parser took most of a line's time.
std::wstring lineRecord(const SYSTEMTIME& time, const std::wstring& text)
{
    struct Field {
        unsigned long value;
        int width;
        wchar_t after;
    };
    const Field fields[] = {{time.wYear, 4, L'/'},        {time.wMonth, 2, L'/'},  {time.wDay, 2, L' '},
                            {time.wHour, 2, L':'},        {time.wMinute, 2, L':'}, {time.wSecond, 2, L'.'},
                            {time.wMilliseconds, 3, L' '}, {GetCurrentProcessId(), 0, L' '},
                            {GetCurrentThreadId(), 0, L' '}};
    std::wstring line;
    line.reserve(48 + text.size());
    for (const Field& field : fields) {
        appendNumber(line, field.value, field.width);
        line += field.after;
    }
    line += text;
    line += L"\r\n";
    return line;
}

} // namespace

LogFile::LogFile(const std::wstring& name, DWORD defaultEnabled)
    : name_(name.empty() ? moduleFileName() : name), defaultEnabled_(defaultEnabled)
{
}

LogFile::~LogFile()
{
    timer_.reset();
    try {
        flush();
    } catch (...) {
    }
}

// Takes up what the configuration says of this log once it has been read again. Under lock_.
void LogFile::refreshSettings()
{
    LogConfig& config = LogConfig::instance();
    const unsigned generation = config.generation();
    if (settingsRead_ && generation == generation_)
        return;
    DWORD enabled = defaultEnabled_;
    config.readDword(L"log_" + name_ + L"_enabled", enabled);
    std::wstring directory;
    if (enabled != 0)
        directory = joinPath(config.productRoot(), L"admin\\logs");
    if (directory != directory_)
        file_.reset();
    if (enabled != 0 && !mutex_)
        mutex_ = std::make_unique<VMutex>(L"tarvolog_" + name_ + L"_mutex");
    enabled_ = enabled;
    directory_ = directory;
    generation_ = generation;
    settingsRead_ = true;
}

bool LogFile::enabled()
{
    const ExclusiveLock lock(lock_);
    refreshSettings();
    return enabled_ != 0;
}

void LogFile::write(const std::wstring& text, bool deferrable)
{
    bool now = !deferrable;
    {
        const ExclusiveLock lock(lock_);
        refreshSettings();
        if (enabled_ == 0)
            return;
        SYSTEMTIME time;
        logClock().getLocalTime(&time);
        waiting_.push_back({time, lineRecord(time, text)});
        now = now || waiting_.size() >= MAX_WAITING;
    }
    if (now || !scheduleFlush())
        flush();
}

void LogFile::flush()
{
    {
        const ExclusiveLock lock(lock_);
        if (waiting_.empty())
            return;
    }
    // Waited for alertably with no lock of ours held, so that an asynchronous call on this
    // thread that logs meanwhile does not wait for itself. The mutex exists from the first
    // line on and is kept until the object ends.
    VLock<VMutex> crossProcess(*mutex_);
    writeWaiting();
}

// Arms the timer that writes the waiting lines; false when there is none.
bool LogFile::scheduleFlush()
{
    const ExclusiveLock lock(lock_);
    if (timerArmed_)
        return true;
    if (!timer_)
        timer_.reset(CreateThreadpoolTimer(flushDue, this, nullptr));
    if (!timer_)
        return false;
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(DEFER_MS) * 10000); // relative, in 100 ns
    FILETIME dueTime{due.LowPart, due.HighPart};
    SetThreadpoolTimer(timer_.get(), &dueTime, 0, 0);
    timerArmed_ = true;
    return true;
}

void CALLBACK LogFile::flushDue(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER)
{
    LogFile& file = *static_cast<LogFile*>(context);
    {
        const ExclusiveLock lock(file.lock_);
        file.timerArmed_ = false;
    }
    try {
        file.flush();
    } catch (...) {
    }
}

// Appends the waiting lines, each day's in one write. With the mutex held.
void LogFile::writeWaiting()
{
    const ExclusiveLock lock(lock_);
    std::vector<Line> lines;
    lines.swap(waiting_);
    if (enabled_ == 0) // switched off since they were queued
        return;
    try {
        for (size_t first = 0, next = 0; first < lines.size(); first = next) {
            std::wstring records;
            for (next = first; next < lines.size() && sameDay(lines[next].time, lines[first].time); ++next)
                records += lines[next].record;
            openFor(lines[first].time);
            append(std::move(records));
        }
    } catch (...) {
        // Opened again for the next lines, which may find the file in order again.
        file_.reset();
        throw;
    }
}

void LogFile::openFor(const SYSTEMTIME& day)
{
    if (file_ && sameDay(day, fileDay_))
        return;
    file_.reset();
    const std::wstring path = joinPath(directory_, L"tarvolog_" + name_ +
                                                       formatString(L"%04d%02d%02d", day.wYear, day.wMonth, day.wDay) +
                                                       L".log");
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_)
        WL_THROW_LAST_ERROR(L"CreateFile");
    fileDay_ = day;
}

void LogFile::append(std::wstring records)
{
    // Other processes append too: the end is looked up for every write.
    LARGE_INTEGER end;
    if (!SetFilePointerEx(file_.get(), LARGE_INTEGER{}, &end, FILE_END))
        WL_THROW_LAST_ERROR(L"SetFilePointerEx");
    if (end.QuadPart == 0)
        records.insert(records.begin(), L'\xFEFF');
    // One write, so that no line of another process lands inside these.
    const DWORD bytes = static_cast<DWORD>(records.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (!WriteFile(file_.get(), records.data(), bytes, &written, nullptr) || written != bytes)
        WL_THROW_LAST_ERROR(L"WriteFile");
}
