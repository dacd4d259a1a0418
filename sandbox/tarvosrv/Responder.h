#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tarvosrv {

// What the connection does with one request: send `body` (empty = the bare length 0), after
// waiting `delayMs`, or drop the connection without answering. Pipe messages of their own,
// when there are any, go instead of the framed body.
struct Reply {
    enum class Action { Send, Close };
    Action action = Action::Send;
    std::string body;
    DWORD delayMs = 0;
    std::vector<std::string> messages;
};

// Root of the provisioned answers and fault switches (HKLM, 32-bit view).
extern const wchar_t* const sandboxKeyPath;

// Answers one request body, read from the client on `pipe`, from the registry as it is at
// this moment. Never throws for anything a client can send: a body it cannot parse gets an
// error reply.
Reply respond(const std::string& request, HANDLE pipe);

} // namespace tarvosrv
