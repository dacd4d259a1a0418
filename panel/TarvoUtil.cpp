#include "panel/TarvoUtil.h"

#include "panel/Settings.h"
#include "runtime/ExecUtil.h"
#include "runtime/Guard.h"
#include "runtime/LogConfig.h"
#include "runtime/LogFile.h"
#include "runtime/LogManager.h"
#include "runtime/Path.h"

#include <vector>

namespace {

bool isBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\v';
}

// The tokens of a command line: white space separates them outside double quotes; 2n
// backslashes before a quote stand for n and the quote groups, 2n+1 for n and a literal
// quote; other backslashes are themselves.
std::vector<std::wstring> splitArguments(const std::wstring& text)
{
    std::vector<std::wstring> tokens;
    std::wstring token;
    bool inToken = false;
    bool quoted = false;
    for (size_t i = 0; i < text.size();) {
        const wchar_t c = text[i];
        if (!quoted && isBlank(c)) {
            if (inToken)
                tokens.push_back(std::move(token));
            token.clear();
            inToken = false;
            ++i;
            continue;
        }
        inToken = true;
        if (c == L'\\') {
            size_t count = 0;
            for (; i < text.size() && text[i] == L'\\'; ++i)
                ++count;
            const bool beforeQuote = i < text.size() && text[i] == L'"';
            token.append(beforeQuote ? count / 2 : count, L'\\');
            if (beforeQuote && count % 2 == 1) {
                token += L'"';
                ++i;
            }
        } else if (c == L'"') {
            quoted = !quoted;
            ++i;
        } else {
            token += c;
            ++i;
        }
    }
    if (inToken)
        tokens.push_back(std::move(token));
    return tokens;
}

bool isPasswordKey(std::wstring key)
{
    for (const wchar_t* prefix : {L"--", L"-", L"/"}) {
        if (key.rfind(prefix, 0) == 0) {
            key.erase(0, wcslen(prefix));
            break;
        }
    }
    return _wcsicmp(key.c_str(), L"password") == 0 || _wcsicmp(key.c_str(), L"pwd") == 0;
}

} // namespace

std::wstring quoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\r\v\"&<>()[]{}^=;!'+,`~|") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        for (; i < argument.size() && argument[i] == L'\\'; ++i)
            ++backslashes;
        if (i == argument.size()) {
            quoted.append(2 * backslashes, L'\\');
            break;
        }
        if (argument[i] == L'"')
            quoted.append(2 * backslashes + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        quoted += argument[i];
    }
    return quoted + L"\"";
}

std::wstring maskArguments(const std::wstring& arguments)
{
    std::wstring masked;
    for (const std::wstring& token : splitArguments(arguments)) {
        const size_t equals = token.find(L'=');
        if (equals != std::wstring::npos && isPasswordKey(token.substr(0, equals))) {
            masked += quoteArgument(token.substr(0, equals));
            for (size_t at = equals; at != std::wstring::npos; at = token.find(L'=', at + 1))
                masked += L"=*";
        } else {
            masked += quoteArgument(token);
        }
        masked += L' ';
    }
    return masked;
}

std::wstring findUtilPath(const std::wstring& name, bool use64)
{
    const bool hasExtension = name.size() >= 4 && CompareStringOrdinal(name.c_str() + name.size() - 4, 4, L".exe", 4,
                                                                       TRUE) == CSTR_EQUAL;
    const std::wstring path = joinPath(use64 ? getAdminBin64Dir() : getAdminBinDir(),
                                       hasExtension ? name : name + L".exe");
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw vexception(L"Unable to find path of '" + name + L"'", WL_CONTEXT());
    return path;
}

void writeToUtilExecLog(bool isStart, const std::wstring& path, const std::wstring& arguments, DWORD elapsedMs)
{
    logGuarded(LOG_WARNING, {"writeToUtilExecLog", __LINE__}, [&] {
        // Read anew for every record, so the switch takes effect without a restart.
        LogFile log(L"util_exec", 0);
        if (!log.enabled())
            return;
        log.write(formatString(L"execUtil(%s)\t%s\t%s\t%s\t%s\n", isStart ? L"Start" : L"End", modulePath(), path,
                               maskArguments(arguments), isStart ? std::wstring() : std::to_wstring(elapsedMs)));
    }, L"Unabale to call writeToUtilExecLog()");
}

void startTarvoUtilInternal(const std::wstring& name, const std::wstring& arguments, const std::string* input,
                            vexecutil& util, bool use64)
{
    const std::wstring masked = maskArguments(arguments);
    guarded({"startTarvoUtilInternal", __LINE__, "", GuardSite::tagIfError}, [&] {
        util.path = findUtilPath(name, use64);
        util.arguments = arguments;
        util.shownArguments = masked;
        util.captureStdout = true;
        util.stderrToStdout = true;
        util.noWindow = true;
        util.feedStdin = input != nullptr;
        guarded({"startTarvoUtilInternal", __LINE__, "Start command", GuardSite::tagIfError}, [&] {
            writeToUtilExecLog(true, util.path, arguments, 0);
            LogManager::instance().log(LOG_INFO, L"Execute %s %s", util.path, masked);
            util.start();
            if (input)
                util.writeInput(*input);
        }, L"Unabale to start command: %s %s", util.path, masked);
    }, L"Unable to call startTarvoUtilInternal(%s, %s)", name, masked);
}

int execTarvoUtil(const std::wstring& name, const std::wstring& arguments, std::wstring* output, bool throwOnError,
                  const std::string* input, bool use64, DWORD timeout)
{
    const std::wstring masked = maskArguments(arguments);
    return guarded({"execTarvoUtil", __LINE__}, [&] {
        if (output)
            output->clear();
        vexecutil util;
        return guarded({"execTarvoUtil", __LINE__, "Execute command"}, [&] {
            int result = -1;
            try {
                const DWORD started = GetTickCount();
                startTarvoUtilInternal(name, arguments, input, util, use64);
                std::string text;
                if (timeout == INFINITE) {
                    text = util.readOutput();
                    if (output)
                        *output = wstr(text, 0);
                } else {
                    util.closeOutput();
                }
                if (!util.waitForExit(timeout))
                    throw vexception(L"Execute " + name + L" " + masked + L" failed due to wait timeout: " +
                                         std::to_wstring(timeout),
                                     WL_CONTEXT());
                const DWORD code = util.exitCode();
                if (code == 0) {
                    writeToUtilExecLog(false, util.path, arguments, GetTickCount() - started);
                    return 0;
                }
                result = static_cast<int>(code);
                throw vexception(L"Execute " + name + L" " + masked + L" failed with error code " +
                                     std::to_wstring(result) + L": " + wstr(text, 0),
                                 WL_CONTEXT());
            } catch (...) {
                if (throwOnError)
                    throw;
                return result;
            }
        }, L"Unable to execute command: %s %s", util.path, masked);
    }, L"Unable to call execTarvoUtil(%s %s)", name, masked);
}
