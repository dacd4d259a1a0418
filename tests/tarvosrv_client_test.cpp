#include "runtime/Config.h"
#include "runtime/PipeChannel.h"
#include "panel/TarvoSrvClient.h"
#include "runtime/LogManager.h"

#include "support/PipeTestServer.h"
#include "support/RegistryValues.h"
#include "support/SandboxConsole.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <variant>

namespace {

using namespace testpipe;
using Lines = std::vector<std::pair<int, std::wstring>>;

const Bytes getPasswordId = {0x07, 0xA6, 0xA1, 0x50, 0xB9, 0x50, 0xB3, 0x4D,
                             0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF};
const Bytes getStringId = {0x3C, 0xBC, 0x3E, 0xAD, 0xB9, 0xE6, 0xCF, 0x4F,
                           0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22};
const Bytes isGroupMemberUserId = {0x93, 0x23, 0x7C, 0xB0, 0x2B, 0x34, 0x35, 0x41,
                                   0x81, 0x58, 0x48, 0xF3, 0x3A, 0x48, 0x5C, 0x42};

const std::wstring endOfData = L"Unexpected end of data when read from serializer.";
const std::wstring commError = L"Tarvo Management service pipe communication error: ";

TarvoSrvClient& client()
{
    return TarvoSrvClient::getInstance();
}

bool endsWith(const std::wstring& text, const std::wstring& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The first string argument of a request (after the 4 + 16 identifier bytes), decoded.
std::wstring firstArgument(const Bytes& request)
{
    if (request.size() < 25 || request[24] != 2)
        return L"?";
    const uint32_t size = request[20] | request[21] << 8 | request[22] << 16 | request[23] << 24;
    std::wstring text;
    for (size_t i = 25; i + 1 < 24u + size && i + 1 < request.size(); i += 2)
        text.push_back(static_cast<wchar_t>(request[i] | request[i + 1] << 8));
    return text;
}

// Requests for "probe" are answered "ready" whatever else a test scripts.
Handler withProbe(Handler handler)
{
    return [handler](const Bytes& request) {
        return firstArgument(request) == L"probe" ? framed(stringItem(L"ready")) : handler(request);
    };
}

// Records what is logged while it lives (the client logs on the calling thread).
struct LogRecorder : LogListener {
    LogRecorder() { LogManager::instance().settings().listeners.push_back(this); }
    ~LogRecorder() override
    {
        auto& listeners = LogManager::instance().settings().listeners;
        listeners.erase(std::remove(listeners.begin(), listeners.end(), this), listeners.end());
    }
    void onException(int level, const vexception& e) override { onMessage(level, e.fullText()); }
    void onMessage(int level, const std::wstring& text) override { lines.emplace_back(level, text); }

    Lines lines;
};

// What a failed call raised, with the kind of its exception.
struct Failure {
    vexception error{L"(no failure)"};
    bool protocolFault = false;
    DWORD osCode = 0;

    const std::wstring& message() const { return error.message(); }
    const std::vector<ExceptionContext>& contexts() const { return error.contexts(); }
};

Failure failureOf(const std::function<void()>& call)
{
    Failure failure;
    try {
        call();
    } catch (const vexception& error) {
        failure.error = error;
        failure.protocolFault = dynamic_cast<const vserializer::invalidprotocol*>(&error) != nullptr;
        if (const auto* osError = dynamic_cast<const vosexception*>(&error))
            failure.osCode = osError->errorCode();
    }
    return failure;
}

// "PipeConnectTryCount" is re-read only on every 16th use: ask until the new count shows.
void useTryCount(const testreg::ScopedValue& value, DWORD count)
{
    const int expected = count ? static_cast<int>(count) : 10;
    value.setDword(count);
    for (int i = 0; i < 16 && getPipeConnectTryCount(10) != expected; ++i) {
    }
    ASSERT_EQ(expected, getPipeConnectTryCount(10));
}

// The client is process-wide and keeps its pipe between tests. Each test gives the pipe a
// name of its own; the client finds out that the last test's server is gone only by using
// the old pipe, and then reconnects to the name configured now.
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { pipeValue_.setString(pipeName_); }

    void reconnect()
    {
        std::wstring last;
        for (int attempt = 0; attempt < 3; ++attempt) {
            try {
                if ((last = client().getString(L"probe")) == L"ready")
                    return;
            } catch (const vexception& e) {
                last = e.fullText();
            }
        }
        FAIL() << "the client does not reach this test's server: " << std::string(last.begin(), last.end());
    }

    const std::wstring pipeName_ = testbed::uniqueName(L"kzotest");

private:
    testreg::ScopedValue pipeValue_{CONFIG_ROOT_KEY, L"kzopipe"};
};

TEST_F(ClientTest, RequestsCarryTheMethodIdentifierAndEightThreadsGetOnlyTheirOwnAnswers)
{
    Server server(pipeName_, withProbe([](const Bytes& request) {
        const Bytes method(request.begin() + 4, request.begin() + 20);
        if (method == isGroupMemberUserId)
            return framed(concat({u32(4), u32(firstArgument(request) == L"DOMAIN\\Admins" ? 7 : 0)}));
        return framed(stringItem(method == getStringId ? L"value of " + firstArgument(request) : L"s3cret"));
    }));
    reconnect();
    server.clearRequests();

    EXPECT_EQ(L"value of MySQL_DB_HOST", client().getString(L"MySQL_DB_HOST"));
    EXPECT_EQ(L"s3cret", client().getPassword(L"TARVO_DATABASE_PASSWORD"));
    EXPECT_TRUE(client().isGroupMemberUser(L"DOMAIN\\Admins", L"bob"));
    EXPECT_FALSE(client().isGroupMemberUser(L"Users", L"bob"));
    // The server takes a request only as a 4-byte length message and a body of that length.
    const std::vector<Bytes> requests = server.requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(concat({u32(16), getStringId, stringItem(L"MySQL_DB_HOST")}), requests[0]);
    EXPECT_EQ(concat({u32(16), getPasswordId, stringItem(L"TARVO_DATABASE_PASSWORD")}), requests[1]);
    EXPECT_EQ(concat({u32(16), isGroupMemberUserId, stringItem(L"DOMAIN\\Admins"), stringItem(L"bob")}), requests[2]);

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 200; ++i) {
                const std::wstring name = L"thread" + std::to_wstring(t) + L"_call" + std::to_wstring(i);
                try {
                    wrong += client().getString(name) != L"value of " + name;
                } catch (const vexception&) {
                    ++wrong;
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(1u, server.connections());
}

// Either way the exchange is tried once more over a new connection (the first one served
// the probe and the broken reply), and the retry is logged.
TEST_F(ClientTest, BrokenReplyIsTriedOnceMoreAndAnOversizedOneRefusedUnread)
{
    std::atomic<int> answered{0};
    Server server(pipeName_, withProbe([&](const Bytes&) {
        // first the length claims 10 bytes and the body message holds 20
        return answered++ == 0 ? Reply{{u32(10), Bytes(20, 'x')}} : framed(stringItem(L"second"));
    }));
    reconnect();
    LogRecorder log;
    EXPECT_EQ(L"second", client().getString(L"HTTPD_VHOSTS_D"));
    const Lines lines = log.lines;
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(LOG_INFO, lines[0].first);
    EXPECT_EQ(0u, lines[0].second.rfind(commError, 0));
    EXPECT_NE(std::wstring::npos, lines[0].second.find(L"(Con::ClientOverlappedPipe::read line "));
    EXPECT_TRUE(endsWith(lines[0].second, L". Trying to reconnect.")) << lines[0].second;
    EXPECT_EQ(2u, server.connections());

    server.setHandler(withProbe([](const Bytes&) { return Reply{{u32(0xFFFFFFF0)}}; }));
    const Failure error = failureOf([] { client().getString(L"PRODUCT_ROOT_D"); });
    EXPECT_TRUE(error.protocolFault);
    EXPECT_EQ(L"Reply of 4294967280 bytes exceeds the limit of 16777216 bytes", error.message());
    EXPECT_EQ(L"Unable to call getString(PRODUCT_ROOT_D)", error.contexts().back().message);
    EXPECT_EQ(2u, log.lines.size());
    EXPECT_EQ(3u, server.connections());
}

TEST_F(ClientTest, FinishedPipeIsReportedThenReconnectedToTheNameConfiguredNow)
{
    auto first = std::make_unique<Server>(pipeName_, withProbe([](const Bytes&) { return framed(stringItem(L"1")); }));
    reconnect();
    EXPECT_EQ(L"1", client().getString(L"x"));
    first.reset();

    const std::wstring secondName = testbed::uniqueName(L"kzotest");
    testreg::ScopedValue pipeValue(CONFIG_ROOT_KEY, L"kzopipe");
    pipeValue.setString(secondName);
    Server second(secondName, [](const Bytes&) { return framed(stringItem(L"2")); });

    LogRecorder log;
    // The old pipe meets its end during this exchange: nothing comes back.
    EXPECT_EQ(endOfData, failureOf([] { client().getString(L"x"); }).message());
    EXPECT_TRUE(log.lines.empty());

    EXPECT_EQ(L"2", client().getString(L"x"));
    const Lines lines = log.lines;
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(Lines::value_type(LOG_WARNING, L"Connection to Tarvo Management Service is broken: Pipe is finished"),
              lines[0]);
    EXPECT_EQ(LOG_INFO, lines[1].first);
    EXPECT_EQ(0u, lines[1].second.rfind(commError + L"Pipe is finished\n   at (vpipechannel::client::query line ", 0))
        << lines[1].second;
    EXPECT_TRUE(endsWith(lines[1].second, L"). Trying to reconnect.")) << lines[1].second;
}

TEST_F(ClientTest, StoppedServiceFailsWithTheDefaultPipeNameAndCode2AfterOneAttempt)
{
    const std::wstring missing = L"\\\\.\\pipe\\" + testbed::uniqueName(L"nobody");
    const auto start = std::chrono::steady_clock::now();
    Failure error = failureOf([&] { Con::ClientOverlappedPipe::create(missing, 1); });
    // the 500 ms pause follows the attempt; a second attempt would take as long again
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(490));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
    EXPECT_EQ(2u, error.osCode);
    EXPECT_TRUE(endsWith(error.message(), L"(Error code 2) at Unable to connect to pipe " + missing));
    ASSERT_EQ(1u, error.contexts().size());
    EXPECT_EQ("Con::ClientOverlappedPipe::create", error.contexts()[0].function);

    {
        Server server(pipeName_, withProbe([](const Bytes&) { return framed(stringItem(L"")); }));
        reconnect();
    }
    testreg::ScopedValue tries(CONFIG_ROOT_KEY, L"PipeConnectTryCount");
    useTryCount(tries, 1);
    testreg::ScopedValue pipeValue(CONFIG_ROOT_KEY, L"kzopipe");
    pipeValue.remove();

    // the old pipe ends, then the reconnect finds no server
    error = failureOf([] { client().getString(L"MySQL_DB_PORT"); });
    if (error.message() == endOfData)
        error = failureOf([] { client().getString(L"MySQL_DB_PORT"); });
    EXPECT_EQ(2u, error.osCode) << error.error.fullText();
    EXPECT_TRUE(endsWith(error.message(), L"(Error code 2) at Unable to connect to pipe \\\\.\\pipe\\kzopipe"))
        << error.message();
    ASSERT_EQ(2u, error.contexts().size());
    EXPECT_EQ("Con::ClientOverlappedPipe::create", error.contexts()[0].function);
    EXPECT_EQ(L"Unable to call getString(MySQL_DB_PORT)", error.contexts()[1].message);
    EXPECT_EQ("TarvoSrvClient::getString", error.contexts()[1].function);

    // Without a pipe a call connects, fails, logs and connects once more: one attempt each.
    LogRecorder log;
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(error.message(), failureOf([] { client().getPassword(L"TARVO_DATABASE_PASSWORD"); }).message());
    EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(4500));
    const Lines lines = log.lines;
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].second.rfind(commError, 0));
    useTryCount(tries, 0);
}

