#include "runtime/Config.h"
#include "panel/Settings.h"
#include "panel/TarvoSrvClient.h"
#include "runtime/Exception.h"
#include "runtime/Path.h"

#include "support/RegistryValues.h"
#include "support/SandboxConsole.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace {

const wchar_t* const variables[] = {L"TARVO_DB_HOST", L"TARVO_DB_LOGIN", L"TARVO_DB_NAME",
                                    L"TARVO_DB_PASSWD", L"TARVO_DB_PORT", L"TARVO_DB_SOCK"};

std::wstring sandboxPath(const wchar_t* sub)
{
    return std::wstring(testbed::sandboxKey) + sub;
}

struct Params {
    std::wstring host, dbName, login, password, socket;
    int port = -1;

    Params& resolve()
    {
        resolveConnectParams(host, dbName, login, password, port, socket);
        return *this;
    }
    auto all() const { return std::make_tuple(host, login, dbName, password, port, socket); }
};

using Resolved = std::tuple<std::wstring, std::wstring, std::wstring, std::wstring, int, std::wstring>;

// Each test starts without the TARVO_DB_* variables, on a pipe name of its own, and with one
// connect attempt per lookup so a stopped service costs half a second, not five.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const wchar_t* name : variables)
            SetEnvironmentVariableW(name, nullptr);
        pipeValue_.setString(testbed::uniqueName(L"kzosettings"));
        tries_.setDword(1);
        for (int i = 0; i < 16 && getPipeConnectTryCount(10) != 1; ++i) {
        }
        ASSERT_EQ(1, getPipeConnectTryCount(10));
        probe_.setString(L"ready");
    }

    void TearDown() override
    {
        sandbox_.reset();
        for (const wchar_t* name : variables)
            SetEnvironmentVariableW(name, nullptr);
        // Removing the value would leave the last count in use: ask for the default first.
        tries_.setDword(0);
        for (int i = 0; i < 16 && getPipeConnectTryCount(10) != 10; ++i) {
        }
    }

    // Starts the stand-in service and brings the process-wide client over to it.
    void startService()
    {
        sandbox_ = std::make_unique<testbed::SandboxConsole>();
        for (int attempt = 0; attempt < 3; ++attempt)
            if (getConfigValue(L"probe", L"") == L"ready")
                return;
        FAIL() << "the client does not reach the service";
    }

    // Stops it; the client notices on its next exchange.
    void stopService() { sandbox_.reset(); }

    testreg::ScopedValue pipeValue_{CONFIG_ROOT_KEY, L"kzopipe"};
    testreg::ScopedValue tries_{CONFIG_ROOT_KEY, L"PipeConnectTryCount"};
    testreg::ScopedValue probe_{sandboxPath(L"\\Strings"), L"probe"};
    testreg::ScopedValue host_{sandboxPath(L"\\Strings"), L"MySQL_DB_HOST"};
    testreg::ScopedValue login_{sandboxPath(L"\\Strings"), L"TARVO_DATABASE_LOGIN"};
    testreg::ScopedValue name_{sandboxPath(L"\\Strings"), L"mySQLDBName"};
    testreg::ScopedValue port_{sandboxPath(L"\\Strings"), L"MySQL_DB_PORT"};
    testreg::ScopedValue root_{sandboxPath(L"\\Strings"), L"PRODUCT_ROOT_D"};
    testreg::ScopedValue vhosts_{sandboxPath(L"\\Strings"), L"HTTPD_VHOSTS_D"};
    testreg::ScopedValue password_{sandboxPath(L"\\Passwords"), L"TARVO_DATABASE_PASSWORD"};
    testreg::ScopedValue fault_{testbed::sandboxKey, L"Fault"};
    std::unique_ptr<testbed::SandboxConsole> sandbox_;
};

} // namespace

TEST(Path, JoinsWithOneSeparator)
{
    for (const wchar_t* root : {L"C:\\Tarvo", L"C:\\Tarvo\\"})
        EXPECT_EQ(L"C:\\Tarvo\\admin\\bin", joinPath(root, L"admin\\bin"));
    EXPECT_EQ(L"C:\\Tarvo\\admin\\bin", joinPath(L"C:\\Tarvo\\\\", L"\\admin\\bin"));
    EXPECT_EQ(L"C:\\admin", joinPath(L"C:\\", L"admin"));
    EXPECT_EQ(L"admin\\bin", joinPath(L"", L"admin\\bin"));
    EXPECT_EQ(L"C:\\Tarvo", joinPath(L"C:\\Tarvo", L""));
}

