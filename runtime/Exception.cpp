#include "runtime/Exception.h"

#include "runtime/Handle.h"
#include "runtime/Strings.h"

#include <comdef.h>
#include <lmerr.h>

#include <memory>

#include <utility>

// The .NET exception interface that interop errors answer; only its first own method
// (after IDispatch) is used. Outside the anonymous namespace on purpose: implemented by
// no class here, a type local to this file would let the compiler drop calls to it.
struct DotNetException : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};

namespace {

const IID IID_DotNetException = {0xb36b5c63, 0x42ef, 0x38bc, {0xa0, 0x7e, 0x0b, 0x34, 0xc9, 0x8f, 0x16, 0x4a}};

template <typename Interface>
struct ComRelease {
    void operator()(Interface* object) const { object->Release(); }
};
template <typename Interface>
using ComPtr = std::unique_ptr<Interface, ComRelease<Interface>>;

std::wstring takeBstr(BSTR text)
{
    std::wstring result = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
    SysFreeString(text);
    return result;
}

std::wstring comErrorMessage(const _com_error& error)
{
    ComPtr<IErrorInfo> info(error.ErrorInfo());
    ComPtr<DotNetException> interop;
    if (info) {
        void* answer = nullptr;
        // Any refusal, not only E_NOINTERFACE, means the error is not an interop one:
        // raising a new COM error here would escape the guard that is converting this one.
        if (SUCCEEDED(info->QueryInterface(IID_DotNetException, &answer)))
            interop.reset(static_cast<DotNetException*>(answer));
    }

    std::wstring message = error.ErrorMessage();
    message += formatString(interop ? L" (COM Interop Error %08X" : L" (COM Error %08X",
                            static_cast<unsigned long>(error.Error()));

    if (info) {
        BSTR description = nullptr;
        info->GetDescription(&description);
        std::wstring text = takeBstr(description);
        if (!text.empty()) {
            if (interop) {
                BSTR full = nullptr;
                if (SUCCEEDED(interop->get_ToString(&full)))
                    text = takeBstr(full);
            }
            message += L", Description: " + text;
        }
    }
    return message;
}

} // namespace

vexception::vexception(std::wstring message) : message_(std::move(message)) {}

vexception::vexception(std::wstring message, ExceptionContext context) : message_(std::move(message))
{
    contexts_.push_back(std::move(context));
}

vexception::vexception(const _com_error& error, const std::wstring& contextMessage, const char* function,
                       int32_t line)
    : message_(comErrorMessage(error) + L")\n   at " + contextMessage)
{
    contexts_.push_back({L"", function, line});
}

vexception::~vexception() = default;

vexception& vexception::addContext(ExceptionContext context)
{
    contexts_.push_back(std::move(context));
    return *this;
}

std::wstring vexception::fullText() const
{
    std::wstring text = message_;
    for (const ExceptionContext& context : contexts_) {
        text += L"\n   at ";
        text += context.message;
        text += L"(";
        text += wstr(context.function, 0);
        text += L" line ";
        text += std::to_wstring(context.line);
        text += L")";
    }
    return text;
}

vosexception::vosexception(DWORD code, const wchar_t* where, ExceptionContext context)
    : vexception(osErrorMessage(code, where), std::move(context)), errorCode_(code)
{
}

ArgumentException::ArgumentException(std::wstring message, ExceptionContext context)
    : vexception(std::move(message), std::move(context))
{
}

std::wstring cwrpexception::message() const
{
    return formatString(L"C structured exception: 0x%x", code_);
}

std::wstring osErrorMessage(DWORD code, const wchar_t* where)
{
    std::wstring suffix = formatString(L" (Error code %lu)", code);
    if (where) {
        suffix += L" at ";
        suffix += where;
    }

    UniqueLocalMemory buffer;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr);
    if (length == 0 || !buffer)
        return L"Unknown error" + suffix;
    std::wstring text(static_cast<const wchar_t*>(buffer.get()), length);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    return text + suffix;
}

void throwOSError(const wchar_t* where, DWORD code, ExceptionContext context)
{
    switch (code) {
#define WL_RAISE_OS_EXCEPTION(value, name) \
    case value:                            \
        throw name(code, where, std::move(context));
        WL_OS_EXCEPTIONS(WL_RAISE_OS_EXCEPTION)
#undef WL_RAISE_OS_EXCEPTION
    default:
        throw vosexception(code, where, std::move(context));
    }
}

std::string qualifiedName(const char* prettyFunction)
{
    // The name ends where the outermost parameter list begins; it starts after the last
    // space outside template brackets (the return type, if any, comes before it).
    const std::string text = prettyFunction;
    size_t end = text.size();
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '<')
            ++depth;
        else if (c == '>')
            --depth;
        else if (c == '(' && depth == 0 && text.compare(i, 13, "(anonymous na") != 0) {
            end = i;
            break;
        }
    }
    size_t begin = 0;
    depth = 0;
    for (size_t i = end; i-- > 0;) {
        const char c = text[i];
        if (c == '>')
            ++depth;
        else if (c == '<')
            --depth;
        else if (c == ' ' && depth == 0) {
            begin = i + 1;
            break;
        }
    }
    std::string name = text.substr(begin, end - begin);
    // The system's texts name the anonymous namespace as its original compiler did.
    static const std::string anonymous = "{anonymous}";
    for (size_t at; (at = name.find(anonymous)) != std::string::npos;)
        name.replace(at, anonymous.size(), "`anonymous-namespace'");
    return name;
}
