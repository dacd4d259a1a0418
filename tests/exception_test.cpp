#include "runtime/Exception.h"
#include "support/TestBed.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <typeindex>

namespace {

namespace probe {
struct Opener {
    static std::wstring where()
    {
        SetLastError(ERROR_SUCCESS);
        return L"OpenSCManager";
    }
    static void open()
    {
        [] {
            SetLastError(ERROR_ACCESS_DENIED);
            WL_THROW_LAST_ERROR(where().c_str());
        }();
    }
};
} // namespace probe

TEST(ExceptionText, ContextsFollowTheMessageInOrderAdded)
{
    EXPECT_EQ(L"Disk full", vexception(L"Disk full").fullText());
    vexception e(L"Boom", {L"", "service::open", 17});
    e.addContext({L"Unable to call start(W3SVC)", "service::start", 230}).addContext({L"Start", "ControlDlg::onStart", 9});
    EXPECT_EQ(L"Boom"
              L"\n   at (service::open line 17)"
              L"\n   at Unable to call start(W3SVC)(service::start line 230)"
              L"\n   at Start(ControlDlg::onStart line 9)",
              e.fullText());

    const vexception copy = e;
    EXPECT_EQ(e.fullText(), copy.fullText());
    e.addContext({L"later", "x", 1});
    EXPECT_EQ(3u, copy.contexts().size());
}

TEST(OsErrorMessage, SystemTextWithoutLineBreakThenCodeAndWhere)
{
    wchar_t* buffer = nullptr;
    FormatMessageW(0x1300, nullptr, ERROR_FILE_NOT_FOUND, 0x0400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    ASSERT_NE(nullptr, buffer);
    std::wstring text = buffer;
    LocalFree(buffer);
    ASSERT_EQ(L'\n', text.back()) << "the system text is expected to end in a line break";
    text.erase(text.find_last_not_of(L"\r\n") + 1);

    EXPECT_EQ(text + L" (Error code 2) at CreateFile", osErrorMessage(2, L"CreateFile"));
    EXPECT_EQ(text + L" (Error code 2)", osErrorMessage(2, nullptr));
    EXPECT_EQ(text + L" (Error code 2) at ", osErrorMessage(2, L""));
    // A code without system text.
    EXPECT_EQ(L"Unknown error (Error code 54321)", osErrorMessage(54321, nullptr));
    EXPECT_EQ(L"Unknown error (Error code 3735928559) at Probe", osErrorMessage(0xDEADBEEF, L"Probe"));
}

TEST(ThrowOSError, PicksTheClassOfTheCode)
{
    const std::pair<DWORD, std::type_index> cases[] = {
        {2, typeid(VFileNotFoundException)},       {3, typeid(VPathNotFoundException)},
        {5, typeid(VAccessDeniedException)},       {6, typeid(VInvalidHandleException)},
        {14, typeid(VOutOfMemoryException)},       {15, typeid(VInvalidDriveException)},
        {26, typeid(VNotDosDiskException)},        {32, typeid(VSharingViolationException)},
        {33, typeid(VLockViolationException)},     {34, typeid(VWrongDiskException)},
        {36, typeid(VSharingBufferExceededException)}, {38, typeid(VEOFException)},
        {80, typeid(VFileExistsException)},        {122, typeid(VInsufficientBufferException)},
        {123, typeid(VInvalidNameException)},      {145, typeid(VDirectoryNotEmptyException)},
        {161, typeid(VInvalidPathException)},      {183, typeid(VAlreadyExistsException)},
        {232, typeid(VPipeClosedException)},       {267, typeid(VInvalidDirectoryNameException)},
        {1060, typeid(VServiceDoesNotExistException)}, {1072, typeid(VServiceMarkedForDeleteException)},
        {1073, typeid(VServiceAlreadyExistsException)}, {1332, typeid(VNoneMappedException)},
        {1387, typeid(VNoSuchMemberException)},    {1789, typeid(VTrustedRelationshipFailureException)},
        {2245, typeid(VPasswordTooShortException)}, {1, typeid(vosexception)}, {4, typeid(vosexception)},
    };
    for (const auto& [code, type] : cases) {
        try {
            throwOSError(L"Call", code, {L"", "Thrower::run", 12});
        } catch (const vexception& e) {
            EXPECT_EQ(type, std::type_index(typeid(e))) << code;
            ASSERT_NE(nullptr, dynamic_cast<const vosexception*>(&e)) << code;
            EXPECT_EQ(code, dynamic_cast<const vosexception&>(e).errorCode());
            EXPECT_EQ(osErrorMessage(code, L"Call") + L"\n   at (Thrower::run line 12)", e.fullText());
        }
    }

    // The throw site names its function as written in the code, also from inside a lambda,
    // and reads the last error before the where text is built.
    try {
        probe::Opener::open();
        ADD_FAILURE() << "nothing thrown";
    } catch (const VAccessDeniedException& e) {
        EXPECT_EQ(osErrorMessage(5, L"OpenSCManager") + L"\n   at (`anonymous-namespace'::probe::Opener::open line #)", withoutLines(e.fullText()));
    }
}

TEST(StructuredException, MessageIsLowerCaseHexWithoutLeadingZeros)
{
    EXPECT_EQ(L"C structured exception: 0xc0000005", cwrpexception(0xC0000005).message());
    EXPECT_EQ(L"C structured exception: 0x94", cwrpexception(0x94).message());
}

// The .NET exception interface as far as it is used: its first method after IDispatch.
struct DotNetException : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};

// An error-info object that answers the .NET exception interface with interopAnswer.
class FakeErrorInfo : public IErrorInfo, public DotNetException {
public:
    FakeErrorInfo(const wchar_t* description, HRESULT interopAnswer, const wchar_t* toString)
        : description_(description), interopAnswer_(interopAnswer), toString_(toString)
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        *object = nullptr;
        static const IID interop = {0xb36b5c63, 0x42ef, 0x38bc, {0xa0, 0x7e, 0x0b, 0x34, 0xc9, 0x8f, 0x16, 0x4a}};
        if (iid == IID_IUnknown || iid == IID_IErrorInfo)
            *object = static_cast<IErrorInfo*>(this);
        else if (iid == interop && SUCCEEDED(interopAnswer_))
            *object = static_cast<DotNetException*>(this);
        else
            return iid == interop ? interopAnswer_ : E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override { *guid = GUID_NULL; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* text) override { *text = nullptr; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* text) override
    {
        *text = description_ ? SysAllocString(description_) : nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* text) override { *text = nullptr; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override { *context = 0; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) override
    {
        *text = SysAllocString(toString_);
        return S_OK;
    }

    ULONG references = 1;

private:
    const wchar_t* description_;
    HRESULT interopAnswer_;
    const wchar_t* toString_;
};

TEST(ComError, ComposesHeaderDescriptionAndInteropText)
{
    const auto text = [](HRESULT hr, IErrorInfo* info) {
        return vexception(_com_error(hr, info, true), L"Unable to call query(kzo)", "Db::query", 88).fullText();
    };
    const std::wstring tail = L")\n   at Unable to call query(kzo)\n   at (Db::query line 88)";
    EXPECT_EQ(std::wstring(_com_error(E_FAIL).ErrorMessage()) + L" (COM Error 80004005" + tail, text(E_FAIL, nullptr));
    // No system text: the platform's numbered text.
    EXPECT_EQ(L"IDispatch error #5 (COM Error 80040205" + tail, text(0x80040205, nullptr));

    struct Case {
        const wchar_t* description;
        HRESULT interopAnswer;
        const wchar_t* toString;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"Table is locked", E_NOINTERFACE, nullptr, L"(COM Error 80040205, Description: Table is locked"},
        // A refused interface query still converts.
        {L"Locked", E_FAIL, nullptr, L"(COM Error 80040205, Description: Locked"},
        {L"short", S_OK, L"System.InvalidOperationException: short\n   at Kzo.Run()",
         L"(COM Interop Error 80040205, Description: System.InvalidOperationException: short\n   at Kzo.Run()"},
        {nullptr, S_OK, L"unused", L"(COM Interop Error 80040205"},
    };
    for (const Case& c : cases) {
        FakeErrorInfo info(c.description, c.interopAnswer, c.toString);
        EXPECT_EQ(L"IDispatch error #5 " + c.expected + tail, text(0x80040205, &info));
        EXPECT_EQ(1u, info.references) << "a reference leaked or was dropped";
    }
}

} // namespace
