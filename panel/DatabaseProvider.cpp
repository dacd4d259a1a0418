#include "panel/DatabaseProvider.h"

#include "panel/MySQLDatabaseProvider.h"

std::unique_ptr<IDatabaseProvider> CreateDatabaseProvider(const std::wstring& name)
{
    if (name == L"MySQL" || name.empty())
        return std::make_unique<MySQLDatabaseProvider>();
    throw vexception(L"Unable to build database provider " + name, WL_CONTEXT());
}
