#pragma once
// The monitored services as the dialog's tree shows them: groups made from the package
// catalogue, each with the installed services that its packages assign to it.
#include "services/Service.h"

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct ServiceGroup;

struct MonitoredService {
    std::wstring name;        // the Service Control Manager's key name
    std::wstring displayName; // the node text
    service::EffectiveStatus status = service::statusDisabled; // the node image; unreadable: disabled
    bool checked = false;
    HTREEITEM treeItem = nullptr;
    ServiceGroup* group = nullptr;
};

struct ServiceGroup {
    ServiceGroup(std::wstring name, UINT iconId) : name(std::move(name)), iconId(iconId) {}

    // Takes the service and makes this group its owner.
    void add(std::unique_ptr<MonitoredService> service);

    std::wstring name; // the node text, and the key of remembered check marks
    UINT iconId;       // resource id of the group's picture
    bool checked = false;
    HTREEITEM treeItem = nullptr;
    std::vector<std::unique_ptr<MonitoredService>> services;
};

using ServiceGroupList = std::vector<std::unique_ptr<ServiceGroup>>;

namespace WardenLight {

// Reads the groups afresh from the catalogue, with each service's display name and state:
// "Tarvo Run-Time" and "Mail Server" first, then the packages' own groups in the order first
// met, "Other" last. Touches no window, so the operation worker can gather what the dialog
// then shows. A package that fails is logged and skipped; an unreadable catalogue raises.
// panelState, when given, receives the state of the management service from the same listing
// (as queryPanelServiceState tells it: Disabled when it is not installed).
ServiceGroupList AllServices(unsigned* panelState = nullptr);

} // namespace WardenLight
