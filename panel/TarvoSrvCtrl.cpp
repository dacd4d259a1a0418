#include "panel/TarvoSrvCtrl.h"

#include "runtime/Guard.h"
#include "runtime/LogManager.h"
#include "services/Service.h"

TarvoSrvCtrl::TarvoSrvCtrl()
{
    if (service::isActive(L"tarvosrv"))
        return;
    service::startStopService(L"tarvosrv", true, nullptr, nullptr);
    started_ = true;
}

TarvoSrvCtrl::~TarvoSrvCtrl()
{
    if (started_)
        logGuarded(LOG_WARNING, {"TarvoSrvCtrl::~TarvoSrvCtrl", __LINE__},
                   [] { service::startStopService(L"tarvosrv", false, nullptr, nullptr); }, L"Stop tarvosrv");
}
