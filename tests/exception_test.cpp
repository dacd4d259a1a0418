#include "runtime/Exception.h"
#include "support/Capture.h"

#include <gtest/gtest.h>

#include <typeindex>

namespace {

namespace probe {
struct Opener {
    static const wchar_t* where() { return SetLastError(ERROR_SUCCESS), L"OpenSCManager"; }
    static void open()
    {
        [] {
            SetLastError(ERROR_ACCESS_DENIED);
            WL_THROW_LAST_ERROR(where());
        }();
    }
};
} // namespace probe

TEST(Exception, OsErrorsCarryTheSystemTextWithoutLineBreakTheirCodeAndTheirClass)
{
    const std::wstring text = osErrorMessage(ERROR_FILE_NOT_FOUND, L"CreateFile");
    EXPECT_EQ(std::wstring::npos, text.find_first_of(L"\r\n")) << testing::PrintToString(text);
    EXPECT_EQ(L" (Error code 2) at CreateFile", text.substr(text.rfind(L" (")));
    // Codes without a class of their own give the plain one.
    for (const auto& [code, type] : {std::pair<DWORD, std::type_index>(232, typeid(VPipeClosedException)),
                                     {1387, typeid(VNoSuchMemberException)}, {2245, typeid(VPasswordTooShortException)},
                                     {1, typeid(vosexception)}}) {
        try {
            throwOSError(L"Call", code, {L"", "Run::run", 12});
        } catch (const vosexception& e) {
            EXPECT_EQ(type, std::type_index(typeid(e))) << code;
            EXPECT_EQ(code, e.errorCode());
            EXPECT_EQ(osErrorMessage(code, L"Call") + L"\n   at (Run::run line 12)", e.fullText());
        }
    }
    // The throw helper names its function as written, also from inside a lambda, and reads
    // the last error before the where text is built.
    EXPECT_EQ(osErrorMessage(5, L"OpenSCManager") + L"\n   at (`anonymous-namespace'::probe::Opener::open line #)",
              testbed::thrownText(probe::Opener::open));
}

} // namespace
