#include "runtime/Exception.h"

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

    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0 || !buffer) {
        LocalFree(buffer);
        return L"Unknown error" + suffix;
    }
    std::wstring text(buffer, length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    return text + suffix;
}

namespace {

template <typename Exception>
[[noreturn]] void raise(const wchar_t* where, DWORD code, ExceptionContext&& context)
{
    throw Exception(code, where, std::move(context));
}

} // namespace

void throwOSError(const wchar_t* where, DWORD code, ExceptionContext context)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND: raise<VFileNotFoundException>(where, code, std::move(context));
    case ERROR_PATH_NOT_FOUND: raise<VPathNotFoundException>(where, code, std::move(context));
    case ERROR_ACCESS_DENIED: raise<VAccessDeniedException>(where, code, std::move(context));
    case ERROR_INVALID_HANDLE: raise<VInvalidHandleException>(where, code, std::move(context));
    case ERROR_OUTOFMEMORY: raise<VOutOfMemoryException>(where, code, std::move(context));
    case ERROR_INVALID_DRIVE: raise<VInvalidDriveException>(where, code, std::move(context));
    case ERROR_NOT_DOS_DISK: raise<VNotDosDiskException>(where, code, std::move(context));
    case ERROR_SHARING_VIOLATION: raise<VSharingViolationException>(where, code, std::move(context));
    case ERROR_LOCK_VIOLATION: raise<VLockViolationException>(where, code, std::move(context));
    case ERROR_WRONG_DISK: raise<VWrongDiskException>(where, code, std::move(context));
    case ERROR_SHARING_BUFFER_EXCEEDED: raise<VSharingBufferExceededException>(where, code, std::move(context));
    case ERROR_HANDLE_EOF: raise<VEOFException>(where, code, std::move(context));
    case ERROR_FILE_EXISTS: raise<VFileExistsException>(where, code, std::move(context));
    case ERROR_INSUFFICIENT_BUFFER: raise<VInsufficientBufferException>(where, code, std::move(context));
    case ERROR_INVALID_NAME: raise<VInvalidNameException>(where, code, std::move(context));
    case ERROR_DIR_NOT_EMPTY: raise<VDirectoryNotEmptyException>(where, code, std::move(context));
    case ERROR_BAD_PATHNAME: raise<VInvalidPathException>(where, code, std::move(context));
    case ERROR_ALREADY_EXISTS: raise<VAlreadyExistsException>(where, code, std::move(context));
    case ERROR_NO_DATA: raise<VPipeClosedException>(where, code, std::move(context));
    case ERROR_DIRECTORY: raise<VInvalidDirectoryNameException>(where, code, std::move(context));
    case ERROR_SERVICE_DOES_NOT_EXIST: raise<VServiceDoesNotExistException>(where, code, std::move(context));
    case ERROR_SERVICE_MARKED_FOR_DELETE: raise<VServiceMarkedForDeleteException>(where, code, std::move(context));
    case ERROR_SERVICE_EXISTS: raise<VServiceAlreadyExistsException>(where, code, std::move(context));
    case ERROR_NONE_MAPPED: raise<VNoneMappedException>(where, code, std::move(context));
    case ERROR_NO_SUCH_MEMBER: raise<VNoSuchMemberException>(where, code, std::move(context));
    case ERROR_TRUSTED_RELATIONSHIP_FAILURE:
        raise<VTrustedRelationshipFailureException>(where, code, std::move(context));
    case NERR_PasswordTooShort: raise<VPasswordTooShortException>(where, code, std::move(context));
    default: raise<vosexception>(where, code, std::move(context));
    }
}

void throwLastError(const wchar_t* where, const char* function, int32_t line)
{
    const DWORD code = GetLastError();
    throwOSError(where, code, {L"", function, line});
}
