#pragma once

#include <windows.h>

// The entry points of the optional tracing provider "opentracingprovider.dll", loaded from
// the program's own directory when tracing is enabled. A plain C interface, so a provider
// may be built with any compiler.

extern "C" {

// One span as the provider hands it out: its first member points at the span's operations.
struct OpenTracingProviderSpan;

struct OpenTracingProviderSpanOperations {
    void(WINAPI* logError)(OpenTracingProviderSpan* span, const char* message);
    void(WINAPI* setTag)(OpenTracingProviderSpan* span, const char* key, const char* value);
    // Ends the span; the provider frees it.
    void(WINAPI* finish)(OpenTracingProviderSpan* span);
};

struct OpenTracingProviderSpan {
    const OpenTracingProviderSpanOperations* operations;
};

// "OpenTracingProviderGetTracer": the tracer for a program (its module file name); null
// when the provider declines to trace it.
using OpenTracingProviderGetTracerFn = void*(WINAPI*)(const char* program);

// "OpenTracingProviderGetSpanContext": starts a span below the thread's current one; null
// when the provider records nothing for it. Texts are in the system ANSI code page.
using OpenTracingProviderGetSpanContextFn = OpenTracingProviderSpan*(WINAPI*)(void* tracer, const char* name,
                                                                              int line, const char* description);

// "OpenTracingProviderInjectCurrentSpan": writes the thread's current span context as text
// into carrier (size bytes) for another process; returns the length, or -1.
using OpenTracingProviderInjectCurrentSpanFn = int(WINAPI*)(void* tracer, char* carrier, int size);
}
