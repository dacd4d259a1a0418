#include "runtime/Guard.h"

#include "runtime/CrashDump.h"
#include "runtime/LogManager.h"

#include <comdef.h>

#include <exception>
#include <new>
#include <typeinfo>

// Processor faults. MinGW has no structured-exception translator, so a vectored handler
// stands in for it: for a fault in this program's own code while the thread is inside a
// guard, it resumes the thread in a small trampoline that looks as if the faulting
// instruction had called it, and the trampoline throws cwrpexception. The code is built
// with -fnon-call-exceptions, so the unwinder finds the guard's handlers from the fault.
//
// The handler writes nothing to the stack (the dispatcher's records lie just below the
// faulting stack pointer): it passes the return address (fault + 1, so that the lookup of
// "return address - 1" lands on the faulting instruction) and the code in scratch
// registers, which the trampoline pushes and passes on once the dispatcher is gone. Its
// frame pointer lets the unwinder undo the stack alignment whatever the alignment at the
// fault was.

extern "C" [[noreturn]] __attribute__((noinline, used)) void wardenlight_throw_fault(DWORD code)
{
    throw cwrpexception(code);
}

extern "C" void wardenlight_fault_entry();

#ifdef _WIN64
asm(R"(
    .text
    .globl wardenlight_fault_entry
wardenlight_fault_entry:
    pushq %rax
    .def wardenlight_fault_raise; .scl 3; .type 32; .endef
    .seh_proc wardenlight_fault_raise
wardenlight_fault_raise:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call wardenlight_throw_fault
    int3
    .seh_endproc
)");
#else
asm(R"(
    .text
    .globl _wardenlight_fault_entry
_wardenlight_fault_entry:
    pushl %eax
_wardenlight_fault_raise:
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    andl $-16, %esp
    subl $12, %esp
    pushl %ecx
    call _wardenlight_throw_fault
    int3
    .cfi_endproc
)");
#endif

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

struct TranslationState {
    int guards = 0;           // the translator is installed while this is above 0
    bool translating = false; // and is "none" while it runs
};

thread_local TranslationState translationState;

// Faults that the faulting code can be unwound from. A stack overflow is left to the
// platform, and so is everything that is not a fault: C++ exceptions, breakpoints and the
// notifications the platform raises for itself.
bool isProcessorFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        return true;
    default:
        return false;
    }
}

// Only this program's code is built to be unwound from any instruction; a fault inside a
// system library may be handled there, and unwinding out of it would leave its locks held.
bool isInThisProgram(const void* address)
{
    const auto base = reinterpret_cast<ULONG_PTR>(&__ImageBase);
    const auto headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    const auto at = reinterpret_cast<ULONG_PTR>(address);
    return at >= base && at - base < headers->OptionalHeader.SizeOfImage;
}

LONG CALLBACK structuredExceptionTranslator(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (!isProcessorFault(record.ExceptionCode) || (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) ||
        !isInThisProgram(record.ExceptionAddress))
        return EXCEPTION_CONTINUE_SEARCH;
    TranslationState& state = translationState;
    if (state.guards == 0 || state.translating)
        return EXCEPTION_CONTINUE_SEARCH;

    // The dump is written while the faulting context is intact; a fault inside the writer is
    // not translated again.
    state.translating = true;
    writeCrashDump(pointers, CrashDumpInfo::instance());
    state.translating = false;

    CONTEXT& context = *pointers->ContextRecord;
    const auto returnAddress = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress) + 1;
    const auto entry = reinterpret_cast<ULONG_PTR>(&wardenlight_fault_entry);
#ifdef _WIN64
    context.Rax = returnAddress;
    context.Rcx = record.ExceptionCode;
    context.Rip = entry;
#else
    context.Eax = returnAddress;
    context.Ecx = record.ExceptionCode;
    context.Eip = entry;
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// What a standard exception reads when it has no text of its own.
std::wstring standardText(const std::exception& error)
{
    if (typeid(error) == typeid(std::exception))
        return L"Unknown exception";
    if (typeid(error) == typeid(std::bad_alloc))
        return L"bad allocation";
    return wstr(error.what(), 0);
}

} // namespace

namespace guard {

FaultTranslation::FaultTranslation()
{
    static const PVOID handler = AddVectoredExceptionHandler(1, structuredExceptionTranslator);
    (void)handler;
    ++translationState.guards;
}

FaultTranslation::~FaultTranslation()
{
    --translationState.guards;
}

Scope::Scope(const GuardSite& site)
    : site_(site), span_(OpenTracingDriver::StartSpan(site.function, site.line, site.description))
{
}

void Scope::logError(const ContextText& context)
{
    if (span_->isActive())
        span_->logError(cstr(context(), 0));
}

void rethrowWithContext(Scope& scope, const ContextText& contextText)
{
    OpenTracingDriver::ISpanContextProvider& span = scope.span();
    const GuardSite& site = scope.site();
    const auto context = [&] { return ExceptionContext{contextText(), site.function, site.line}; };
    try {
        throw;
    } catch (const std::exception& error) {
        if (span.isActive())
            span.setTag("std::exception", error.what());
        throw vexception(standardText(error), context());
    } catch (vexception& error) {
        if (span.isActive())
            span.setTag("vexception", cstr(error.fullText(), 0));
        error.addContext(context());
        throw;
    } catch (const _com_error& error) {
        if (span.isActive())
            span.setTag("_com_error", cstr(error.ErrorMessage(), 0));
        throw vexception(error, contextText(), site.function, site.line);
    } catch (const cwrpexception& error) {
        if (span.isActive())
            span.setTag("cwrpexception", cstr(error.message(), 0));
        throw vexception(error.message(), context());
    } catch (...) {
        if (span.isActive())
            span.setTag("unknown", "...");
        throw vexception(L"Unexpected error", context());
    }
}

void report(HWND owner, const vexception& error)
{
    const std::wstring text = error.fullText();
    if (!text.empty())
        MessageBoxW(owner, text.c_str(), L"Runtime error", MB_ICONERROR);
}

void log(int level, const vexception& error) noexcept
{
    LogManager::instance().log(level, error);
}

} // namespace guard