TEST_F(SettingsTest, StoppedServiceGivesTheDefaultsThenFailsAtThePassword)
{
    startService(); // a connection that then breaks, as when the service goes down
    stopService();

    Params params;
    try {
        params.resolve();
        FAIL() << "resolved without a password";
    } catch (const vexception& error) {
        EXPECT_NE(std::wstring::npos, error.message().find(L"Unable to connect to pipe")) << error.fullText();
        EXPECT_EQ(L"Unable to call getPassword('TARVO_DATABASE_PASSWORD')", error.contexts().back().message);
    }
    EXPECT_EQ(L"localhost", params.host);
    EXPECT_EQ(L"admin", params.login);
    EXPECT_EQ(L"kzo", params.dbName);

    SetEnvironmentVariableW(L"TARVO_DB_PASSWD", L"from the environment");
    EXPECT_EQ(Resolved(L"localhost", L"admin", L"kzo", L"from the environment", 8306, L""), Params().resolve().all());
}

TEST_F(SettingsTest, ServiceValuesAreUsedAndTheEnvironmentOverridesEach)
{
    host_.setString(L"db.panel");
    login_.setString(L"panel");
    name_.setString(L"panel_db");
    port_.setString(L"3310");
    password_.setString(L"service secret");
    startService();

    EXPECT_EQ(Resolved(L"db.panel", L"panel", L"panel_db", L"service secret", 3310, L""), Params().resolve().all());

    SetEnvironmentVariableW(L"TARVO_DB_HOST", L"env.host");
    SetEnvironmentVariableW(L"TARVO_DB_LOGIN", L"env_login");
    SetEnvironmentVariableW(L"TARVO_DB_NAME", L"env_db");
    SetEnvironmentVariableW(L"TARVO_DB_PASSWD", L"env secret");
    SetEnvironmentVariableW(L"TARVO_DB_PORT", L"  4406xyz");
    SetEnvironmentVariableW(L"TARVO_DB_SOCK", L"\\\\.\\pipe\\mysql");
    EXPECT_EQ(Resolved(L"env.host", L"env_login", L"env_db", L"env secret", 4406, L"\\\\.\\pipe\\mysql"),
              Params().resolve().all());

    // a host the caller gives stays
    Params callerHost;
    callerHost.host = L"caller.host";
    EXPECT_EQ(L"caller.host", callerHost.resolve().host);

    for (const auto& [text, port] : {std::pair<const wchar_t*, int>{L"no digits", 0}, {L"-12", -12}}) {
        SetEnvironmentVariableW(L"TARVO_DB_PORT", text);
        EXPECT_EQ(port, Params().resolve().port);
    }

    // an empty variable counts as absent
    SetEnvironmentVariableW(L"TARVO_DB_PORT", L"");
    SetEnvironmentVariableW(L"TARVO_DB_HOST", L"");
    const Params empty = Params().resolve();
    EXPECT_EQ(3310, empty.port);
    EXPECT_EQ(L"db.panel", empty.host);
}

TEST_F(SettingsTest, ConfigValueFallsBackOnAnyFailure)
{
    host_.setString(L"db.panel");
    startService();
    EXPECT_EQ(L"db.panel", getConfigValue(L"MySQL_DB_HOST", L"localhost"));
    EXPECT_EQ(L"MySQL", getConfigValue(L"TARVO_DATABASE_PROVIDER_NAME", L"MySQL")); // error reply
    fault_.setString(L"charsize3");
    EXPECT_EQ(L"localhost", getConfigValue(L"MySQL_DB_HOST", L"localhost")); // malformed reply
    fault_.setString(L"empty");
    EXPECT_EQ(L"localhost", getConfigValue(L"MySQL_DB_HOST", L"localhost"));
}

TEST_F(SettingsTest, ProductRootIsKeptAfterItsFirstAnswerOnly)
{
    vhosts_.setString(L"D:\\vhosts");
    startService();

    // not provisioned yet: the failure names the setting, and nothing is kept
    try {
        getProductRootDir();
        FAIL() << "no failure";
    } catch (const vexception& error) {
        EXPECT_EQ(L"Unknown setting 'PRODUCT_ROOT_D'", error.message());
        EXPECT_EQ(L"Unable to call getString(PRODUCT_ROOT_D)", error.contexts().back().message);
    }

    root_.setString(L"C:\\Program Files (x86)\\Tarvo\\");
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\", getProductRootDir());
    EXPECT_EQ(L"D:\\vhosts", getVhostsDir());

    // Later calls ask nothing: a changed value and even a stopped service go unnoticed,
    // while the web-space root is asked for every time.
    root_.setString(L"E:\\elsewhere");
    vhosts_.setString(L"E:\\vhosts");
    EXPECT_EQ(L"E:\\vhosts", getVhostsDir());
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\", getProductRootDir());
    stopService();
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\admin\\bin", getAdminBinDir());
    EXPECT_EQ(L"C:\\Program Files (x86)\\Tarvo\\admin\\bin64", getAdminBin64Dir());
    EXPECT_THROW(getVhostsDir(), vexception);
}
