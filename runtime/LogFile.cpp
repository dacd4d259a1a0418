#include "runtime/LogFile.h"

#include "runtime/Exception.h"
#include "runtime/LogConfig.h"
#include "runtime/Strings.h"

LogFile::LogFile(const std::wstring& name, DWORD defaultEnabled)
    : name_(name.empty() ? moduleFileName() : name), defaultEnabled_(defaultEnabled)
{
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

void LogFile::write(const std::wstring& text)
{
    VMutex* mutex = nullptr;
    {
        const ExclusiveLock lock(lock_);
        refreshSettings();
        if (enabled_ == 0)
            return;
        mutex = mutex_.get(); // kept until the object ends
    }
    // The mutex is waited for alertably with no lock of ours held, so that an asynchronous
    // call on this thread that logs meanwhile does not wait for itself.
    VLock<VMutex> crossProcess(*mutex);
    const ExclusiveLock lock(lock_);
    if (enabled_ == 0)
        return;
    SYSTEMTIME now;
    logClock().getLocalTime(&now);
    try {
        openFor(now);
        append(now, text);
    } catch (...) {
        // Opened again for the next line, which may find the file in order again.
        file_.reset();
        throw;
    }
}

void LogFile::openFor(const SYSTEMTIME& now)
{
    if (file_ && now.wDay == fileDay_.wDay && now.wMonth == fileDay_.wMonth && now.wYear == fileDay_.wYear)
        return;
    file_.reset();
    const std::wstring path = joinPath(directory_, L"tarvolog_" + name_ +
                                                       formatString(L"%04d%02d%02d", now.wYear, now.wMonth, now.wDay) +
                                                       L".log");
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_)
        WL_THROW_LAST_ERROR(L"CreateFile");
    fileDay_ = now;
}

void LogFile::append(const SYSTEMTIME& now, const std::wstring& text)
{
    // Other processes append too: the end is looked up for every line.
    LARGE_INTEGER end;
    if (!SetFilePointerEx(file_.get(), LARGE_INTEGER{}, &end, FILE_END))
        WL_THROW_LAST_ERROR(L"SetFilePointerEx");

    // Assembled first so that the line goes out in one write and cannot be cut in half.
    std::wstring record;
    if (end.QuadPart == 0)
        record += L'\xFEFF';
    record += formatString(L"%04d%s%02d%s%02d %02d:%02d:%02d.%03d", now.wYear, L"/", now.wMonth, L"/", now.wDay,
                           now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    record += formatString(L" %lu %lu ", GetCurrentProcessId(), GetCurrentThreadId());
    record += text;
    record += L"\r\n";

    const DWORD bytes = static_cast<DWORD>(record.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (!WriteFile(file_.get(), record.data(), bytes, &written, nullptr) || written != bytes)
        WL_THROW_LAST_ERROR(L"WriteFile");
}