// Against the management service stand-in, configured through its registry values.
class SandboxClientTest : public ClientTest {
protected:
    SandboxClientTest()
    {
        const std::pair<const wchar_t*, const wchar_t*> values[] = {
            {L"\\Strings", L"probe"}, {L"\\Strings", L"MySQL_DB_HOST"}, {L"\\Passwords", L"TARVO_DATABASE_PASSWORD"},
            {L"\\Groups\\DOMAIN\\Admins", L"DOMAIN\\bob"}, {L"\\Groups\\DOMAIN\\Admins", L"DOMAIN\\eve"},
            {L"", L"Fault"}, {L"", L"FaultText"}, {L"", L"FaultCount"}, {L"", L"FaultDelayMs"}};
        for (const auto& [path, name] : values)
            values_.emplace(std::piecewise_construct, std::forward_as_tuple(name),
                            std::forward_as_tuple(testbed::sandboxKey + std::wstring(path), name));
    }
    void SetUp() override
    {
        ClientTest::SetUp();
        set({{L"probe", L"ready"}});
        sandbox_ = std::make_unique<testbed::SandboxConsole>();
        reconnect();
    }
    void TearDown() override { sandbox_.reset(); }

    // Sets values by name; each is restored when the test ends.
    void set(std::initializer_list<std::pair<std::wstring, std::variant<DWORD, std::wstring>>> values)
    {
        for (const auto& [name, value] : values)
            if (const auto* text = std::get_if<std::wstring>(&value))
                values_.at(name).setString(*text);
            else
                values_.at(name).setDword(std::get<DWORD>(value));
    }

