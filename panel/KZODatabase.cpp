#include "panel/KZODatabase.h"

#include "panel/MySQLDatabaseProvider.h"
#include "panel/Settings.h"
#include "runtime/Config.h"
#include "runtime/LogManager.h"

KZODatabase::KZODatabase(bool autoConnect)
    : provider_(CreateDatabaseProvider(getConfigValue(L"TARVO_DATABASE_PROVIDER_NAME", L"MySQL")))
{
    if (autoConnect)
        connect();
}

void KZODatabase::connect()
{
    if (!isFullInstallation())
        throw vexception(L"Unable to connect to Tarvo database on service node", WL_CONTEXT());
    if (provider_->isConnected())
        return;
    std::wstring host, dbName, login, password, socket;
    int port = 0;
    resolveConnectParams(host, dbName, login, password, port, socket);
    provider_->connect(host, dbName, login, password, port, socket);
}

void KZODatabase::execute(const std::wstring& statement)
{
    LogManager::instance().log(LOG_INFO, L"SQL: %s", MySQLDatabaseProvider::removePasswordFromSql(statement));
    provider_->execute(statement);
}
