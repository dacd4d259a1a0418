#include "Responder.h"

#include "runtime/Handle.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <optional>
#include <vector>

namespace tarvosrv {

const wchar_t* const sandboxKeyPath = L"SOFTWARE\\Tarvo\\KZO Config\\Sandbox\\tarvosrv";

namespace {

enum class Method { GetPassword, GetString, IsGroupMemberUser };

struct MethodEntry {
    Method method;
    const wchar_t* name;
    unsigned char id[16];
};

const MethodEntry methods[] = {
    {Method::GetPassword, L"getPassword",
     {0x07, 0xA6, 0xA1, 0x50, 0xB9, 0x50, 0xB3, 0x4D, 0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}},
    {Method::GetString, L"getString",
     {0x3C, 0xBC, 0x3E, 0xAD, 0xB9, 0xE6, 0xCF, 0x4F, 0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}},
    {Method::IsGroupMemberUser, L"isGroupMemberUser",
     {0x93, 0x23, 0x7C, 0xB0, 0x2B, 0x34, 0x35, 0x41, 0x81, 0x58, 0x48, 0xF3, 0x3A, 0x48, 0x5C, 0x42}},
};

constexpr uint32_t errorMarker = 0xFFFFFFFFu;
constexpr uint32_t blockSize16 = 16;

struct BadRequest {
    std::wstring text;
};

// Reads the request body front to back; any overrun is a malformed request.
class Reader {
public:
    explicit Reader(const std::string& data) : m_data(data) {}

    uint32_t u32()
    {
        need(4, L"block length");
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(m_data[m_pos + i]);
        m_pos += 4;
        return v;
    }

    std::string bytes(size_t n, const wchar_t* what)
    {
        need(n, what);
        std::string out = m_data.substr(m_pos, n);
        m_pos += n;
        return out;
    }

    bool atEnd() const { return m_pos == m_data.size(); }

    std::wstring stringItem(const wchar_t* what)
    {
        const uint32_t n = u32();
        if (n == 0 || n == errorMarker)
            throw BadRequest{std::wstring(what) + L" is not a string item"};
        const std::string raw = bytes(n, what);
        const std::string chars = raw.substr(1);
        switch (raw[0]) {
        case 1:
            return fromAnsi(chars);
        case 2: {
            std::wstring text(chars.size() / 2, L'\0');
            if (!text.empty())
                std::memcpy(&text[0], chars.data(), text.size() * 2);
            return text;
        }
        default:
            throw BadRequest{std::wstring(what) + L" has an unsupported character size"};
        }
    }

private:
    void need(size_t n, const wchar_t* what)
    {
        if (m_data.size() - m_pos < n)
            throw BadRequest{std::wstring(L"request ends inside the ") + what};
    }

    static std::wstring fromAnsi(const std::string& s)
    {
        if (s.empty())
            return {};
        const int len = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
        std::wstring out(static_cast<size_t>(len), L'\0');
        MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &out[0], len);
        return out;
    }

    const std::string& m_data;
    size_t m_pos = 0;
};

void putU32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string utf16Bytes(const std::wstring& text)
{
    std::string out(text.size() * 2, '\0');
    if (!text.empty())
        std::memcpy(&out[0], text.data(), out.size());
    return out;
}

std::string ansiBytes(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int len = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
    std::string out(static_cast<size_t>(len), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], len, nullptr, nullptr);
    return out;
}

// A string item whose block length claims `extra` more bytes than follow it.
void putStringItem(std::string& out, char charSize, const std::string& chars, uint32_t extra = 0)
{
    putU32(out, static_cast<uint32_t>(chars.size() + 1) + extra);
    out.push_back(charSize);
    out += chars;
}

std::string errorReply(const std::wstring& text)
{
    std::string out;
    putU32(out, errorMarker);
    putStringItem(out, 2, utf16Bytes(text));
    return out;
}

std::wstring methodText(const std::string& id)
{
    const auto b = [&id](int i) { return static_cast<unsigned>(static_cast<unsigned char>(id[i])); };
    wchar_t text[40];
    swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24, b(4) | b(5) << 8, b(6) | b(7) << 8, b(8), b(9), b(10),
             b(11), b(12), b(13), b(14), b(15));
    return text;
}

UniqueRegKey openKey(HKEY parent, const std::wstring& path, REGSAM access = KEY_READ)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, access | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return UniqueRegKey();
    return UniqueRegKey(key);
}

enum class Lookup { Found, Missing, WrongType };

