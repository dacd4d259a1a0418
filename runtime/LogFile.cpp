#include "runtime/LogFile.h"

#include "runtime/Exception.h"
#include "runtime/Handle.h"
#include "runtime/LogConfig.h"
#include "runtime/Strings.h"

LogFile::LogFile(const std::wstring& name, DWORD defaultEnabled)
    : name_(name.empty() ? moduleFileName() : name), enabled_(defaultEnabled)
{
    readConfigDword((L"log_" + name_ + L"_enabled").c_str(), enabled_);
    if (enabled_ == 0)
        return;
    directory_ = joinPath(readProductRoot(), L"admin\\logs");
    mutex_ = std::make_unique<VMutex>(L"tarvolog_" + name_ + L"_mutex");
}

std::wstring LogFile::pathFor(const SYSTEMTIME& localTime) const
{
    return joinPath(directory_, L"tarvolog_" + name_ +
                                    formatString(L"%04d%02d%02d", localTime.wYear, localTime.wMonth, localTime.wDay) +
                                    L".log");
}

void LogFile::write(const std::wstring& text)
{
    if (enabled_ == 0)
        return;
    VLock<VMutex> lock(*mutex_);

    SYSTEMTIME now;
    GetLocalTime(&now);
    UniqueFileHandle file(CreateFileW(pathFor(now).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        WL_THROW_LAST_ERROR(L"CreateFile");

    LARGE_INTEGER end;
    if (!SetFilePointerEx(file.get(), LARGE_INTEGER{}, &end, FILE_END))
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
    if (!WriteFile(file.get(), record.data(), bytes, &written, nullptr) || written != bytes)
        WL_THROW_LAST_ERROR(L"WriteFile");
}
