#include "app/ServiceActions.h"

#include "app/ServiceTree.h"

#include "runtime/Exception.h"
#include "runtime/LogManager.h"

#include <algorithm>

namespace {

constexpr int passCount = 3;

bool listed(const service::NameList* names, const std::wstring& name)
{
    return names && std::any_of(names->begin(), names->end(), [&](const std::wstring& entry) {
               return CompareStringOrdinal(entry.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL;
           });
}

std::wstring displayNameOr(const std::wstring& name)
{
    try {
        return service::serviceDisplayName(name);
    } catch (const vexception&) {
        return name;
    }
}

const wchar_t* progressLead(int phase)
{
    switch (phase) {
    case service::progressDependencies:
        return L"Build Dependencies for ";
    case service::progressStarting:
        return L"Starting ";
    default:
        return L"Stopping ";
    }
}

} // namespace

ServiceRun::ServiceRun(OperationReport& report, std::vector<ServiceChoice> services)
    : report_(report), services_(std::move(services))
{
}

void ServiceRun::run(bool start, bool all, service::NameList* names)
{
    const std::vector<std::wstring> selected = selection(all, names);
    for (int pass = 0; pass < passCount; ++pass)
        if (runPass(selected, start, pass == passCount - 1, names) != PassResult::failed)
            break;
    report_.refreshTree();
}

std::vector<std::wstring> ServiceRun::selection(bool all, const service::NameList* names) const
{
    std::vector<std::wstring> selected;
    if (all) {
        // Read afresh: a command given before the tree was first filled still finds every service.
        for (const auto& group : WardenLight::AllServices())
            for (const auto& service : group->services)
                selected.push_back(service->name);
        return selected;
    }
    for (const ServiceChoice& choice : services_)
        if (choice.checked || listed(names, choice.name))
            selected.push_back(choice.name);
    return selected;
}

ServiceRun::PassResult ServiceRun::runPass(const std::vector<std::wstring>& selected, bool start, bool lastPass,
                                           service::NameList* names)
{
    bool failed = false;
    for (const std::wstring& name : selected) {
        if (controlService(name, start, lastPass, names))
            continue;
        if (lastPass)
            return PassResult::aborted;
        failed = true;
    }
    return failed ? PassResult::failed : PassResult::done;
}

bool ServiceRun::controlService(const std::wstring& name, bool start, bool lastPass, service::NameList* names)
{
    try {
        if (service::effStatus(name.c_str()) == service::statusDisabled)
            return true;
    } catch (const VServiceDoesNotExistException&) {
        return true;
    }
    for (;;) {
        try {
            service::startStopService(name.c_str(), start, nullptr, nullptr, &ServiceRun::onServiceProgress, this,
                                      names);
            return true;
        } catch (const VCanceledException&) {
            // The program ends: no further service is touched.
            throw;
        } catch (VAccessDeniedException& e) {
            // Not the user's to fix from here, and a retry would only be refused again.
            e.addContext({L"Unable to make Task Scheduler service started.", "ControlDlg::controlService", __LINE__});
            LogManager::instance().log(LOG_WARNING, e);
            return true;
        } catch (const vexception& e) {
            if (!lastPass)
                return false;
            const std::wstring caption = (start ? L"Start " : L"Stop ") + displayNameOr(name);
            switch (report_.ask(e.fullText(), caption, MB_ABORTRETRYIGNORE | MB_ICONERROR)) {
            case IDABORT:
                return false;
            case IDRETRY:
                break;
            default:
                return true;
            }
        }
    }
}

DWORD CALLBACK ServiceRun::onServiceProgress(int phase, const wchar_t* name, void* context)
{
    static_cast<ServiceRun*>(context)->report_.progress(progressLead(phase) + displayNameOr(name) + L"...");
    return 0;
}
