#include "panel/TarvoSrvClient.h"
#include "runtime/Config.h"
#include "runtime/PipeChannel.h"
#include "support/Capture.h"
#include "support/LogCapture.h"
#include "support/SandboxConsole.h"
#include "support/TestBed.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <random>
#include <thread>

// The management-service client against the sandbox stand-in, which answers from the
// registry and misbehaves when told to.
namespace {

using Bytes = std::vector<BYTE>;
using testbed::thrown;

const std::wstring endOfData = L"Unexpected end of data when read from serializer.";
const std::wstring commError = L"Tarvo Management service pipe communication error: ";

TarvoSrvClient& client()
{
    return TarvoSrvClient::getInstance();
}

Bytes u32(uint32_t value)
{
    return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
}

// A raw reply of the stand-in: each pipe message as its size and its bytes.
Bytes messages(const std::vector<Bytes>& list)
{
    Bytes all;
    for (const Bytes& message : list) {
        const Bytes size = u32(static_cast<uint32_t>(message.size()));
        all.insert(all.end(), size.begin(), size.end());
        all.insert(all.end(), message.begin(), message.end());
    }
    return all;
}

bool endsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ClientTest : public ::testing::Test {
protected:
    testbed::SandboxConsole sandbox;
};

TEST_F(ClientTest, AnswersAndErrorRepliesReachTheCallerAndEachOfEightThreadsItsOwn)
{
    sandbox.set(L"\\Strings", L"MySQL_DB_HOST", L"db.internal");
    sandbox.set(L"\\Passwords", L"TARVO_DATABASE_PASSWORD", L"p\u00e4ss");
    sandbox.set(L"\\Groups\\DOMAIN\\Admins", L"DOMAIN\\bob", 1u);
    sandbox.set(L"\\Groups\\DOMAIN\\Admins", L"DOMAIN\\eve", 0u);
    EXPECT_EQ(L"db.internal", client().getString(L"MySQL_DB_HOST"));
    EXPECT_EQ(L"p\u00e4ss", client().getPassword(L"TARVO_DATABASE_PASSWORD"));
    EXPECT_TRUE(client().isGroupMemberUser(L"DOMAIN\\Admins", L"DOMAIN\\bob"));
    EXPECT_FALSE(client().isGroupMemberUser(L"DOMAIN\\Admins", L"DOMAIN\\eve"));

    LogCapture log;
    const struct {
        std::function<void()> call;
        const wchar_t *message, *context;
    } errors[] = {
        {[] { client().getString(L"HTTPD_VHOSTS_D"); }, L"Unknown setting 'HTTPD_VHOSTS_D'",
         L"Unable to call getString(HTTPD_VHOSTS_D)"},
        {[] { client().getPassword(L"other"); }, L"Unknown password 'other'", L"Unable to call getPassword('other')"},
        {[] { client().isGroupMemberUser(L"Staff", L"bob"); }, L"Unknown group 'Staff'",
         L"Unable to call isGroupMemberUser('Staff', 'bob')"},
    };
    for (const auto& e : errors) {
        const auto error = thrown(e.call);
        ASSERT_TRUE(error) << e.message;
        EXPECT_EQ(e.message, error->message());
        ASSERT_EQ(1u, error->contexts().size());
        EXPECT_EQ(e.context, error->contexts()[0].message);
    }
    EXPECT_TRUE(log.messages.empty()); // an error reply is an answer: nothing is tried again

    for (int t = 0; t < 8; ++t)
        sandbox.set(L"\\Strings", L"thread" + std::to_wstring(t), L"answer" + std::to_wstring(t));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 100; ++i)
                try {
                    wrong += client().getString(L"thread" + std::to_wstring(t)) != L"answer" + std::to_wstring(t);
                } catch (const vexception&) {
                    ++wrong;
                }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
}

