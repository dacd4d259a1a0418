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

#define WL_DECLARE_OS_EXCEPTION(name)                 \
    class name : public vosexception {                \
    public:                                           \
        using vosexception::vosexception;             \
    }

WL_DECLARE_OS_EXCEPTION(VFileNotFoundException);               // 2
WL_DECLARE_OS_EXCEPTION(VPathNotFoundException);               // 3
WL_DECLARE_OS_EXCEPTION(VAccessDeniedException);               // 5
WL_DECLARE_OS_EXCEPTION(VInvalidHandleException);              // 6
WL_DECLARE_OS_EXCEPTION(VOutOfMemoryException);                // 14
WL_DECLARE_OS_EXCEPTION(VInvalidDriveException);               // 15
WL_DECLARE_OS_EXCEPTION(VNotDosDiskException);                 // 26
WL_DECLARE_OS_EXCEPTION(VSharingViolationException);           // 32
WL_DECLARE_OS_EXCEPTION(VLockViolationException);              // 33
WL_DECLARE_OS_EXCEPTION(VWrongDiskException);                  // 34
WL_DECLARE_OS_EXCEPTION(VSharingBufferExceededException);      // 36
WL_DECLARE_OS_EXCEPTION(VEOFException);                        // 38
WL_DECLARE_OS_EXCEPTION(VFileExistsException);                 // 80
WL_DECLARE_OS_EXCEPTION(VInsufficientBufferException);         // 122
WL_DECLARE_OS_EXCEPTION(VInvalidNameException);               // 123
WL_DECLARE_OS_EXCEPTION(VDirectoryNotEmptyException);          // 145
WL_DECLARE_OS_EXCEPTION(VInvalidPathException);                // 161
WL_DECLARE_OS_EXCEPTION(VAlreadyExistsException);              // 183
WL_DECLARE_OS_EXCEPTION(VPipeClosedException);                 // 232
WL_DECLARE_OS_EXCEPTION(VInvalidDirectoryNameException);       // 267
WL_DECLARE_OS_EXCEPTION(VServiceDoesNotExistException);        // 1060
WL_DECLARE_OS_EXCEPTION(VServiceMarkedForDeleteException);     // 1072
WL_DECLARE_OS_EXCEPTION(VServiceAlreadyExistsException);       // 1073
WL_DECLARE_OS_EXCEPTION(VNoneMappedException);                 // 1332
WL_DECLARE_OS_EXCEPTION(VNoSuchMemberException);               // 1387
WL_DECLARE_OS_EXCEPTION(VTrustedRelationshipFailureException); // 1789
WL_DECLARE_OS_EXCEPTION(VPasswordTooShortException);           // 2245

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

// For throw sites right after a failing platform call: reads GetLastError() before
// anything else can change it, then throws with context (empty message, function, line).
[[noreturn]] void throwLastError(const wchar_t* where, const char* function, int32_t line);
