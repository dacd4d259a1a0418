#include "runtime/RegistryWatch.h"

RegistryWatch::RegistryWatch(std::wstring path, REGSAM access, bool subtree, DWORD filter)
    : path_(std::move(path)), access_(access), subtree_(subtree), filter_(filter)
{
}

bool RegistryWatch::changed() noexcept
{
    if (key_ && WaitForSingleObject(event_.get(), 0) == WAIT_TIMEOUT)
        return false;
    watch();
    return true;
}

void RegistryWatch::watch() noexcept
{
    if (!event_)
        event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    // Opened afresh each time: the key may have been deleted and created again, and under Wine
    // a deleted key takes a watch without complaint and never announces anything again. Its
    // last watch has fired, so closing it announces nothing.
    key_.reset();
    if (!event_ || RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, access_, key_.put()) != ERROR_SUCCESS)
        return;
    // Thread-agnostic where the system knows it: on older systems the watch also ends (and
    // announces a change) when the calling thread ends, which only costs a needless read.
    if (RegNotifyChangeKeyValue(key_.get(), subtree_, filter_ | REG_NOTIFY_THREAD_AGNOSTIC, event_.get(), TRUE)
            != ERROR_SUCCESS
        && RegNotifyChangeKeyValue(key_.get(), subtree_, filter_, event_.get(), TRUE) != ERROR_SUCCESS)
        key_.reset();
}
