#include "runtime/ExecuteContext.h"

#include <psapi.h>

#include <algorithm>
#include <vector>

#include "runtime/LogManager.h"

extern "C" __declspec(dllexport) ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;

namespace {

ExecuteContext* findSharedContext()
{
    std::vector<HMODULE> modules(1024 / sizeof(HMODULE));
    DWORD needed = 0;
    const HANDLE process = GetCurrentProcess();
    if (!K32EnumProcessModules(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
        return nullptr;
    if (needed > modules.size() * sizeof(HMODULE)) {
        modules.resize(needed / sizeof(HMODULE));
        if (!K32EnumProcessModules(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
            return nullptr;
    }
    modules.resize(std::min<size_t>(modules.size(), needed / sizeof(HMODULE)));
    for (HMODULE module : modules) {
        auto exported = reinterpret_cast<ExecuteContext**>(GetProcAddress(module, EXECUTE_CONTEXT_EXPORT));
        if (exported && *exported) {
            InterlockedIncrement(&(*exported)->referenceCount);
            return *exported;
        }
    }
    return nullptr;
}

ExecuteContext* createContext()
{
    if (ExecuteContext* shared = findSharedContext())
        return shared;
    // Lives until the process ends: other modules may still hold it.
    auto context = new ExecuteContext{1, SRWLOCK_INIT, nullptr};
    m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = context;
    return context;
}

} // namespace

ExecuteContext& executeContext()
{
    static ExecuteContext* const context = createContext();
    return *context;
}

LogSettings& contextLogSettings(bool& created)
{
    ExecuteContext& context = executeContext();
    AcquireSRWLockExclusive(&context.lock);
    created = context.logSettings == nullptr;
    if (created)
        context.logSettings = new LogSettings;
    LogSettings& settings = *context.logSettings;
    ReleaseSRWLockExclusive(&context.lock);
    return settings;
}
