#include "runtime/Guard.h"
#include "support/Capture.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>

// Volatile on both sides, so the compiler keeps every faulting access.
static volatile int* volatile nullTarget = nullptr;
static volatile int sink = 0;

// What a guard at Runner::run line 5 raises for body.
static std::wstring raisedText(const std::function<void()>& body)
{
    return testbed::thrownText([&] { guarded({"Runner::run", 5}, body, L"Unable to call run(%d)", 7); });
}

TEST(Guard, ErrorsKeepTheirClassAndGetOneContextPerGuard)
{
    const auto fail = [] { throwOSError(L"Open", ERROR_NO_SUCH_MEMBER, {L"", "Thing::open", 40}); };
    const auto nested = [&] {
        guarded({"Host::check", 20}, [&] {
            guarded({"Host::inner", 15}, [&] { guarded({"User::is", 10}, fail, L"is(%s)", L"j\u00fcrgen"); }, L"inner");
        }, L"check(%s, %d)", std::wstring(L"j\u00fcrgen"), 3);
    };
    EXPECT_TRUE(testbed::thrown<VNoSuchMemberException>(nested)) << "the class was lost";
    EXPECT_EQ(osErrorMessage(ERROR_NO_SUCH_MEMBER, L"Open") + L"\n   at (Thing::open line #)\n   at is(j\u00fcrgen)"
              L"(User::is line #)\n   at inner(Host::inner line #)\n   at check(j\u00fcrgen, 3)(Host::check line #)",
              testbed::thrownText(nested));
}

TEST(Guard, ForeignExceptionsAndProcessorFaultsBecomeErrorsWithTheirText)
{
    const std::wstring run = L"\n   at Unable to call run(7)(Runner::run line #)";
    // COM errors carry their own context before the guard's.
    const std::wstring com = L" (COM Error 80004005)\n   at Unable to call run(7)\n   at (Runner::run line #)";
    const std::pair<std::function<void()>, std::wstring> cases[] = {
        {[] { throw std::runtime_error("disk on fire"); }, L"disk on fire" + run},
        {[] { throw std::exception(); }, L"Unknown exception" + run},
        {[] { throw 42; }, L"Unexpected error" + run},
        {[] { _com_issue_error(E_FAIL); }, _com_error(E_FAIL).ErrorMessage() + com},
        // Faults, several times: each must leave the handler ready for the next.
        {[] { *nullTarget = 1; }, L"C structured exception: 0xc0000005" + run},
        {[] { sink = 10 / sink; }, L"C structured exception: 0xc0000094" + run},
    };
    for (const auto& [body, text] : cases)
        EXPECT_EQ(text, raisedText(body));
    bool unwound = false;
    raisedText([&] {
        const std::shared_ptr<void> flag(nullptr, [&](void*) { unwound = true; });
        *nullTarget = 2;
    });
    EXPECT_TRUE(unwound) << "locals of the faulting body are not destroyed";
    EXPECT_EQ(L"C structured exception: 0xc0000005\n   at inner(Inner::run line #)" + run,
              raisedText([] { guarded({"Inner::run", 2}, [] { *nullTarget = 3; }, L"inner"); }));
    // The system catches this fault itself; the guard must not turn it into an error.
    const wchar_t* volatile nothing = nullptr;
    EXPECT_EQ(0, guarded({"Runner::length", 1}, [&] { return lstrlenW(nothing); }, L"length"));
}
