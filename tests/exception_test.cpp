#include "runtime/Exception.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <typeinfo>

namespace {

TEST(ExceptionText, WithoutContextsIsTheMessage)
{
    EXPECT_EQ(L"Disk full", vexception(L"Disk full").fullText());
}

TEST(ExceptionText, ContextsFollowInOrderAdded)
{
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

std::wstring systemText(DWORD code)
{
    wchar_t* buffer = nullptr;
    FormatMessageW(0x1300, nullptr, code, 0x0400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = buffer ? buffer : L"";
    LocalFree(buffer);
    return text;
}

TEST(OsErrorMessage, SystemTextWithoutLineBreakThenCodeAndWhere)
{
    const std::wstring raw = systemText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(raw.empty());
    ASSERT_EQ(L'\n', raw.back()) << "the system text is expected to end in a line break";
    const std::wstring text = raw.substr(0, raw.find_last_not_of(L"\r\n") + 1);

    EXPECT_EQ(text + L" (Error code 2) at CreateFile", osErrorMessage(2, L"CreateFile"));
    EXPECT_EQ(text + L" (Error code 2)", osErrorMessage(2, nullptr));
    EXPECT_EQ(text + L" (Error code 2) at ", osErrorMessage(2, L""));
}

TEST(OsErrorMessage, CodeWithoutSystemTextIsUnknownError)
{
    ASSERT_TRUE(systemText(54321).empty());
    EXPECT_EQ(L"Unknown error (Error code 54321)", osErrorMessage(54321, nullptr));
    EXPECT_EQ(L"Unknown error (Error code 3735928559) at Probe", osErrorMessage(0xDEADBEEF, L"Probe"));
}

template <typename Expected>
void expectThrownAs(DWORD code)
{
    SCOPED_TRACE(code);
    try {
        throwOSError(L"Call", code, {L"", "Thrower::run", 12});
    } catch (const vosexception& e) {
        EXPECT_EQ(typeid(Expected), typeid(e));
        EXPECT_EQ(code, e.errorCode());
        EXPECT_EQ(osErrorMessage(code, L"Call") + L"\n   at (Thrower::run line 12)", e.fullText());
    }
}

TEST(ThrowOSError, PicksTheClassOfTheCode)
{
    expectThrownAs<VFileNotFoundException>(2);
    expectThrownAs<VPathNotFoundException>(3);
    expectThrownAs<VAccessDeniedException>(5);
    expectThrownAs<VInvalidHandleException>(6);
    expectThrownAs<VOutOfMemoryException>(14);
    expectThrownAs<VInvalidDriveException>(15);
    expectThrownAs<VNotDosDiskException>(26);
    expectThrownAs<VSharingViolationException>(32);
    expectThrownAs<VLockViolationException>(33);
    expectThrownAs<VWrongDiskException>(34);
    expectThrownAs<VSharingBufferExceededException>(36);
    expectThrownAs<VEOFException>(38);
    expectThrownAs<VFileExistsException>(80);
    expectThrownAs<VInsufficientBufferException>(122);
    expectThrownAs<VInvalidNameException>(123);
    expectThrownAs<VDirectoryNotEmptyException>(145);
    expectThrownAs<VInvalidPathException>(161);
    expectThrownAs<VAlreadyExistsException>(183);
    expectThrownAs<VPipeClosedException>(232);
    expectThrownAs<VInvalidDirectoryNameException>(267);
    expectThrownAs<VServiceDoesNotExistException>(1060);
    expectThrownAs<VServiceMarkedForDeleteException>(1072);
    expectThrownAs<VServiceAlreadyExistsException>(1073);
    expectThrownAs<VNoneMappedException>(1332);
    expectThrownAs<VNoSuchMemberException>(1387);
    expectThrownAs<VTrustedRelationshipFailureException>(1789);
    expectThrownAs<VPasswordTooShortException>(2245);
    expectThrownAs<vosexception>(1);
    expectThrownAs<vosexception>(4);
}

TEST(ThrowOSError, SpecificClassesMatchTheirHandlers)
{
    EXPECT_THROW(throwOSError(L"ReadFile", 232, {}), VPipeClosedException);
    EXPECT_THROW(throwOSError(L"NetLocalGroupGetMembers", 1387, {}), VNoSuchMemberException);
    EXPECT_THROW(throwOSError(L"NetUserAdd", 2245, {}), VPasswordTooShortException);
    EXPECT_THROW(throwOSError(nullptr, 1, {}), vosexception);
    EXPECT_THROW(throwOSError(nullptr, 1, {}), vexception);
}

TEST(ThrowOSError, LastErrorHelperReadsTheThreadsError)
{
    SetLastError(ERROR_ACCESS_DENIED);
    try {
        throwLastError(L"OpenSCManager", "service::open", 44);
    } catch (const VAccessDeniedException& e) {
        EXPECT_EQ(osErrorMessage(5, L"OpenSCManager") + L"\n   at (service::open line 44)", e.fullText());
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

// An error-info object, optionally also answering the .NET exception interface.
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
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }

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

    ULONG references() const { return references_; }

private:
    const wchar_t* description_;
    HRESULT interopAnswer_;
    const wchar_t* toString_;
    ULONG references_ = 1;
};

std::wstring comText(HRESULT hr, IErrorInfo* info = nullptr)
{
    return vexception(_com_error(hr, info, true), L"Unable to call query(kzo)", "Db::query", 88).fullText();
}

TEST(ComError, PlainErrorReadsSystemTextAndHeader)
{
    const std::wstring tail = L")\n   at Unable to call query(kzo)\n   at (Db::query line 88)";
    EXPECT_EQ(std::wstring(_com_error(E_FAIL).ErrorMessage()) + L" (COM Error 80004005" + tail, comText(E_FAIL));
    // No system text: the platform's numbered text.
    EXPECT_EQ(L"IDispatch error #5 (COM Error 80040205" + tail, comText(0x80040205));

    FakeErrorInfo info(L"Table is locked", E_NOINTERFACE, nullptr);
    EXPECT_EQ(L"IDispatch error #5 (COM Error 80040205, Description: Table is locked" + tail,
              comText(0x80040205, &info));
    EXPECT_EQ(1u, info.references());
}

TEST(ComError, InteropErrorUsesTheExceptionsOwnText)
{
    FakeErrorInfo info(L"short", S_OK, L"System.InvalidOperationException: short\n   at Kzo.Run()");
    EXPECT_EQ(L"IDispatch error #5 (COM Interop Error 80040205, Description: "
              L"System.InvalidOperationException: short\n   at Kzo.Run())"
              L"\n   at Unable to call query(kzo)\n   at (Db::query line 88)",
              comText(0x80040205, &info));
    EXPECT_EQ(1u, info.references());

    FakeErrorInfo noDescription(nullptr, S_OK, L"unused");
    EXPECT_EQ(L"IDispatch error #5 (COM Interop Error 80040205)"
              L"\n   at Unable to call query(kzo)\n   at (Db::query line 88)",
              comText(0x80040205, &noDescription));
}

TEST(ComError, RefusedInterfaceQueryStillConverts)
{
    FakeErrorInfo info(L"Locked", E_FAIL, nullptr);
    EXPECT_EQ(L"IDispatch error #5 (COM Error 80040205, Description: Locked)"
              L"\n   at Unable to call query(kzo)\n   at (Db::query line 88)",
              comText(0x80040205, &info));
}

} // namespace
