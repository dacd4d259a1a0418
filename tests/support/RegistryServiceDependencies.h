#pragma once

#include "services/ServiceApi.h"

// While alive, the service library learns dependencies and dependents from the registry, as
// Windows' Service Control Manager answers them (Wine's reports none): the configuration
// lists DependOnService and then DependOnGroup ("+"-prefixed) of the service's key under
// HKLM\SYSTEM\CurrentControlSet\Services; the dependents are all services that depend on it
// directly or through others, each after its own dependents, filtered by state. Buffers
// behave as Windows': 122 or 234 with the size needed when the caller's is too small.
class RegistryServiceDependencies {
public:
    RegistryServiceDependencies();
    ~RegistryServiceDependencies();

private:
    service::ServiceApi saved_;
};
