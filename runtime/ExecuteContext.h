#pragma once

#include <windows.h>

struct LogSettings;

// Runtime state that every module of the process shares. Each module that carries
// the runtime exports a pointer to it; the first module to need it creates it and
// later modules adopt it through that export.
struct ExecuteContext {
    LONG referenceCount;
    SRWLOCK lock;
    LogSettings* logSettings;
};

// The name of the exported pointer every module looks up.
constexpr const char EXECUTE_CONTEXT_EXPORT[] = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";

// The process's context, found or created on first use.
ExecuteContext& executeContext();

// The log settings of the context; created is set when this call made them.
LogSettings& contextLogSettings(bool& created);
