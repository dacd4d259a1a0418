#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class _com_error;

// One entry of an exception's trail: what the operation was doing, where.
struct ExceptionContext {
    std::wstring message;
    std::string function;
    int32_t line = 0;
};

// Root of every error the system raises. Deliberately not derived from std::exception:
// handlers catch the two separately.
class vexception {
public:
    explicit vexception(std::wstring message);
    vexception(std::wstring message, ExceptionContext context);
    // Converts a COM error; the trail starts with (empty message, function, line).
    vexception(const _com_error& error, const std::wstring& contextMessage, const char* function, int32_t line);
    vexception(const vexception&) = default;
    vexception& operator=(const vexception&) = default;
    virtual ~vexception();

    vexception& addContext(ExceptionContext context);

    // The message, then "\n   at <message>(<function> line <n>)" per context, innermost first.
    std::wstring fullText() const;

    const std::wstring& message() const { return message_; }
    const std::vector<ExceptionContext>& contexts() const { return contexts_; }

private:
    std::wstring message_;
    std::vector<ExceptionContext> contexts_;
};

// A failed platform call; the message is osErrorMessage(code, where).
class vosexception : public vexception {
public:
    vosexception(DWORD code, const wchar_t* where, ExceptionContext context);

    DWORD errorCode() const { return errorCode_; }

private:
    DWORD errorCode_;
};

// The Windows error codes that callers may catch as a class of their own.
#define WL_OS_EXCEPTIONS(X)                                                    \
    X(ERROR_FILE_NOT_FOUND, VFileNotFoundException)                           \
    X(ERROR_PATH_NOT_FOUND, VPathNotFoundException)                           \
    X(ERROR_ACCESS_DENIED, VAccessDeniedException)                            \
    X(ERROR_INVALID_HANDLE, VInvalidHandleException)                          \
    X(ERROR_OUTOFMEMORY, VOutOfMemoryException)                               \
    X(ERROR_INVALID_DRIVE, VInvalidDriveException)                            \
    X(ERROR_NOT_DOS_DISK, VNotDosDiskException)                               \
    X(ERROR_SHARING_VIOLATION, VSharingViolationException)                    \
    X(ERROR_LOCK_VIOLATION, VLockViolationException)                          \
    X(ERROR_WRONG_DISK, VWrongDiskException)                                  \
    X(ERROR_SHARING_BUFFER_EXCEEDED, VSharingBufferExceededException)         \
    X(ERROR_HANDLE_EOF, VEOFException)                                        \
    X(ERROR_FILE_EXISTS, VFileExistsException)                                \
    X(ERROR_INSUFFICIENT_BUFFER, VInsufficientBufferException)                \
    X(ERROR_INVALID_NAME, VInvalidNameException)                              \
    X(ERROR_DIR_NOT_EMPTY, VDirectoryNotEmptyException)                       \
    X(ERROR_BAD_PATHNAME, VInvalidPathException)                              \
    X(ERROR_ALREADY_EXISTS, VAlreadyExistsException)                          \
    X(ERROR_NO_DATA, VPipeClosedException)                                    \
    X(ERROR_DIRECTORY, VInvalidDirectoryNameException)                        \
    X(ERROR_SERVICE_DOES_NOT_EXIST, VServiceDoesNotExistException)            \
    X(ERROR_SERVICE_MARKED_FOR_DELETE, VServiceMarkedForDeleteException)      \
    X(ERROR_SERVICE_EXISTS, VServiceAlreadyExistsException)                   \
    X(ERROR_NONE_MAPPED, VNoneMappedException)                                \
    X(ERROR_NO_SUCH_MEMBER, VNoSuchMemberException)                           \
    X(ERROR_TRUSTED_RELATIONSHIP_FAILURE, VTrustedRelationshipFailureException) \
    X(ERROR_CANCELLED, VCanceledException)                                    \
    X(2245 /* NERR_PasswordTooShort */, VPasswordTooShortException)

#define WL_DECLARE_OS_EXCEPTION(code, name)           \
    class name : public vosexception {                \
    public:                                           \
        using vosexception::vosexception;             \
    };
WL_OS_EXCEPTIONS(WL_DECLARE_OS_EXCEPTION)
#undef WL_DECLARE_OS_EXCEPTION

// An invalid argument, such as a format the formatter rejects.
class ArgumentException : public vexception {
public:
    ArgumentException(std::wstring message, ExceptionContext context);
};

// A processor fault (structured exception) raised inside a guarded operation.
class cwrpexception {
public:
    explicit cwrpexception(uint32_t code) : code_(code) {}

    uint32_t code() const { return code_; }
    // "C structured exception: 0x" + code in lower-case hex, e.g. 0xc0000005.
    std::wstring message() const;

private:
    uint32_t code_;
};

// System text of code without trailing line breaks, then " (Error code N)" and,
// when where is not null, " at " + where. "Unknown error" when the system has no text.
std::wstring osErrorMessage(DWORD code, const wchar_t* where);

// Throws the vosexception subclass that stands for code (plain vosexception otherwise).
[[noreturn]] void throwOSError(const wchar_t* where, DWORD code, ExceptionContext context);

// The qualified name of the function that a compiler's pretty function text names, as the
// error texts show it: "bool registry::open(...)" and a lambda inside it both give
// "registry::open".
std::string qualifiedName(const char* prettyFunction);

// The context of a throw site: empty message, the enclosing function's qualified name, line.
#define WL_CONTEXT() (ExceptionContext{L"", qualifiedName(__PRETTY_FUNCTION__), __LINE__})

// Throws for a failed platform call that reported code itself.
#define WL_THROW_OS_ERROR(where, code) throwOSError((where), (code), WL_CONTEXT())

// Throws for the platform call that just failed: its last error is read before anything
// else (even where) can change it.
#define WL_THROW_LAST_ERROR(where)                          \
    do {                                                    \
        const DWORD wlLastError_ = GetLastError();          \
        throwOSError((where), wlLastError_, WL_CONTEXT());  \
    } while (false)
