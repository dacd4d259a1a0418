#include "runtime/Guard.h"
#include "runtime/LogManager.h"
#include "support/MessageBoxAnswerer.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <stdexcept>

namespace {

std::wstring lineText(int line)
{
    return L" line " + std::to_wstring(line) + L")";
}

// Throws the way a platform wrapper does after a failing call.
[[noreturn]] void failOpen(DWORD code, int line)
{
    throwOSError(L"OpenThing", code, {L"", "Thing::open", line});
}

template <typename Body>
vexception caughtFrom(const char* function, int line, Body body)
{
    try {
        guarded({function, line}, body, L"Unable to call run(%d)", 7);
    } catch (const vexception& e) {
        return e;
    }
    ADD_FAILURE() << "the guard let nothing through";
    return vexception(L"");
}

// Volatile on both sides, so the compiler keeps every faulting access.
volatile int* volatile nullTarget = nullptr;
volatile int sink = 0;

const std::wstring runContext = L"\n   at Unable to call run(7)(Runner::run";

TEST(Guard, ReturnsTheBodysResultAndAddsNothing)
{
    const std::wstring user = L"admin";
    const int result = guarded({"Runner::count", __LINE__}, [&] { return static_cast<int>(user.size()); },
                               L"Unable to call count(%s)", user);
    EXPECT_EQ(5, result);
}

TEST(Guard, TwoGuardsComposeTheTrailInnermostFirst)
{
    const std::wstring user = L"j\u00fcrgen";
    const int inner = __LINE__;
    const int outer = __LINE__;
    try {
        guarded({"Host::check", outer}, [&] {
            guarded({"LocalUserInformation::isUser", inner}, [&] { failOpen(ERROR_NO_SUCH_MEMBER, 40); },
                    L"Unable to call isUser(%s)", user);
        }, L"Unable to call check(%s, %d)", user, 3);
        FAIL() << "no exception";
    } catch (const VNoSuchMemberException& e) {
        EXPECT_EQ(osErrorMessage(ERROR_NO_SUCH_MEMBER, L"OpenThing") +
                      L"\n   at (Thing::open line 40)"
                      L"\n   at Unable to call isUser(j\u00fcrgen)(LocalUserInformation::isUser" + lineText(inner) +
                      L"\n   at Unable to call check(j\u00fcrgen, 3)(Host::check" + lineText(outer),
                  e.fullText());
    }
}

TEST(Guard, SubclassSurvivesThreeGuards)
{
    const auto level = [](const char* name, auto body) {
        guarded({name, __LINE__}, body, L"Unable to call %S()", name);
    };
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

TEST(Guard, StandardExceptionsKeepTheirText)
{
    const int line = __LINE__;
    EXPECT_EQ(L"disk on fire" + runContext + lineText(line),
              caughtFrom("Runner::run", line, [] { throw std::runtime_error("disk on fire"); }).fullText());
    EXPECT_EQ(L"Unknown exception" + runContext + lineText(line),
              caughtFrom("Runner::run", line, [] { throw std::exception(); }).fullText());
    EXPECT_EQ(L"bad allocation" + runContext + lineText(line),
              caughtFrom("Runner::run", line, [] { throw std::bad_alloc(); }).fullText());
}

TEST(Guard, ComErrorsBecomeTheirComposedText)
{
    const int line = __LINE__;
    const std::wstring failText = _com_error(E_FAIL).ErrorMessage();
    EXPECT_EQ(failText + L" (COM Error 80004005)\n   at Unable to call run(7)\n   at (Runner::run" + lineText(line),
              caughtFrom("Runner::run", line, [] { _com_issue_error(E_FAIL); }).fullText());
    EXPECT_EQ(L"IDispatch error #5 (COM Error 80040205)\n   at Unable to call run(7)\n   at (Runner::run" +
                  lineText(line),
              caughtFrom("Runner::run", line, [] { throw _com_error(0x80040205); }).fullText());
}

TEST(Guard, AnythingElseIsAnUnexpectedError)
{
    const int line = __LINE__;
    EXPECT_EQ(L"Unexpected error" + runContext + lineText(line),
              caughtFrom("Runner::run", line, [] { throw 42; }).fullText());
}

struct Flag {
    bool& set;
    ~Flag() { set = true; }
};

TEST(Guard, AccessViolationBecomesAnErrorAndTheProgramGoesOn)
{
    const int line = __LINE__;
    for (int round = 0; round < 2; ++round) {
        bool unwound = false;
        const vexception e = caughtFrom("Runner::run", line, [&] {
            Flag flag{unwound};
            *nullTarget = round;
        });
        EXPECT_EQ(L"C structured exception: 0xc0000005" + runContext + lineText(line), e.fullText()) << round;
        EXPECT_TRUE(unwound) << "locals of the faulting body are destroyed";
    }
    const vexception read = caughtFrom("Runner::run", line, [] { sink = nullTarget[4]; });
    EXPECT_EQ(L"C structured exception: 0xc0000005" + runContext + lineText(line), read.fullText());
}

TEST(Guard, IntegerDivisionByZeroBecomesAnError)
{
    const int line = __LINE__;
    for (int round = 0; round < 2; ++round) {
        const vexception e = caughtFrom("Runner::run", line, [&] {
            volatile int zero = 0;
            volatile int dividend = 10 + round;
            sink = dividend / zero;
        });
        EXPECT_EQ(L"C structured exception: 0xc0000094" + runContext + lineText(line), e.fullText()) << round;
    }
}

TEST(Guard, FaultPassesEveryEnclosingGuardOnce)
{
    try {
        guarded({"Outer::run", 1}, [] {
            guarded({"Inner::run", 2}, [] { *nullTarget = 1; }, L"inner");
        }, L"outer");
        FAIL() << "no exception";
    } catch (const vexception& e) {
        EXPECT_EQ(L"C structured exception: 0xc0000005\n   at inner(Inner::run line 2)\n   at outer(Outer::run line 1)",
                  e.fullText());
    }
}

TEST(Guard, FaultHandledInsideASystemLibraryIsLeftToIt)
{
    // The system catches this fault itself; the guard must not turn it into an error.
    const int length = guarded({"Runner::length", __LINE__}, [] {
        const wchar_t* volatile nothing = nullptr;
        return lstrlenW(nothing);
    }, L"length");
    EXPECT_EQ(0, length);
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

class GuardReport : public ::testing::Test {
protected:
    void SetUp() override
    {
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(nullptr, owner_);
    }
    void TearDown() override { DestroyWindow(owner_); }

    HWND owner_ = nullptr;
};

TEST_F(GuardReport, ShowsOneRuntimeErrorBoxAndGoesOn)
{
    MessageBoxAnswerer answerer;
    const int line = __LINE__;
    const bool completed = reportGuarded(owner_, {"ControlDlg::onCommand", line}, [] {
        guarded({"service::start", 9}, [] { failOpen(ERROR_SERVICE_DOES_NOT_EXIST, 3); }, L"Unable to call start(%s)",
                L"W3SVC");
    }, L"Command %d", 1010);
    EXPECT_FALSE(completed);
    ASSERT_EQ(1u, answerer.boxes().size());
    const MessageBoxAnswerer::Box& box = answerer.boxes()[0];
    EXPECT_EQ(L"Runtime error", box.caption);
    EXPECT_EQ(osErrorMessage(ERROR_SERVICE_DOES_NOT_EXIST, L"OpenThing") +
                  L"\n   at (Thing::open line 3)"
                  L"\n   at Unable to call start(W3SVC)(service::start line 9)"
                  L"\n   at Command 1010(ControlDlg::onCommand" + lineText(line),
              box.text);
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR | MB_OK), box.style);
    EXPECT_EQ(owner_, box.owner);
}

TEST_F(GuardReport, SuccessShowsNothing)
{
    MessageBoxAnswerer answerer;
    int runs = 0;
    EXPECT_TRUE(reportGuarded(owner_, {"ControlDlg::onTimer", __LINE__}, [&] { ++runs; }, L"Timer"));
    EXPECT_EQ(1, runs);
    EXPECT_TRUE(answerer.boxes().empty());
}

TEST_F(GuardReport, FaultIsReportedToo)
{
    MessageBoxAnswerer answerer;
    EXPECT_FALSE(reportGuarded(owner_, {"ControlDlg::onPaint", 5}, [] { *nullTarget = 1; }, L"Paint"));
    ASSERT_EQ(1u, answerer.boxes().size());
    EXPECT_EQ(L"C structured exception: 0xc0000005\n   at Paint(ControlDlg::onPaint line 5)", answerer.boxes()[0].text);
}

class RecordingListener : public LogListener {
public:
    void onException(int level, const vexception& e) override { logged.emplace_back(level, e.fullText()); }
    void onMessage(int, const std::wstring&) override {}

