#include "panel/Settings.h"

#include "panel/TarvoSrvClient.h"
#include "runtime/Path.h"

#include <windows.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

// The variable's value; nothing when it is unset or empty.
std::optional<std::wstring> environmentValue(const wchar_t* name)
{
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size <= 1)
        return std::nullopt;
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), size);
    if (length == 0 || length >= size)
        return std::nullopt;
    return std::wstring(buffer.data(), length);
}

std::wstring environmentOr(const wchar_t* variable, const wchar_t* setting, const wchar_t* defaultValue)
{
    if (auto value = environmentValue(variable))
        return *value;
    return getConfigValue(setting, defaultValue);
}

} // namespace

std::wstring getConfigValue(const std::wstring& name, const std::wstring& defaultValue)
{
    try {
        return TarvoSrvClient::getInstance().getString(name);
    } catch (...) {
        return defaultValue;
    }
}

std::wstring getProductRootDir()
{
    // An initialiser that throws leaves the value uninitialised, so the next call asks again.
    static const std::wstring root = TarvoSrvClient::getInstance().getString(L"PRODUCT_ROOT_D");
    return root;
}

std::wstring getAdminBinDir()
{
    return joinPath(getProductRootDir(), L"admin\\bin");
}

std::wstring getAdminBin64Dir()
{
    return joinPath(getProductRootDir(), L"admin\\bin64");
}

std::wstring getVhostsDir()
{
    return TarvoSrvClient::getInstance().getString(L"HTTPD_VHOSTS_D");
}

void resolveConnectParams(std::wstring& host, std::wstring& dbName, std::wstring& login, std::wstring& password,
                          int& port, std::wstring& socket)
{
    if (host.empty())
        host = environmentOr(L"TARVO_DB_HOST", L"MySQL_DB_HOST", L"localhost");
    login = environmentOr(L"TARVO_DB_LOGIN", L"TARVO_DATABASE_LOGIN", L"admin");
    dbName = environmentOr(L"TARVO_DB_NAME", L"mySQLDBName", L"kzo");
    if (auto value = environmentValue(L"TARVO_DB_PASSWD"))
        password = *value;
    else
        password = TarvoSrvClient::getInstance().getPassword(L"TARVO_DATABASE_PASSWORD");
    port = static_cast<int>(_wtol(environmentOr(L"TARVO_DB_PORT", L"MySQL_DB_PORT", L"8306").c_str()));
    if (auto value = environmentValue(L"TARVO_DB_SOCK"))
        socket = *value;
}