Lookup queryString(HKEY key, const std::wstring& name, std::wstring& text)
{
    if (key == nullptr || name.empty())
        return Lookup::Missing;
    for (;;) {
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return Lookup::Missing;
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return Lookup::WrongType;
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
        rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
        if (rc == ERROR_MORE_DATA)
            continue; // the value grew in between
        if (rc != ERROR_SUCCESS)
            return Lookup::Missing;
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return Lookup::WrongType;
        text.assign(buffer.data(), size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0')
            text.pop_back();
        return Lookup::Found;
    }
}

Lookup queryDword(HKEY key, const std::wstring& name, DWORD& value)
{
    if (key == nullptr || name.empty())
        return Lookup::Missing;
    DWORD type = 0;
    DWORD size = sizeof(value);
    const LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (rc == ERROR_MORE_DATA)
        return Lookup::WrongType;
    if (rc != ERROR_SUCCESS)
        return Lookup::Missing;
    return type == REG_DWORD && size == sizeof(value) ? Lookup::Found : Lookup::WrongType;
}

struct Fault {
    std::wstring mode;
    std::wstring text;
    DWORD delayMs = 0;
};

constexpr DWORD defaultFaultDelayMs = 5000;

// FaultCount is read, decremented and written back under this lock, so that concurrent
// requests of this process use up exactly that many faults.
std::mutex faultCountLock;

// The fault switch as it stands for this request, or none.
std::optional<Fault> takeFault(HKEY sandbox, const wchar_t* methodName)
{
    Fault fault;
    if (queryString(sandbox, L"Fault", fault.mode) != Lookup::Found || fault.mode.empty())
        return std::nullopt;
    for (wchar_t& c : fault.mode)
        c = towlower(c);

    std::wstring onlyMethod;
    if (queryString(sandbox, L"FaultMethod", onlyMethod) == Lookup::Found && !onlyMethod.empty() &&
        _wcsicmp(onlyMethod.c_str(), methodName) != 0)
        return std::nullopt;

    {
        std::lock_guard<std::mutex> lock(faultCountLock);
        DWORD count = 0;
        if (queryDword(sandbox, L"FaultCount", count) == Lookup::Found) {
            if (count == 0)
                return std::nullopt;
            const UniqueRegKey writable = openKey(HKEY_LOCAL_MACHINE, sandboxKeyPath, KEY_SET_VALUE);
            --count;
            if (writable)
                RegSetValueExW(writable.get(), L"FaultCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                               sizeof(count));
        }
    }

    if (queryString(sandbox, L"FaultText", fault.text) != Lookup::Found)
        fault.text = L"Sandbox fault";
    if (queryDword(sandbox, L"FaultDelayMs", fault.delayMs) != Lookup::Found)
        fault.delayMs = defaultFaultDelayMs;
    return fault;
}

// The looked-up answer before any reshaping: a text or a flag, or the error reply's text.
struct Answer {
    bool failed = false;
    std::wstring text;
    uint32_t flag = 0;
};

Answer fail(const std::wstring& text)
{
    Answer a;
    a.failed = true;
    a.text = text;
    return a;
}

Answer lookUpString(HKEY sandbox, const wchar_t* subkey, const wchar_t* kind, const std::wstring& name)
{
    const UniqueRegKey key = openKey(sandbox, subkey);
    Answer a;
    switch (queryString(key.get(), name, a.text)) {
    case Lookup::Found:
        return a;
    case Lookup::WrongType:
        return fail(std::wstring(L"Value of ") + kind + L" '" + name + L"' is not a string");
    case Lookup::Missing:
        break;
    }
    return fail(std::wstring(L"Unknown ") + kind + L" '" + name + L"'");
}

// Groups\<group> holds one REG_DWORD per user; a group name with '\' (DOMAIN\Group) is a
// nested key path. A user without a value in an existing group is not a member.
Answer lookUpMembership(HKEY sandbox, const std::wstring& group, const std::wstring& user)
{
    const UniqueRegKey groups = openKey(sandbox, L"Groups");
    const UniqueRegKey key = group.empty() || !groups ? UniqueRegKey() : openKey(groups.get(), group);
    if (!key)
        return fail(L"Unknown group '" + group + L"'");
    Answer a;
    DWORD value = 0;
    switch (queryDword(key.get(), user, value)) {
    case Lookup::Found:
        a.flag = value;
        return a;
    case Lookup::WrongType:
        return fail(L"Membership of '" + user + L"' in group '" + group + L"' is not a REG_DWORD value");
    case Lookup::Missing:
        break;
    }
    return a;
}

std::string encodeString(const std::wstring& value, const std::wstring& mode)
{
    std::string out;
    if (mode == L"narrow")
        putStringItem(out, 1, ansiBytes(value));
    else if (mode == L"charsize3")
        putStringItem(out, 3, utf16Bytes(value));
    else if (mode == L"truncated")
        putStringItem(out, 2, utf16Bytes(value), 16);
    else
        putStringItem(out, 2, utf16Bytes(value));
    return out;
}

std::string encodeFlag(uint32_t flag, const std::wstring& mode)
{
    std::string out;
    putU32(out, mode == L"block8" ? 8 : 4);
    putU32(out, flag);
    if (mode == L"block8")
        putU32(out, 0);
    else if (mode == L"truncated")
        out.resize(out.size() - 2);
    return out;
}

// FaultBytes (REG_BINARY) as pipe messages, each a 4-byte little-endian size and that
// many bytes.
std::vector<std::string> rawMessages(HKEY sandbox)
{
    std::string bytes(64 * 1024, '\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(bytes.size());
    if (RegQueryValueExW(sandbox, L"FaultBytes", nullptr, &type, reinterpret_cast<BYTE*>(&bytes[0]), &size) !=
            ERROR_SUCCESS ||
        type != REG_BINARY)
        size = 0;
    bytes.resize(size);
    std::vector<std::string> messages;
    Reader reader(bytes);
    while (!reader.atEnd()) {
        const uint32_t length = reader.u32();
        messages.push_back(reader.bytes(length, L"FaultBytes"));
    }
    return messages;
}

bool knownFault(const std::wstring& mode)
{
    static const wchar_t* const modes[] = {L"error", L"empty", L"truncated", L"charsize3", L"block8",
                                           L"narrow", L"close", L"slow",      L"raw",       L"level"};
    for (const wchar_t* m : modes)
        if (mode == m)
            return true;
    return false;
}

// The level at which this server may act as the client on `pipe` as a number ("1" for
// SecurityIdentification), or the call that failed and its error.
std::wstring impersonationLevel(HANDLE pipe)
{
    if (!ImpersonateNamedPipeClient(pipe))
        return L"ImpersonateNamedPipeClient failed with " + std::to_wstring(GetLastError());
    UniqueHandle token;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    std::wstring text;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()))
        text = L"OpenThreadToken failed with " + std::to_wstring(GetLastError());
    else if (!GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof(level), &size))
        text = L"GetTokenInformation failed with " + std::to_wstring(GetLastError());
    else
        text = std::to_wstring(static_cast<int>(level));
    RevertToSelf();
    return text;
}

