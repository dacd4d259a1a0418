// getString round trips through the management-service client against the bare pipe
// exchange of the same bytes with the same server (the sandbox stand-in): what the lock,
// the serializer, the guard and the overlapped transfers cost per request.
#include "panel/TarvoSrvClient.h"
#include "runtime/Exception.h"

#include "support/SandboxConsole.h"
#include "support/TestBed.h"

#include <windows.h>

#include <chrono>
#include <cstdio>

namespace {

constexpr int ROUND_TRIPS = 3000;
constexpr int FAILING_ROUND_TRIPS = 1000;

using Bytes = std::vector<uint8_t>;

// A string item of the protocol: its length, the character size 2, the UTF-16 text.
Bytes stringItem(const std::wstring& text)
{
    const auto length = static_cast<uint32_t>(1 + 2 * text.size());
    Bytes item = {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24), 2};
    for (const wchar_t c : text)
        item.insert(item.end(), {uint8_t(c), uint8_t(c >> 8)});
    return item;
}

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
    testbed::SandboxConsole server(pipeName);
    const std::wstring root = L"C:\\Program Files (x86)\\Tarvo\\";
    server.set(L"\\Strings", L"PRODUCT_ROOT_D", root);
    const Bytes reply = stringItem(root);
    // What the client sends: the getString identifier as a 16-byte block, then the name.
    Bytes sameRequest = {16, 0, 0, 0, 0x3C, 0xBC, 0x3E, 0xAD, 0xB9, 0xE6, 0xCF, 0x4F,
                         0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22};
    const Bytes name = stringItem(L"PRODUCT_ROOT_D");
    sameRequest.insert(sameRequest.end(), name.begin(), name.end());

    TarvoSrvClient& client = TarvoSrvClient::getInstance();

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
