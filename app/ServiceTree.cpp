#include "app/ServiceTree.h"

#include "app/ControlDlg.h"
#include "app/Program.h"
#include "app/TrayIcon.h"
#include "resource.h"
#include "runtime/Guard.h"
#include "runtime/LogManager.h"
#include "services/PanelService.h"
#include "services/Service.h"
#include "services/VPackage.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

// Fixed images of the tree's image list, one per effective status; group pictures follow.
constexpr int fixedImageCount = 3;

// Check-box state images of a TVS_CHECKBOXES tree.
constexpr UINT uncheckedState = INDEXTOSTATEIMAGEMASK(1);
constexpr UINT checkedState = INDEXTOSTATEIMAGEMASK(2);

using GroupLookup = std::map<std::wstring, ServiceGroup*>;

std::unique_ptr<ServiceGroup> makeGroup(UINT nameId, UINT iconId)
{
    return std::make_unique<ServiceGroup>(loadResourceString(nameId), iconId);
}

std::unique_ptr<MonitoredService> makeService(const std::wstring& name, const service::ServiceState& state)
{
    auto service = std::make_unique<MonitoredService>();
    service->name = name;
    // A service without a display name shows its key name.
    service->displayName = state.displayName.empty() ? name : state.displayName;
    service->status = state.status;
    return service;
}

// The group that a "Group" value names; null for "Hidden". A new name makes a new group.
ServiceGroup* chooseGroup(const std::wstring& value, ServiceGroupList& groups, GroupLookup& lookup,
                          ServiceGroup& other)
{
    if (value.empty())
        return &other;
    const auto found = lookup.find(value);
    if (found != lookup.end())
        return found->second;
    if (value == L"Hidden")
        return nullptr;
    groups.push_back(std::make_unique<ServiceGroup>(value, IDI_GROUP_OTHER));
    return lookup[value] = groups.back().get();
}

// Reads the "Group" values that the listing does not hold yet into it; one that cannot be read
// raises.
void addPackageServices(ListedPackage& listed, const std::map<std::wstring, service::ServiceState>& states,
                        ServiceGroupList& groups, GroupLookup& lookup, ServiceGroup& other)
{
    for (ListedService& listedService : listed.services) {
        const service::ServiceState& state = states.at(listedService.name);
        if (!state.installed)
            continue;
        if (!listedService.group) {
            std::wstring value;
            VPackage::getServiceValue(listed.package, listed.component, listedService.name, L"Group", value);
            listedService.group = value;
        }
        if (ServiceGroup* group = chooseGroup(*listedService.group, groups, lookup, other))
            group->add(makeService(listedService.name, state));
    }
}

// Drawing of the tree stays off while it is rebuilt, and comes back on every path.
class RedrawOff {
public:
    explicit RedrawOff(HWND tree) : tree_(tree) { SendMessageW(tree_, WM_SETREDRAW, FALSE, 0); }
    ~RedrawOff() { SendMessageW(tree_, WM_SETREDRAW, TRUE, 0); }
    RedrawOff(const RedrawOff&) = delete;
    RedrawOff& operator=(const RedrawOff&) = delete;

private:
    HWND tree_;
};

} // namespace

void ServiceGroup::add(std::unique_ptr<MonitoredService> service)
{
    service->group = this;
    services.push_back(std::move(service));
}

ServiceGroupList WardenLight::AllServices(unsigned* panelState)
{
    ServiceGroupList groups;
    GroupLookup lookup;
    groups.push_back(makeGroup(IDS_GROUP_RUNTIME, IDI_GROUP_RUNTIME));
    lookup[L"Tarvo Run-Time"] = groups.back().get();
    groups.push_back(makeGroup(IDS_GROUP_MAIL, IDI_GROUP_MAIL));
    lookup[L"Mail Server"] = groups.back().get();
    std::unique_ptr<ServiceGroup> other = makeGroup(IDS_GROUP_OTHER, IDI_GROUP_OTHER);

    // The catalogue as kept from an earlier refresh, else read; the states of every listed
    // service come from one listing. A package that cannot be read is logged and skipped at
    // either step, and such a read is not kept.
    auto [listing, generation] = VPackage::keptListing();
    bool whole = true;
    if (!listing) {
        listing.emplace();
        std::vector<std::wstring> packages;
        VPackage::getPackages(packages);
        for (const std::wstring& package : packages) {
            bool servicesRead = true;
            const bool read = logGuarded(
                LOG_INFO, {"WardenLight::AllServices", __LINE__},
                [&] {
                    ListedPackage entry{package, VPackage::getComponent(package), {}};
                    std::vector<std::wstring> names;
                    if (!entry.component.empty())
                        servicesRead = VPackage::getServices(package, entry.component, names);
                    for (std::wstring& name : names)
                        entry.services.push_back({std::move(name), std::nullopt});
                    listing->push_back(std::move(entry));
                },
                L"Try show services of %s", package);
            whole = whole && read && servicesRead;
        }
    }
    service::NameList names;
    for (const ListedPackage& entry : *listing)
        for (const ListedService& listedService : entry.services)
            names.push_back(listedService.name);
    if (panelState)
        names.push_back(panelServiceName);
    const std::vector<service::ServiceState> found = service::queryStates(names);
    std::map<std::wstring, service::ServiceState> states;
    for (size_t i = 0; i < names.size(); ++i)
        states.emplace(names[i], found[i]);
    if (panelState)
        *panelState = found.back().installed ? found.back().status : service::statusDisabled;
    for (ListedPackage& entry : *listing) {
        const bool added = logGuarded(
            LOG_INFO, {"WardenLight::AllServices", __LINE__},
            [&] { addPackageServices(entry, states, groups, lookup, *other); }, L"Try show services of %s",
            entry.package);
        whole = whole && added;
    }
    if (whole)
        VPackage::keepListing(std::move(*listing), generation);

    groups.push_back(std::move(other));
    return groups;
}