TEST_F(ClientTest, MisbehavingServiceGivesTheExactMessagesAndABrokenReplyIsTriedOnceMore)
{
    sandbox.set(L"\\Strings", L"MySQL_DB_HOST", L"Caf\u00e9");
    sandbox.set(L"\\Groups\\DOMAIN\\Admins", L"DOMAIN\\bob", 1u);
    sandbox.set(L"", L"FaultText", L"Out of \u00e4pples");
    const struct {
        const wchar_t* fault;
        Bytes raw;
        bool member, protocolFault;
        std::wstring message;
    } cases[] = {
        {L"error", {}, false, false, L"Out of \u00e4pples"},
        {L"empty", {}, false, true, endOfData},
        {L"truncated", {}, false, true, endOfData},
        {L"charsize3", {}, false, true, L"Unsupported char size when read C-string from serializer."},
        {L"truncated", {}, true, true, endOfData},
        {L"block8", {}, true, true, L"Invalid size of block"},
        {L"raw", messages({u32(0xFFFFFFF0)}), false, true, L"Reply of 4294967280 bytes exceeds the limit of 16777216 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        sandbox.set(L"", L"Fault", c.fault);
        sandbox.set(L"", L"FaultBytes", c.raw);
        const auto call = [&] {
            c.member ? (void)client().isGroupMemberUser(L"DOMAIN\\Admins", L"DOMAIN\\bob")
                     : (void)client().getString(L"MySQL_DB_HOST");
        };
        std::optional<vexception> error; // of the protocol's class when the reply is malformed
        if (c.protocolFault)
            error = thrown<vserializer::invalidprotocol>(call);
        else
            error = thrown(call);
        ASSERT_TRUE(error);
        EXPECT_EQ(c.message, error->message());
        EXPECT_EQ(c.member ? "TarvoSrvClient::isGroupMemberUser" : "TarvoSrvClient::getString",
                  error->contexts().back().function);
    }
    sandbox.set(L"", L"Fault", L"narrow");
    wchar_t expected[8] = {};
    MultiByteToWideChar(CP_ACP, 0, "Caf\xE9", 4, expected, 8);
    EXPECT_EQ(expected, client().getString(L"MySQL_DB_HOST"));

    // Framing that breaks the read (the length says 10, the body message holds 20), once.
    sandbox.set(L"", L"Fault", L"raw");
    sandbox.set(L"", L"FaultBytes", messages({u32(10), Bytes(20, 'x')}));
    sandbox.set(L"", L"FaultCount", 1u);
    LogCapture log;
    EXPECT_EQ(L"Caf\u00e9", client().getString(L"MySQL_DB_HOST"));
    ASSERT_EQ(1u, log.messages.size());
    EXPECT_EQ(LOG_INFO, log.messages[0].first);
    EXPECT_EQ(0u, log.messages[0].second.rfind(commError, 0)) << log.messages[0].second;
    EXPECT_TRUE(endsWith(log.messages[0].second, L". Trying to reconnect.")) << log.messages[0].second;

    // The service hangs up after reading the request. Whether the client sees a failed read
    // (repaired at once) or an ended pipe (an empty reply) depends on who is first.
    sandbox.set(L"", L"Fault", L"close");
    sandbox.set(L"", L"FaultCount", 1u);
    const auto error = thrown([&] { EXPECT_EQ(L"Caf\u00e9", client().getString(L"MySQL_DB_HOST")); });
    EXPECT_EQ(endOfData, error ? error->message() : endOfData);
    EXPECT_EQ(L"Caf\u00e9", client().getString(L"MySQL_DB_HOST"));
}

TEST(ClientPipeTest, FinishedPipeIsReportedThenReconnectedToTheNameConfiguredNow)
{
    std::optional<testbed::SandboxConsole> first(std::in_place);
    first.reset();
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
}

TEST(ClientPipeTest, MissingPipeIsTriedEveryHalfSecondAndFailsWithCode2)
{
    const std::wstring missing = L"\\\\.\\pipe\\" + testbed::uniqueName(L"nobody");
    VirtualClock clock;
    auto error = thrown<vosexception>([&] { Con::ClientOverlappedPipe::create(missing, 2); });
    ASSERT_TRUE(error);
    EXPECT_EQ(2u, error->errorCode());
    EXPECT_TRUE(endsWith(error->message(), L"(Error code 2) at Unable to connect to pipe " + missing));
    EXPECT_EQ((std::vector<DWORD>{500, 500}), clock.sleeps());

    // Without a configured name the client asks for the default pipe.
    testreg::ScopedValue pipe(CONFIG_ROOT_KEY, L"kzopipe");
    pipe.remove();
    error = thrown<vosexception>([] { client().getString(L"MySQL_DB_PORT"); });
    if (!error) // an earlier server's pipe ended first
        error = thrown<vosexception>([] { client().getString(L"MySQL_DB_PORT"); });
    ASSERT_TRUE(error);
    EXPECT_TRUE(endsWith(error->message(), L"(Error code 2) at Unable to connect to pipe \\\\.\\pipe\\kzopipe"));
    EXPECT_EQ(std::vector<DWORD>(clock.sleeps().size(), 500), clock.sleeps());
}

// Random replies built from valid ones end in an answer or an error, never a crash or a
// hang. Every reply leaves the client something to read.
TEST_F(ClientTest, FuzzedRepliesEndInAnAnswerOrAnError)
{
    std::mt19937 random(20240611);
    const auto pick = [&](uint32_t bound) { return std::uniform_int_distribution<uint32_t>(0, bound - 1)(random); };
    const Bytes bases[] = {{9, 0, 0, 0, 2, 'a', 0, 'b', 0, 'c', 0, 'd', 0}, {5, 0, 0, 0, 1, 'a', 'b', 'c', 'd'},
                           {4, 0, 0, 0, 1, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 2, 'e', 0}};
    sandbox.set(L"", L"Fault", L"raw");
    unsigned answers = 0, errors = 0;
    for (int call = 0; call < 1500; ++call) {
        Bytes body = bases[pick(4)];
        for (uint32_t edits = pick(4); edits > 0 && !body.empty(); --edits)
            body[pick(static_cast<uint32_t>(body.size()))] = static_cast<BYTE>(pick(3) ? pick(5) : pick(256));
        body.resize(pick(8) ? body.size() : pick(static_cast<uint32_t>(body.size()) + 1));
        const uint32_t claimed = body.empty() ? 0 : pick(6) ? static_cast<uint32_t>(body.size()) : 1 + pick(40);
        sandbox.set(L"", L"FaultBytes", claimed ? messages({u32(claimed), body}) : messages({u32(0)}));
        try {
            call % 3 ? (void)client().getString(L"fuzz") : (void)client().isGroupMemberUser(L"g", L"u");
            ++answers;
        } catch (const vexception&) {
            ++errors;
        }
    }
    EXPECT_GT(answers, 0u);
    EXPECT_GT(errors, 0u);
}

} // namespace