    std::vector<std::pair<int, std::wstring>> logged;
};

class GuardLog : public ::testing::Test {
protected:
    void SetUp() override { LogManager::instance().settings().listeners.push_back(&listener_); }
    void TearDown() override
    {
        auto& listeners = LogManager::instance().settings().listeners;
        listeners.erase(std::remove(listeners.begin(), listeners.end(), &listener_), listeners.end());
    }

    RecordingListener listener_;
};

TEST_F(GuardLog, LogsTheFailureWithTheActionAndGoesOn)
{
    const bool completed = logGuarded(LOG_WARNING, {"TrayIcon::~TrayIcon", 77}, [] {
        guarded({"service::stop", 12}, [] { failOpen(ERROR_ACCESS_DENIED, 4); }, L"Unable to call stop(%s)",
                L"tarvosrv");
    }, L"Stop %s", L"tarvosrv");
    EXPECT_FALSE(completed);
    ASSERT_EQ(1u, listener_.logged.size());
    EXPECT_EQ(LOG_WARNING, listener_.logged[0].first);
    EXPECT_EQ(osErrorMessage(ERROR_ACCESS_DENIED, L"OpenThing") +
                  L"\n   at (Thing::open line 4)"
                  L"\n   at Unable to call stop(tarvosrv)(service::stop line 12)"
                  L"\n   at Stop tarvosrv(TrayIcon::~TrayIcon line 77)",
              listener_.logged[0].second);
}

TEST_F(GuardLog, SuccessLogsNothing)
{
    EXPECT_TRUE(logGuarded(LOG_ERROR, {"Runner::cleanup", 1}, [] {}, L"Clean up"));
    EXPECT_TRUE(listener_.logged.empty());
}

} // namespace
