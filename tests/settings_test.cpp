#include "panel/Settings.h"
#include "runtime/Path.h"
#include "support/Capture.h"
#include "support/SandboxConsole.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

namespace {

using Resolved = std::tuple<std::wstring, std::wstring, std::wstring, std::wstring, int, std::wstring>;

// host, login, database name, password, port, socket, with just the given TARVO_DB_<name>
// variables set and the others empty, which counts as unset; host starts as given.
Resolved resolve(std::map<std::wstring, std::wstring> variables = {}, std::wstring host = L"")
{
    for (const std::wstring name : {L"HOST", L"LOGIN", L"NAME", L"PASSWD", L"PORT", L"SOCK"})
        SetEnvironmentVariableW((L"TARVO_DB_" + name).c_str(), variables[name].c_str());
    std::wstring dbName, login, password, socket;
    int port = -1;
    resolveConnectParams(host, dbName, login, password, port, socket);
    return {host, login, dbName, password, port, socket};
}

// Service values are used and the environment overrides each; a failed answer gives the
// default. The product root is kept after its first answer (a changed value and even a
// stopped service go unnoticed); the web-space root is asked anew.
TEST(Settings, ServiceValuesEnvironmentAndDefaults)
{
    testbed::SandboxConsole sandbox;
    for (const auto& [path, name, value] : {std::tuple(L"\\Strings", L"MySQL_DB_HOST", L"db.panel"),
             {L"\\Strings", L"TARVO_DATABASE_LOGIN", L"panel"}, {L"\\Strings", L"mySQLDBName", L"panel_db"},
             {L"\\Strings", L"MySQL_DB_PORT", L"3310"}, {L"\\Strings", L"HTTPD_VHOSTS_D", L"D:\\vhosts"},
             {L"\\Passwords", L"TARVO_DATABASE_PASSWORD", L"service secret"}})
        sandbox.set(path, name, value);
    EXPECT_EQ(Resolved(L"db.panel", L"panel", L"panel_db", L"service secret", 3310, L""), resolve());
    EXPECT_EQ(L"caller.host", std::get<0>(resolve({}, L"caller.host")));
    EXPECT_EQ(L"MySQL", getConfigValue(L"TARVO_DATABASE_PROVIDER_NAME", L"MySQL")); // error reply
    EXPECT_EQ(L"Unknown setting 'PRODUCT_ROOT_D'", testbed::thrown([] { getProductRootDir(); })->message());
    sandbox.set(L"\\Strings", L"PRODUCT_ROOT_D", L"C:\\Program Files (x86)\\Tarvo\\");
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\", getProductRootDir());
    EXPECT_EQ(L"D:\\vhosts", getVhostsDir());
    sandbox.set(L"\\Strings", L"PRODUCT_ROOT_D", L"E:\\elsewhere");

    EXPECT_EQ(Resolved(L"env.host", L"env_login", L"env_db", L"env secret", 4406, L"\\\\.\\pipe\\mysql"),
              resolve({{L"HOST", L"env.host"}, {L"LOGIN", L"env_login"}, {L"NAME", L"env_db"},
                       {L"PASSWD", L"env secret"}, {L"PORT", L"  4406xyz"}, {L"SOCK", L"\\\\.\\pipe\\mysql"}}));
    for (const auto& [text, port] : {std::pair(L"no digits", 0), {L"-12", -12}, {L"", 3310}})
        EXPECT_EQ(port, std::get<4>(resolve({{L"PORT", text}})));

    sandbox.stop();
    VirtualClock clock; // the client's attempts to connect pass at once
    const std::wstring error = testbed::thrownText([] { resolve(); });
    EXPECT_NE(std::wstring::npos, error.find(L"Unable to connect to pipe")) << error;
    EXPECT_NE(std::wstring::npos, error.find(L"at Unable to call getPassword('TARVO_DATABASE_PASSWORD')(")) << error;
    EXPECT_EQ(Resolved(L"localhost", L"admin", L"kzo", L"from the environment", 8306, L""),
              resolve({{L"PASSWD", L"from the environment"}}));
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\admin\\bin", getAdminBinDir());
    // Paths join with one separator.
    EXPECT_EQ(L"C:\\Tarvo\\admin\\bin", joinPath(L"C:\\Tarvo\\\\", L"\\admin\\bin"));
    EXPECT_EQ(L"admin\\bin", joinPath(L"", L"admin\\bin"));
    EXPECT_EQ(L"C:\\Tarvo", joinPath(L"C:\\Tarvo", L""));
    EXPECT_TRUE(testbed::thrown([] { getVhostsDir(); })); // asked anew
}

} // namespace
