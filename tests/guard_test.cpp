#include "runtime/Guard.h"
#include "runtime/LogManager.h"
#include "support/MessageBoxAnswerer.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>
#include <stdexcept>

namespace {

// Throws the way a platform wrapper does after a failing call.
[[noreturn]] void failOpen(DWORD code, int line)
{
    throwOSError(L"OpenThing", code, {L"", "Thing::open", line});
}

// The full text of what a guard at Runner::run line 5 raised for body.
std::wstring raisedText(const std::function<void()>& body)
{
    try {
        guarded({"Runner::run", 5}, body, L"Unable to call run(%d)", 7);
    } catch (const vexception& e) {
        return e.fullText();
    }
    return L"(the guard let nothing through)";
}

// Volatile on both sides, so the compiler keeps every faulting access.
volatile int* volatile nullTarget = nullptr;
volatile int sink = 0;

const std::wstring runContext = L"\n   at Unable to call run(7)(Runner::run line 5)";

TEST(Guard, ReturnsTheBodysResult)
{
    const std::wstring user = L"admin";
    EXPECT_EQ(5, guarded({"Runner::count", 1}, [&] { return static_cast<int>(user.size()); },
                         L"Unable to call count(%s)", user));
}

TEST(Guard, TwoGuardsComposeTheTrailInnermostFirst)
{
    const std::wstring user = L"j\u00fcrgen";
    try {
        guarded({"Host::check", 20}, [&] {
            guarded({"LocalUserInformation::isUser", 10}, [&] { failOpen(ERROR_NO_SUCH_MEMBER, 40); },
                    L"Unable to call isUser(%s)", user);
        }, L"Unable to call check(%s, %d)", user, 3);
        FAIL() << "no exception";
    } catch (const VNoSuchMemberException& e) {
        EXPECT_EQ(osErrorMessage(ERROR_NO_SUCH_MEMBER, L"OpenThing") +
                      L"\n   at (Thing::open line 40)"
                      L"\n   at Unable to call isUser(j\u00fcrgen)(LocalUserInformation::isUser line 10)"
                      L"\n   at Unable to call check(j\u00fcrgen, 3)(Host::check line 20)",
                  e.fullText());
    }
}

TEST(Guard, SubclassSurvivesThreeGuards)
{
    const auto level = [](const char* name, auto body) { guarded({name, 1}, body, L"Unable to call %S()", name); };
    try {
        level("A::one", [&] { level("B::two", [&] { level("C::three", [] { failOpen(ERROR_ACCESS_DENIED, 1); }); }); });
        FAIL() << "no exception";
    } catch (const VAccessDeniedException& e) {
        ASSERT_EQ(4u, e.contexts().size());
        EXPECT_EQ(ERROR_ACCESS_DENIED, e.errorCode());
        EXPECT_EQ("C::three", e.contexts()[1].function);
        EXPECT_EQ(L"Unable to call A::one()", e.contexts()[3].message);
    }
}

TEST(Guard, ForeignExceptionsBecomeErrorsWithTheirText)
{
    EXPECT_EQ(L"disk on fire" + runContext, raisedText([] { throw std::runtime_error("disk on fire"); }));
    EXPECT_EQ(L"Unknown exception" + runContext, raisedText([] { throw std::exception(); }));
    EXPECT_EQ(L"bad allocation" + runContext, raisedText([] { throw std::bad_alloc(); }));
    EXPECT_EQ(L"Unexpected error" + runContext, raisedText([] { throw 42; }));
    // COM errors carry their own context before the guard's.
    const std::wstring comTail = L"\n   at Unable to call run(7)\n   at (Runner::run line 5)";
    EXPECT_EQ(std::wstring(_com_error(E_FAIL).ErrorMessage()) + L" (COM Error 80004005)" + comTail,
              raisedText([] { _com_issue_error(E_FAIL); }));
    EXPECT_EQ(L"IDispatch error #5 (COM Error 80040205)" + comTail, raisedText([] { throw _com_error(0x80040205); }));
}

struct Flag {
    bool& set;
    ~Flag() { set = true; }
};

// Each fault twice: the first must leave the handler ready for the next.
TEST(Guard, ProcessorFaultsBecomeErrorsAndTheProgramGoesOn)
{
    for (int round = 0; round < 2; ++round) {
        bool unwound = false;
        EXPECT_EQ(L"C structured exception: 0xc0000005" + runContext, raisedText([&] {
                      Flag flag{unwound};
                      *nullTarget = round;
                  })) << round;
        EXPECT_TRUE(unwound) << "locals of the faulting body are destroyed";
        EXPECT_EQ(L"C structured exception: 0xc0000094" + runContext, raisedText([&] {
                      volatile int zero = 0;
                      volatile int dividend = 10 + round;
                      sink = dividend / zero;
                  })) << round;
    }
    EXPECT_EQ(L"C structured exception: 0xc0000005" + runContext, raisedText([] { sink = nullTarget[4]; }));
}

TEST(Guard, FaultPassesEveryEnclosingGuardOnce)
{
    try {
        guarded({"Outer::run", 1}, [] { guarded({"Inner::run", 2}, [] { *nullTarget = 1; }, L"inner"); }, L"outer");
        FAIL() << "no exception";
    } catch (const vexception& e) {
        EXPECT_EQ(L"C structured exception: 0xc0000005\n   at inner(Inner::run line 2)\n   at outer(Outer::run line 1)",
                  e.fullText());
    }
}

TEST(Guard, FaultHandledInsideASystemLibraryIsLeftToIt)
{
    // The system catches this fault itself; the guard must not turn it into an error.
    EXPECT_EQ(0, guarded({"Runner::length", 1}, [] {
        const wchar_t* volatile nothing = nullptr;
        return lstrlenW(nothing);
    }, L"length"));
}

TEST(Guard, OpensOneCancelationPointPerGuard)
{
    const DWORD thread = GetCurrentThreadId();
    EXPECT_EQ(nullptr, ThreadCancelation::innermostPoint(thread));
    try {
        guarded({"Outer::run", 1}, [&] {
            ThreadCancelation::CancelationPoint* outer = ThreadCancelation::innermostPoint(thread);
            ASSERT_NE(nullptr, outer);
            EXPECT_TRUE(outer->rememberOnly());
            guarded({"Inner::run", 2}, [&] {
                ThreadCancelation::CancelationPoint* inner = ThreadCancelation::innermostPoint(thread);
                ASSERT_NE(nullptr, inner);
                EXPECT_EQ(outer, inner->outer());
            }, L"inner");
            EXPECT_EQ(outer, ThreadCancelation::innermostPoint(thread));
            throw 1;
        }, L"outer");
    } catch (const vexception&) {
    }
    EXPECT_EQ(nullptr, ThreadCancelation::innermostPoint(thread));
}

TEST(GuardReport, ShowsOneRuntimeErrorBoxPerFailureAndNoneOnSuccess)
{
    const HWND owner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                       nullptr, nullptr);
    ASSERT_NE(nullptr, owner);
    MessageBoxAnswerer answerer;
    int runs = 0;
    EXPECT_TRUE(reportGuarded(owner, {"ControlDlg::onTimer", 1}, [&] { ++runs; }, L"Timer"));
    EXPECT_EQ(1, runs);
    EXPECT_TRUE(answerer.boxes().empty());