    std::map<std::wstring, testreg::ScopedValue> values_;
    std::unique_ptr<testbed::SandboxConsole> sandbox_;
};

TEST_F(SandboxClientTest, AnswersAndServiceErrorsReachTheCallerUnderTheMethodContext)
{
    set({{L"MySQL_DB_HOST", L"db.internal"}, {L"TARVO_DATABASE_PASSWORD", L"p\u00e4ss"}, {L"DOMAIN\\bob", 1u},
         {L"DOMAIN\\eve", 0u}});
    EXPECT_EQ(L"db.internal", client().getString(L"MySQL_DB_HOST"));
    EXPECT_EQ(L"p\u00e4ss", client().getPassword(L"TARVO_DATABASE_PASSWORD"));
    EXPECT_TRUE(client().isGroupMemberUser(L"DOMAIN\\Admins", L"DOMAIN\\bob"));
    EXPECT_FALSE(client().isGroupMemberUser(L"DOMAIN\\Admins", L"DOMAIN\\eve"));

    LogRecorder log;
    const auto expectError = [](const std::function<void()>& call, const wchar_t* message, const wchar_t* context) {
        const Failure error = failureOf(call);
        EXPECT_EQ(message, error.message());
        ASSERT_EQ(1u, error.contexts().size());
        EXPECT_EQ(context, error.contexts()[0].message);
    };
    expectError([] { client().getString(L"HTTPD_VHOSTS_D"); }, L"Unknown setting 'HTTPD_VHOSTS_D'",
                L"Unable to call getString(HTTPD_VHOSTS_D)");
    expectError([] { client().getPassword(L"other"); }, L"Unknown password 'other'",
                L"Unable to call getPassword('other')");
    expectError([] { client().isGroupMemberUser(L"Staff", L"DOMAIN\\bob"); }, L"Unknown group 'Staff'",
                L"Unable to call isGroupMemberUser('Staff', 'DOMAIN\\bob')");
    // an error reply is an answer: nothing is retried
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(SandboxClientTest, MisbehavingServiceGivesTheExactMessages)
{
    set({{L"MySQL_DB_HOST", L"db.internal"}, {L"DOMAIN\\bob", 1u}, {L"FaultText", L"Out of \u00e4pples"}});
    const struct {
        const wchar_t* fault;
        bool member;
        std::wstring message;
        bool protocolFault;
    } cases[] = {
        {L"error", false, L"Out of \u00e4pples", false},
        {L"empty", false, endOfData, true},
        {L"truncated", false, endOfData, true},
        {L"charsize3", false, L"Unsupported char size when read C-string from serializer.", true},
        {L"truncated", true, endOfData, true},
        {L"block8", true, L"Invalid size of block", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        set({{L"Fault", c.fault}});
        const Failure error = failureOf([&] {
            c.member ? (void)client().isGroupMemberUser(L"DOMAIN\\Admins", L"DOMAIN\\bob")
                     : (void)client().getString(L"MySQL_DB_HOST");
        });
        EXPECT_EQ(c.message, error.message());
        EXPECT_EQ(c.protocolFault, error.protocolFault);
        ASSERT_FALSE(error.contexts().empty());
        EXPECT_EQ(c.member ? "TarvoSrvClient::isGroupMemberUser" : "TarvoSrvClient::getString",
                  error.contexts().back().function);
    }

    set({{L"Fault", L"narrow"}, {L"MySQL_DB_HOST", L"Caf\u00e9"}});
    wchar_t expected[8] = {};
    MultiByteToWideChar(CP_ACP, 0, "Caf\xE9", 4, expected, 8);
    EXPECT_EQ(expected, client().getString(L"MySQL_DB_HOST"));

    set({{L"Fault", L"slow"}, {L"FaultDelayMs", 300u}});
    EXPECT_EQ(L"Caf\u00e9", client().getString(L"MySQL_DB_HOST"));

    // The service reads the request and hangs up. Whether the client sees that as a failed
    // read (repaired at once) or an ended pipe (empty reply) depends on who is first.
    set({{L"Fault", L"close"}, {L"FaultCount", 1u}});
    try {
        EXPECT_EQ(L"Caf\u00e9", client().getString(L"MySQL_DB_HOST"));
    } catch (const vexception& error) {
        EXPECT_EQ(endOfData, error.message());
    }
    EXPECT_EQ(L"Caf\u00e9", client().getString(L"MySQL_DB_HOST"));
}

// Replies built from valid ones by mutation, plus broken framing. Every reply leaves the
// client something to read: a length message alone only says 0 or more than the client
// accepts, so no exchange can wait for a body that never comes.
class ReplyFuzzer {
public:
    explicit ReplyFuzzer(uint32_t seed) : random_(seed) {}

    Reply next()
    {
        Bytes body = mutated(base());
        const auto size = static_cast<uint32_t>(body.size());
        switch (pick(80)) {
        case 0: return Reply{{u32(size + 1 + pick(8)), body}}; // the length claims more than the body holds
        case 1: { // the length claims less
            const uint32_t claimed = size < 2 ? size : pick(size);
            return claimed == size ? framed(body) : claimed ? Reply{{u32(claimed), body}} : Reply{{u32(0)}};
        }
        case 2: { // a length message of the wrong size, then the body
            Bytes length = u32(size);
            length.resize(pick(2) ? 3 : 5);
            return Reply{{length, body}};
        }
        case 3: return Reply{{}, true}; // hang up without a reply
        case 4: return Reply{{u32(vpipechannel::client::maxReplyBytes + 1 + pick(0x7FFFFFFF))}};
        default: return framed(body);
        }
    }

private:
    uint32_t pick(uint32_t bound) { return bound ? std::uniform_int_distribution<uint32_t>(0, bound - 1)(random_) : 0; }

    Bytes base()
    {
        std::wstring text;
        for (uint32_t i = pick(12); i > 0; --i)
            text.push_back(static_cast<wchar_t>(pick(3) == 0 ? pick(0x10000) : L'a' + pick(26)));
        Bytes bytes;
        switch (pick(6)) {
        case 0: return stringItem(text);
        case 1: return narrowStringItem(std::string(text.begin(), text.end()));
        case 2: return concat({u32(4), u32(pick(3))});
        case 3: return concat({u32(0xFFFFFFFF), stringItem(text)});
        case 4:
            for (uint32_t n = pick(40); n > 0; --n)
                bytes.push_back(static_cast<uint8_t>(pick(256)));
        }
        return bytes;
    }

    Bytes mutated(Bytes body)
    {
        static const uint32_t lengths[] = {0, 1, 3, 4, 5, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF};
        for (uint32_t i = 0, edits = pick(4); i < edits && !body.empty(); ++i) {
            size_t at = pick(static_cast<uint32_t>(body.size()));
            switch (pick(5)) {
            case 0: body[at] ^= static_cast<uint8_t>(1u << pick(8)); break;
            case 1: body.resize(at); break;
            case 2: body.insert(body.begin() + at, static_cast<uint8_t>(pick(256))); break;
            case 3: // a boundary length where a length may be
                for (const uint8_t b : u32(lengths[pick(8)]))
                    if (at < body.size())
                        body[at++] = b;
                break;
            default: body[at] = static_cast<uint8_t>(pick(4)); break; // character sizes
            }
        }
        return body;
    }

    std::mt19937 random_;
};

TEST_F(ClientTest, FuzzedRepliesEndInAnAnswerOrAnError)
{
    constexpr unsigned replies = 20000;
    ReplyFuzzer fuzzer(20240611);
    std::atomic<unsigned> served{0};
    Server server(pipeName_, withProbe([&](const Bytes&) {
        ++served;
        return fuzzer.next();
    }));
    reconnect();

    unsigned answers = 0;
    unsigned errors = 0;
    for (unsigned call = 0; served < replies; ++call) {
        try {
            if (call % 3 == 2)
                client().isGroupMemberUser(L"g", L"u");
            else
                client().getString(L"fuzz");
            ++answers;
        } catch (const vexception&) {
            ++errors;
        }
    }
    // both outcomes occur; anything else (a crash, a foreign exception, a hang) fails the run
    EXPECT_GT(answers, 0u);
    EXPECT_GT(errors, 0u);
    std::printf("fuzz: %u replies, %u answers, %u errors, %u connections\n", served.load(), answers, errors,
                server.connections());
}

} // namespace
