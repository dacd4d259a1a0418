#include "panel/Settings.h"
#include "runtime/Exception.h"
#include "runtime/Path.h"
#include "support/Capture.h"
#include "support/SandboxConsole.h"
#include "support/VirtualClock.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

namespace {

using Resolved = std::tuple<std::wstring, std::wstring, std::wstring, std::wstring, int, std::wstring>;

// host, login, database name, password, port, socket; host starts as given.
Resolved resolve(std::wstring host = L"")
{
    std::wstring dbName, login, password, socket;
    int port = -1;
    resolveConnectParams(host, dbName, login, password, port, socket);
    return {host, login, dbName, password, port, socket};
}

// Each test starts without the TARVO_DB_* variables and with the stand-in serving.
class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() { clearEnvironment(); }
    ~SettingsTest() override { clearEnvironment(); }
    static void clearEnvironment()
    {
        for (const wchar_t* name : {L"TARVO_DB_HOST", L"TARVO_DB_LOGIN", L"TARVO_DB_NAME", L"TARVO_DB_PASSWD",
                                    L"TARVO_DB_PORT", L"TARVO_DB_SOCK"})
            SetEnvironmentVariableW(name, nullptr);
    }
    testbed::SandboxConsole sandbox;
};

TEST(Path, JoinsWithOneSeparator)
{
    EXPECT_EQ(L"C:\\Tarvo\\admin\\bin", joinPath(L"C:\\Tarvo", L"admin\\bin"));
    EXPECT_EQ(L"C:\\Tarvo\\admin\\bin", joinPath(L"C:\\Tarvo\\\\", L"\\admin\\bin"));
    EXPECT_EQ(L"admin\\bin", joinPath(L"", L"admin\\bin"));
    EXPECT_EQ(L"C:\\Tarvo", joinPath(L"C:\\Tarvo", L""));
}

TEST_F(SettingsTest, ServiceValuesAreUsedTheEnvironmentOverridesEachAndAStoppedServiceGivesTheDefaults)
{
    const std::pair<const wchar_t*, const wchar_t*> values[] = {{L"MySQL_DB_HOST", L"db.panel"},
        {L"TARVO_DATABASE_LOGIN", L"panel"}, {L"mySQLDBName", L"panel_db"}, {L"MySQL_DB_PORT", L"3310"}};
    for (const auto& [name, value] : values)
        sandbox.set(L"\\Strings", name, value);
    sandbox.set(L"\\Passwords", L"TARVO_DATABASE_PASSWORD", L"service secret");
    EXPECT_EQ(Resolved(L"db.panel", L"panel", L"panel_db", L"service secret", 3310, L""), resolve());
    EXPECT_EQ(L"caller.host", std::get<0>(resolve(L"caller.host")));

    const std::pair<const wchar_t*, const wchar_t*> variables[] = {{L"TARVO_DB_HOST", L"env.host"},
        {L"TARVO_DB_LOGIN", L"env_login"}, {L"TARVO_DB_NAME", L"env_db"}, {L"TARVO_DB_PASSWD", L"env secret"},
        {L"TARVO_DB_PORT", L"  4406xyz"}, {L"TARVO_DB_SOCK", L"\\\\.\\pipe\\mysql"}};
    for (const auto& [name, value] : variables)
        SetEnvironmentVariableW(name, value);
    EXPECT_EQ(Resolved(L"env.host", L"env_login", L"env_db", L"env secret", 4406, L"\\\\.\\pipe\\mysql"), resolve());
    for (const auto& [text, port] : {std::pair<const wchar_t*, int>{L"no digits", 0}, {L"-12", -12}, {L"", 3310}}) {
        SetEnvironmentVariableW(L"TARVO_DB_PORT", text); // an empty variable counts as absent
        EXPECT_EQ(port, std::get<4>(resolve()));
    }

    sandbox.stop();
    VirtualClock clock; // the client's attempts to connect pass at once
    clearEnvironment();
    std::optional<vexception> error = testbed::thrown([] { resolve(); });
    ASSERT_TRUE(error);
    EXPECT_NE(std::wstring::npos, error->message().find(L"Unable to connect to pipe")) << error->fullText();
    EXPECT_EQ(L"Unable to call getPassword('TARVO_DATABASE_PASSWORD')", error->contexts().back().message);
    SetEnvironmentVariableW(L"TARVO_DB_PASSWD", L"from the environment");
    EXPECT_EQ(Resolved(L"localhost", L"admin", L"kzo", L"from the environment", 8306, L""), resolve());
}

TEST_F(SettingsTest, ConfigValueFallsBackOnAnyFailure)
{
    sandbox.set(L"\\Strings", L"MySQL_DB_HOST", L"db.panel");
    EXPECT_EQ(L"db.panel", getConfigValue(L"MySQL_DB_HOST", L"localhost"));
    EXPECT_EQ(L"MySQL", getConfigValue(L"TARVO_DATABASE_PROVIDER_NAME", L"MySQL")); // error reply
    for (const wchar_t* fault : {L"charsize3", L"empty"}) {
        sandbox.set(L"", L"Fault", fault);
        EXPECT_EQ(L"localhost", getConfigValue(L"MySQL_DB_HOST", L"localhost")) << fault;
    }
}

// Later calls ask nothing: a changed value and even a stopped service go unnoticed, while
// the web-space root is asked for every time.
TEST_F(SettingsTest, ProductRootIsKeptAfterItsFirstAnswerOnly)
{
    sandbox.set(L"\\Strings", L"HTTPD_VHOSTS_D", L"D:\\vhosts");
    const std::optional<vexception> error = testbed::thrown([] { getProductRootDir(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(L"Unknown setting 'PRODUCT_ROOT_D'", error->message());
    sandbox.set(L"\\Strings", L"PRODUCT_ROOT_D", L"C:\\Program Files (x86)\\Tarvo\\");
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\", getProductRootDir());
    EXPECT_EQ(L"D:\\vhosts", getVhostsDir());
    sandbox.set(L"\\Strings", L"PRODUCT_ROOT_D", L"E:\\elsewhere");
    sandbox.set(L"\\Strings", L"HTTPD_VHOSTS_D", L"E:\\vhosts");
    EXPECT_EQ(L"E:\\vhosts", getVhostsDir());
    sandbox.stop();
    VirtualClock clock;
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\admin\\bin", getAdminBinDir());
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\admin\\bin64", getAdminBin64Dir());
    EXPECT_TRUE(testbed::thrown([] { getVhostsDir(); }));
}

} // namespace
