#include "services/ServiceApi.h"

namespace service {

const ServiceApi& platformServiceApi()
{
    static const ServiceApi platform = {
        &GetTickCount, &SleepEx, &OpenServiceW, &QueryServiceConfigW, &EnumDependentServicesW,
    };
    return platform;
}

ServiceApi& serviceApi()
{
    static ServiceApi current = platformServiceApi();
    return current;
}

} // namespace service