    EXPECT_FALSE(reportGuarded(owner, {"ControlDlg::onCommand", 30}, [] {
        guarded({"service::start", 9}, [] { failOpen(ERROR_SERVICE_DOES_NOT_EXIST, 3); }, L"Unable to call start(%s)",
                L"W3SVC");
    }, L"Command %d", 1010));
    EXPECT_FALSE(reportGuarded(owner, {"ControlDlg::onPaint", 5}, [] { *nullTarget = 1; }, L"Paint"));
    ASSERT_EQ(2u, answerer.boxes().size());
    const MessageBoxAnswerer::Box& box = answerer.boxes()[0];
    EXPECT_EQ(L"Runtime error", box.caption);
    EXPECT_EQ(osErrorMessage(ERROR_SERVICE_DOES_NOT_EXIST, L"OpenThing") +
                  L"\n   at (Thing::open line 3)"
                  L"\n   at Unable to call start(W3SVC)(service::start line 9)"
                  L"\n   at Command 1010(ControlDlg::onCommand line 30)",
              box.text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR | MB_OK), box.style);
    EXPECT_EQ(owner, box.owner);
    EXPECT_EQ(L"C structured exception: 0xc0000005\n   at Paint(ControlDlg::onPaint line 5)", answerer.boxes()[1].text);
    DestroyWindow(owner);
}

class RecordingListener : public LogListener {
public:
    void onException(int level, const vexception& e) override { logged.emplace_back(level, e.fullText()); }
    void onMessage(int, const std::wstring&) override {}

    std::vector<std::pair<int, std::wstring>> logged;
};

TEST(GuardLog, LogsTheFailureWithTheActionAndGoesOn)
{
    RecordingListener listener;
    auto& listeners = LogManager::instance().settings().listeners;
    listeners.push_back(&listener);
    EXPECT_TRUE(logGuarded(LOG_ERROR, {"Runner::cleanup", 1}, [] {}, L"Clean up"));
    EXPECT_FALSE(logGuarded(LOG_WARNING, {"TrayIcon::~TrayIcon", 77}, [] {
        guarded({"service::stop", 12}, [] { failOpen(ERROR_ACCESS_DENIED, 4); }, L"Unable to call stop(%s)",
                L"tarvosrv");
    }, L"Stop %s", L"tarvosrv"));
    listeners.erase(std::remove(listeners.begin(), listeners.end(), &listener), listeners.end());

    ASSERT_EQ(1u, listener.logged.size());
    EXPECT_EQ(LOG_WARNING, listener.logged[0].first);
    EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"OpenThing") +
                  L"\n   at (Thing::open line 4)"
                  L"\n   at Unable to call stop(tarvosrv)(service::stop line 12)"
                  L"\n   at Stop tarvosrv(TrayIcon::~TrayIcon line 77)",
              listener.logged[0].second);
}

} // namespace
