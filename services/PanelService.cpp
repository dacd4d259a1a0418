#include "services/PanelService.h"

#include "runtime/Exception.h"
#include "services/Service.h"

unsigned queryPanelServiceState()
{
    try {
        return static_cast<unsigned>(service::effStatus(panelServiceName));
    } catch (const vexception&) {
        return service::statusDisabled;
    }
}

std::wstring stateWord(unsigned state)
{
    switch (state) {
    case service::statusStarted:
        return L"Started";
    case service::statusStopped:
        return L"Stopped";
    case service::statusDisabled:
        return L"Disabled";
    default:
        return L"";
    }
}