void ControlDlg::showGroups(ServiceGroupList groups)
{
    const std::set<std::wstring> marked = markedNames();
    RedrawOff redrawOff(tree_.window());
    SendMessageW(tree_.window(), TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    groups_ = std::move(groups);
    size_t position = 0;
    for (const auto& group : groups_)
        insertGroup(*group, groupImage(position++, group->iconId), marked);
}

void ControlDlg::syncGroupChecks()
{
    for (const auto& group : groups_) {
        const bool checked = isChecked(group->treeItem);
        if (checked == group->checked)
            continue;
        group->checked = checked;
        for (const auto& service : group->services) {
            service->checked = checked;
            setCheck(service->treeItem, checked);
        }
    }
}

void ControlDlg::setAllChecks(bool checked)
{
    for (const auto& group : groups_) {
        setCheck(group->treeItem, checked);
        for (const auto& service : group->services)
            setCheck(service->treeItem, checked);
    }
}

std::vector<ServiceChoice> ControlDlg::choices() const
{
    std::vector<ServiceChoice> choices;
    for (const auto& group : groups_)
        for (const auto& service : group->services)
            choices.push_back({service->name, isChecked(service->treeItem)});
    return choices;
}

std::set<std::wstring> ControlDlg::markedNames() const
{
    std::set<std::wstring> marked;
    for (const auto& group : groups_) {
        if (isChecked(group->treeItem))
            marked.insert(group->name);
        for (const auto& service : group->services)
            if (isChecked(service->treeItem))
                marked.insert(service->name);
    }
    return marked;
}

void ControlDlg::insertGroup(ServiceGroup& group, int image, const std::set<std::wstring>& marked)
{
    TVINSERTSTRUCTW insert = {};
    insert.hParent = TVI_ROOT;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    insert.item.pszText = const_cast<wchar_t*>(group.name.c_str());
    insert.item.iImage = insert.item.iSelectedImage = image;
    group.treeItem = reinterpret_cast<HTREEITEM>(
        SendMessageW(tree_.window(), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    if (marked.count(group.name)) {
        group.checked = true;
        setCheck(group.treeItem, true);
    }
    // In the order of the control's sorted insert (TVI_SORT compares labels with lstrcmpW), sorted
    // here: the control walks every sibling for each item it sorts in, which took most of a
    // refresh of a few hundred services. The run order stays the catalogue's.
    std::vector<MonitoredService*> sorted;
    for (const auto& service : group.services)
        sorted.push_back(service.get());
    std::stable_sort(sorted.begin(), sorted.end(), [](const MonitoredService* left, const MonitoredService* right) {
        return lstrcmpW(left->displayName.c_str(), right->displayName.c_str()) < 0;
    });
    for (MonitoredService* service : sorted)
        insertService(*service, marked);
    SendMessageW(tree_.window(), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(group.treeItem));
}

void ControlDlg::insertService(MonitoredService& service, const std::set<std::wstring>& marked)
{
    TVINSERTSTRUCTW insert = {};
    insert.hParent = service.group->treeItem;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    insert.item.pszText = const_cast<wchar_t*>(service.displayName.c_str());
    insert.item.iImage = insert.item.iSelectedImage = static_cast<int>(service.status);
    service.treeItem = reinterpret_cast<HTREEITEM>(
        SendMessageW(tree_.window(), TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    if (marked.count(service.name)) {
        service.checked = true;
        setCheck(service.treeItem, true);
    }
}

bool ControlDlg::isChecked(HTREEITEM item) const
{
    const LRESULT state = SendMessageW(tree_.window(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item),
                                       TVIS_STATEIMAGEMASK);
    return (static_cast<UINT>(state) & TVIS_STATEIMAGEMASK) == checkedState;
}

void ControlDlg::setCheck(HTREEITEM item, bool checked) const
{
    TVITEMW change = {};
    change.mask = TVIF_STATE;
    change.hItem = item;
    change.state = checked ? checkedState : uncheckedState;
    change.stateMask = TVIS_STATEIMAGEMASK;
    SendMessageW(tree_.window(), TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&change));
}

void ControlDlg::setImage(HTREEITEM item, int image) const
{
    TVITEMW change = {};
    change.mask = TVIF_HANDLE | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    change.hItem = item;
    change.iImage = image;
    change.iSelectedImage = image;
    SendMessageW(tree_.window(), TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&change));
}

int ControlDlg::groupImage(size_t position, UINT iconId)
{
    // Each group has the image after the fixed ones at its position. Dropping the group images
    // and appending them again re-created the list's bitmaps on every refresh, and the memory
    // grew with every refresh; a slot is drawn only when its picture changes.
    const int image = fixedImageCount + static_cast<int>(position);
    if (position < groupIcons_.size()) {
        if (groupIcons_[position] != iconId &&
            ImageList_ReplaceIcon(imageList_.get(), image, loadIcon(iconId)) == image)
            groupIcons_[position] = iconId;
        return image;
    }
    const int appended = ImageList_ReplaceIcon(imageList_.get(), -1, loadIcon(iconId));
    if (appended == image)
        groupIcons_.push_back(iconId);
    return appended;
}
