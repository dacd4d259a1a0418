#include "panel/TarvoSrvClient.h"
#include "runtime/Config.h"
#include "runtime/PipeChannel.h"
#include "runtime/VSID.h"
#include "support/Capture.h"
#include "support/LogCapture.h"
#include "support/SandboxConsole.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

// The management-service client against the sandbox stand-in, which answers from the
// registry and misbehaves when told to.
namespace {

using Bytes = std::vector<BYTE>;
using testbed::thrown;

const std::wstring endOfData = L"Unexpected end of data when read from serializer.";
const std::wstring commError = L"Tarvo Management service pipe communication error: ";
constexpr GUID getStringMethod = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};

TarvoSrvClient& client() { return TarvoSrvClient::getInstance(); }

// What the last pipe opened allows its server to do with the client's identity.
DWORD openedSqos = 0;
HANDLE WINAPI recordOpen(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD flags, HANDLE templateFile)
{
    openedSqos = flags & (SECURITY_SQOS_PRESENT | SECURITY_VALID_SQOS_FLAGS);
    return CreateFileW(name, access, share, security, disposition, flags, templateFile);
}

// Malformed replies raise the protocol's class, error replies not; a reply broken in its
// framing is tried once more.
TEST(ClientTest, AnswersErrorRepliesAndMalformedRepliesReachTheCallerAndEachOfEightThreadsItsOwn)
{
    testbed::SandboxConsole sandbox;
    sandbox.set(L"\\Groups\\DOMAIN\\Admins", L"DOMAIN\\bob", 1u);
    sandbox.set(L"\\Strings", L"MySQL_DB_HOST", L"Caf\u00e9");
    LogCapture log;
    // An error reply is an answer: nothing is tried again.
    EXPECT_TRUE(thrown([] { client().isGroupMemberUser(L"Staff", L"bob"); }) && log.messages.empty());

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        const std::wstring name = L"thread" + std::to_wstring(t);
        sandbox.set(L"\\Strings", name, name + L"!");
        threads.emplace_back([name, &wrong] {
            for (int i = 0; i < 100; ++i)
                try { wrong += client().getString(name) != name + L"!"; } catch (const vexception&) { ++wrong; }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, wrong.load());

    sandbox.set(L"", L"FaultText", L"Out of \u00e4pples");
    const struct { const wchar_t* fault; Bytes raw; bool member; std::wstring message; } cases[] = {
        {L"error", {}, false, L"Out of \u00e4pples"}, {L"empty", {}, false, endOfData}, {L"truncated", {}, false, endOfData},
        {L"charsize3", {}, false, L"Unsupported char size when read C-string from serializer."}, {L"truncated", {}, true, endOfData},
        {L"block8", {}, true, L"Invalid size of block"},
        {L"raw", {4, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF}, false, L"Reply of 4294967280 bytes exceeds the limit of 16777216 bytes"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        sandbox.set(L"", L"Fault", c.fault);
        sandbox.set(L"", L"FaultBytes", c.raw);
        const auto call = [&] { c.member ? (void)client().isGroupMemberUser(L"DOMAIN\\Admins", L"DOMAIN\\bob")
                                         : (void)client().getString(L"MySQL_DB_HOST"); };
        const auto error = c.message == L"Out of \u00e4pples" ? thrown(call) : thrown<vserializer::invalidprotocol>(call);
        ASSERT_TRUE(error);
        EXPECT_EQ(c.message, error->message());
        EXPECT_EQ(c.member ? "TarvoSrvClient::isGroupMemberUser" : "TarvoSrvClient::getString", error->contexts().back().function);
    }

    // Framing that breaks the read (the length says 10, the body message holds 20), once. Raw
    // replies are pipe messages, each as its 4-byte size and its bytes.
    Bytes broken{4, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0};
    broken.resize(32, 'x');
    sandbox.set(L"", L"Fault", L"raw");
    sandbox.set(L"", L"FaultBytes", broken);
    sandbox.set(L"", L"FaultCount", 1u);
    log.messages.clear();
    EXPECT_EQ(L"Caf\u00e9", client().getString(L"MySQL_DB_HOST"));
    ASSERT_EQ(1u, log.messages.size());
    EXPECT_TRUE(log.messages[0].first == LOG_INFO && log.messages[0].second.rfind(commError, 0) == 0) << log.messages[0].second;
}

// A channel of its own, so that its transfer limit and its trust check apply from its first connect.
TEST(ClientTest, SilentServerTimesOutUntrustedOneIsRefusedAndNeitherMayActAsTheClient)
{
    const std::wstring name = testbed::uniqueName(L"kzoquiet"), pipe = L"\\\\.\\pipe\\" + name;
    testbed::SandboxConsole sandbox(name);
    vpipechannel::client channel(CONFIG_ROOT_KEY, L"kzopipe");
    channel.setTransferTimeout(300);
    const vserializer question = [] { vserializer arguments; arguments.writeString(L"probe"); return arguments; }();
    const auto ask = [&] { return channel.query(getStringMethod, question)->readString(); };
    sandbox.set(L"", L"Fault", L"slow");
    sandbox.set(L"", L"FaultDelayMs", DWORD(INFINITE));
    EXPECT_EQ(L"Reading from pipe " + pipe + L" timed out after 300 ms\n   at (Con::ClientOverlappedPipe::read line #)", testbed::thrownText(ask));

    // The refusal comes before any request: the fault meant for one request is still there after, and the channel
    // that timed out answers again.
    sandbox.set(L"", L"Fault", L"error");
    sandbox.set(L"", L"FaultCount", 1u);
    const Con::PipeApi real = std::exchange(Con::pipeApi(), {&SleepEx, &recordOpen, [](HANDLE) { return false; }});
    vpipechannel::client refused(CONFIG_ROOT_KEY, L"kzopipe");
    const std::wstring refusal = testbed::thrownText([&] { refused.query(getStringMethod, question); });
    Con::pipeApi() = real;
    EXPECT_EQ(DWORD(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION), openedSqos); // what Wine does not enforce
    EXPECT_EQ(L"The server of pipe " + pipe + L" is not trusted: it runs neither as LocalSystem nor as a member of "
              L"Administrators\n   at (Con::ClientOverlappedPipe::create line #)", refusal);
    EXPECT_EQ(L"Sandbox fault", testbed::thrownText(ask));
    // The decision itself on real tokens: this process's own, an administrator's under Wine, and a copy of it in
    // which Administrators only denies access.
    UniqueHandle own, denying;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, own.put()));
    ASSERT_TRUE(CreateRestrictedToken(own.get(), 0, 1, std::vector{SID_AND_ATTRIBUTES{VSID::admins().get(), 0}}.data(),
                                      0, nullptr, 0, nullptr, denying.put()));
    EXPECT_TRUE(Con::isTrustedToken(own.get())) << "an administrator's token";
    EXPECT_FALSE(Con::isTrustedToken(denying.get())) << "Administrators deny-only";

    sandbox.set(L"", L"Fault", L"level");
    sandbox.set(L"", L"FaultCount", 1u);
    const std::wstring level = ask();
    if (level != L"1" && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "Wine ignores the level the client allows (its server answered " << level << ") and makes no "
                        "token of another account (LogonUserW), to try LocalSystem without Administrators";
    EXPECT_EQ(L"1", level); // SecurityIdentification
}

TEST(ClientPipeTest, FinishedPipeIsReportedThenReconnectedToTheNameConfiguredNowAndAMissingOneTriedEveryHalfSecond)
{
    { testbed::SandboxConsole first; }
    // The old pipe meets its end during this exchange: nothing comes back.
    EXPECT_EQ(endOfData, thrown([] { client().getString(L"probe"); })->message());
    LogCapture log;
    testbed::SandboxConsole second(testbed::uniqueName(L"kzoagain")); // its first question reconnects
    ASSERT_EQ(2u, log.messages.size());
    EXPECT_EQ(std::make_pair(int(LOG_WARNING), std::wstring(L"Connection to Tarvo Management Service is broken: Pipe is finished")),
              log.messages[0]);
    EXPECT_EQ(0u, withoutLines(log.messages[1].second)
                      .rfind(commError + L"Pipe is finished\n   at (vpipechannel::client::query line #). Trying to reconnect.", 0))
        << log.messages[1].second;

    // A missing pipe is tried every half second and fails with code 2; one whose only instance is taken is waited
    // for up to a second, tried again after 50 ms and fails with code 231.
    second.stop();
    const std::wstring missing = L"\\\\.\\pipe\\" + testbed::uniqueName(L"nobody"), busy = missing + L"busy";
    const UniqueFileHandle server(CreateNamedPipeW(busy.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr)),
        taken(CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    VirtualClock clock;
    for (const auto& [name, code] : {std::pair(missing, 2), {busy, 231}})
        EXPECT_EQ(osErrorMessage(code, (L"Unable to connect to pipe " + name).c_str()),
                  thrown<vosexception>([&, &name = name] { Con::ClientOverlappedPipe::create(name, 2); })->message());
    EXPECT_EQ((std::vector<DWORD>{500, 500, 50, 50}), clock.sleeps());

    // Without a configured name the client asks for the default pipe.
    testreg::ScopedValue pipe(CONFIG_ROOT_KEY, L"kzopipe");
    pipe.remove();
    std::wstring text = testbed::thrownText([] { client().getString(L"MySQL_DB_PORT"); });
    if (text.find(L"(Error code 2)") == std::wstring::npos) // an earlier server's pipe ended first
        text = testbed::thrownText([] { client().getString(L"MySQL_DB_PORT"); });
    EXPECT_NE(std::wstring::npos, text.find(L"(Error code 2) at Unable to connect to pipe \\\\.\\pipe\\kzopipe\n")) << text;
}

} // namespace
