#pragma once
// The panel's own database, reached with the connection parameters the panel resolves.
#include "panel/DatabaseProvider.h"

#include <memory>
#include <string>

class KZODatabase {
public:
    // The provider named by "TARVO_DATABASE_PROVIDER_NAME"; connected when autoConnect is set.
    explicit KZODatabase(bool autoConnect);

    // Raises on a service node, which has no panel database; does nothing when connected.
    void connect();
    void execute(const std::wstring& statement);

    IDatabaseProvider& provider() { return *provider_; }

private:
    std::unique_ptr<IDatabaseProvider> provider_;
};