Reply answerRequest(Reader& reader, HANDLE pipe)
{
    if (reader.u32() != blockSize16)
        throw BadRequest{L"the method identifier block is not 16 bytes"};
    const std::string id = reader.bytes(blockSize16, L"method identifier");
    const MethodEntry* entry = nullptr;
    for (const MethodEntry& m : methods)
        if (std::memcmp(m.id, id.data(), blockSize16) == 0)
            entry = &m;

    Reply reply;
    if (entry == nullptr) {
        reply.body = errorReply(L"Unknown method " + methodText(id));
        return reply;
    }

    std::wstring first = reader.stringItem(entry->method == Method::IsGroupMemberUser ? L"group name" : L"name");
    std::wstring user;
    if (entry->method == Method::IsGroupMemberUser)
        user = reader.stringItem(L"user name");

    const UniqueRegKey sandbox = openKey(HKEY_LOCAL_MACHINE, sandboxKeyPath);
    const std::optional<Fault> fault = takeFault(sandbox.get(), entry->name);
    const std::wstring mode = fault ? fault->mode : std::wstring();
    if (fault && !knownFault(mode)) {
        reply.body = errorReply(L"Unknown sandbox fault '" + mode + L"'");
        return reply;
    }
    if (mode == L"raw")
        reply.messages = rawMessages(sandbox.get());
    if (mode == L"close" || (mode == L"raw" && reply.messages.empty())) {
        reply.action = Reply::Action::Close;
        return reply;
    }
    if (mode == L"raw")
        return reply;
    if (mode == L"empty")
        return reply;
    if (mode == L"error") {
        reply.body = errorReply(fault->text);
        return reply;
    }
    if (mode == L"slow")
        reply.delayMs = fault->delayMs;
    if (mode == L"level" && entry->method == Method::GetString) {
        reply.body = encodeString(impersonationLevel(pipe), mode);
        return reply;
    }

    Answer answer;
    switch (entry->method) {
    case Method::GetPassword:
        answer = lookUpString(sandbox.get(), L"Passwords", L"password", first);
        break;
    case Method::GetString:
        answer = lookUpString(sandbox.get(), L"Strings", L"setting", first);
        break;
    case Method::IsGroupMemberUser:
        answer = lookUpMembership(sandbox.get(), first, user);
        break;
    }
    if (answer.failed)
        reply.body = errorReply(answer.text);
    else if (entry->method == Method::IsGroupMemberUser)
        reply.body = encodeFlag(answer.flag, mode);
    else
        reply.body = encodeString(answer.text, mode);
    return reply;
}

} // namespace

Reply respond(const std::string& request, HANDLE pipe)
{
    Reader reader(request);
    try {
        return answerRequest(reader, pipe);
    } catch (const BadRequest& bad) {
        Reply reply;
        reply.body = errorReply(L"Malformed request: " + bad.text);
        return reply;
    }
}

} // namespace tarvosrv
