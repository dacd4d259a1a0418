// getString round trips through the management-service client against the bare pipe
// exchange of the same bytes with the same server: what the lock, the serializer, the
// guard and the overlapped transfers cost per request.
#include "runtime/Config.h"
#include "panel/TarvoSrvClient.h"
#include "runtime/Exception.h"

#include "support/PipeTestServer.h"
#include "support/RegistryValues.h"
#include "support/TestBed.h"

#include <windows.h>

#include <chrono>
#include <cstdio>

namespace {

constexpr int ROUND_TRIPS = 3000;
constexpr int FAILING_ROUND_TRIPS = 1000;

using testpipe::Bytes;

double perSecond(int count, std::chrono::steady_clock::duration elapsed)
{
    return count / std::chrono::duration<double>(elapsed).count();
}

// Request: length message, then body; reply: length message, then body. Blocking, byte
// for byte what the client sends.
bool bareExchange(HANDLE pipe, const Bytes& request, Bytes& reply)
{
    DWORD done = 0;
    const uint32_t length = static_cast<uint32_t>(request.size());
    if (!WriteFile(pipe, &length, sizeof(length), &done, nullptr) ||
        !WriteFile(pipe, request.data(), length, &done, nullptr))
        return false;
    uint32_t replyLength = 0;
    if (!ReadFile(pipe, &replyLength, sizeof(replyLength), &done, nullptr))
        return false;
    reply.resize(replyLength);
    return replyLength == 0 || ReadFile(pipe, reply.data(), replyLength, &done, nullptr);
}

} // namespace

int main()
{
    const std::wstring pipeName = testbed::uniqueName(L"kzobench");
    testreg::ScopedValue pipeValue(CONFIG_ROOT_KEY, L"kzopipe");
    pipeValue.setString(pipeName);

    const Bytes reply = testpipe::stringItem(L"C:\\Program Files (x86)\\Tarvo\\");
    Bytes request;
    testpipe::Server server(pipeName, [&](const Bytes& body) {
        request = body;
        return testpipe::framed(body.size() > 30 && body[25] == 'f' ? testpipe::concat({testpipe::u32(0xFFFFFFFF),
                                                                                       testpipe::stringItem(L"no")})
                                                                  : reply);
    });

    TarvoSrvClient& client = TarvoSrvClient::getInstance();
    client.getString(L"PRODUCT_ROOT_D"); // records the request bytes
    const Bytes sameRequest = request;

    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < ROUND_TRIPS; ++i)
        client.getString(L"PRODUCT_ROOT_D");
    const double clientRate = perSecond(ROUND_TRIPS, std::chrono::steady_clock::now() - start);

    start = std::chrono::steady_clock::now();
    for (int i = 0; i < FAILING_ROUND_TRIPS; ++i) {
        try {
            client.getString(L"failing");
        } catch (const vexception&) {
        }
    }
    const double errorRate = perSecond(FAILING_ROUND_TRIPS, std::chrono::steady_clock::now() - start);

    const std::wstring path = L"\\\\.\\pipe\\" + pipeName;
    const HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        std::printf("cannot open the bare pipe (error %lu)\n", GetLastError());
        return 1;
    }
    Bytes answer;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < ROUND_TRIPS; ++i)
        if (!bareExchange(pipe, sameRequest, answer) || answer != reply) {
            std::printf("bare exchange failed\n");
            return 1;
        }
    const double bareRate = perSecond(ROUND_TRIPS, std::chrono::steady_clock::now() - start);
    CloseHandle(pipe);

    std::printf("getString round trips:        %8.0f /s\n", clientRate);
    std::printf("getString with an error reply: %8.0f /s\n", errorRate);
    std::printf("bare pipe exchange, same bytes: %8.0f /s\n", bareRate);
    std::printf("client / bare: %.2f\n", clientRate / bareRate);
    return 0;
}
