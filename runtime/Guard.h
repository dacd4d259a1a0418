#pragma once

#include "runtime/Exception.h"
#include "runtime/Strings.h"
#include "runtime/ThreadCancelation.h"
#include "runtime/Tracing.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>

// Where a guarded operation is: its qualified name (shown in error texts) and line.
struct GuardSite {
    // Guards that set the span tag "if_error" to their context text when they end normally.
    enum SpanTag { noTag, tagIfError };

    GuardSite(const char* function, int line, const char* description = "", SpanTag tag = noTag)
        : function(function), line(line), description(description), tag(tag)
    {
    }

    const char* function;
    int line;
    const char* description; // span description: empty for an operation, a step text for inner guards
    SpanTag tag;
};

namespace guard {

using ContextText = std::function<std::wstring()>;

// While a thread is inside at least one guard, a processor fault in this program's code is
// thrown as cwrpexception from the faulting instruction instead of ending the process.
class FaultTranslation {
public:
    FaultTranslation();
    ~FaultTranslation();
    FaultTranslation(const FaultTranslation&) = delete;
    FaultTranslation& operator=(const FaultTranslation&) = delete;
};

// Everything a guard holds while its body runs; released in reverse order on every exit.
class Scope {
public:
    explicit Scope(const GuardSite& site);

    template <typename Context>
    void finish(const Context& context)
    {
        if (site_.tag == GuardSite::tagIfError)
            tagIfError(context);
    }

    // Records on an active span what the operation was for, as a result that is not an
    // error but may explain one later.
    template <typename Context>
    void tagIfError(const Context& context)
    {
        if (span_->isActive())
            span_->setTag("if_error", cstr(context(), 0));
    }

    void logError(const ContextText& context);

    const GuardSite& site() const { return site_; }
    OpenTracingDriver::ISpanContextProvider& span() { return *span_; }

private:
    const GuardSite& site_;
    std::unique_ptr<OpenTracingDriver::ISpanContextProvider> span_;
    FaultTranslation translation_;
    ThreadCancelation::CancelationPoint point_{true};
};

// Called from a catch-all: turns the exception being handled into a vexception that
// carries the guard's context and throws it (the same object when it already is one).
[[noreturn]] void rethrowWithContext(Scope& scope, const ContextText& context);

void report(HWND owner, const vexception& error);
void log(int level, const vexception& error) noexcept;

} // namespace guard

namespace guard {

// A guarded body is called without arguments, or with a function that tags the operation's
// span with its context text (Scope::tagIfError).
template <typename Body>
decltype(auto) invoke(Body& body, const std::function<void()>& tagIfError)
{
    if constexpr (std::is_invocable_v<Body&, const std::function<void()>&>)
        return body(tagIfError);
    else
        return body();
}

} // namespace guard

// Runs body as a guarded operation and returns its result. Whatever body throws leaves as
// a vexception (subclasses preserved) with one more context: contextFormat formatted with
// args, the site's function and line. args are read only when a context text is needed.
//
//   return guarded({"LocalUserInformation::isUser", __LINE__}, [&] {
//       ...
//   }, L"Unable to call isUser(%s)", user);
template <typename Body, typename... Args>
auto guarded(const GuardSite& site, Body&& body, const wchar_t* contextFormat, const Args&... args)
    -> std::decay_t<decltype(guard::invoke(body, {}))>
{
    guard::Scope scope(site);
    const auto context = [&] { return formatString(contextFormat, args...); };
    const std::function<void()> tagIfError = [&] { scope.tagIfError(context); };
    try {
        try {
            if constexpr (std::is_void_v<decltype(guard::invoke(body, tagIfError))>) {
                guard::invoke(body, tagIfError);
                scope.finish(context);
            } else {
                auto result = guard::invoke(body, tagIfError);
                scope.finish(context);
                return result;
            }
        } catch (...) {
            scope.logError(context);
            throw;
        }
    } catch (...) {
        guard::rethrowWithContext(scope, context);
    }
}

// Window and dialog procedures: a failure is shown in a "Runtime error" box owned by owner
// and the caller goes on. Returns whether body ended normally.
template <typename Body, typename... Args>
bool reportGuarded(HWND owner, const GuardSite& site, Body&& body, const wchar_t* contextFormat,
                   const Args&... args)
{
    try {
        guarded(site, std::forward<Body>(body), contextFormat, args...);
        return true;
    } catch (const vexception& error) {
        guard::report(owner, error);
        return false;
    }
}

// Places that must not throw: a failure is written to the log at level, with actionFormat
// (e.g. "Stop tarvosrv") as its context, and the caller goes on. Returns whether body
// ended normally.
template <typename Body, typename... Args>
bool logGuarded(int level, const GuardSite& site, Body&& body, const wchar_t* actionFormat,
                const Args&... args) noexcept
{
    const GuardSite tagged(site.function, site.line, site.description, GuardSite::tagIfError);
    try {
        guarded(tagged, std::forward<Body>(body), actionFormat, args...);
        return true;
    } catch (const vexception& error) {
        guard::log(level, error);
    } catch (...) {
        // Only an allocation failure while composing the error gets here; nothing to log with.
    }
    return false;
}
