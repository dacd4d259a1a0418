#pragma once
// The dialog's Start, Stop and Restart runs on the operation worker: the selected services of
// the tree are started after what they depend on, or stopped after their active dependents, in
// up to three passes; what still fails in the last pass is put to the user.
#include "app/Operation.h"
#include "services/Service.h"

#include <string>
#include <vector>

// A service of the tree, in tree order, with its mark as the command found it when it began.
struct ServiceChoice {
    std::wstring name;
    bool checked = false;
};

class ServiceRun {
public:
    ServiceRun(OperationReport& report, std::vector<ServiceChoice> services);

    // Starts (or stops) every service when all is set, otherwise the checked ones and those
    // that names holds; names carries the services a restart's stop run stopped to its start
    // run. Ends with a refresh of the tree.
    void run(bool start, bool all, service::NameList* names);

private:
    enum class PassResult { done, failed, aborted };

    // The names of the services to act on, in tree order.
    std::vector<std::wstring> selection(bool all, const service::NameList* names) const;

    PassResult runPass(const std::vector<std::wstring>& selected, bool start, bool lastPass,
                       service::NameList* names);
    // True when the service is done with (started or stopped, skipped, or failed and ignored),
    // false when the run should try it again in a later pass, or end (Abort).
    bool controlService(const std::wstring& name, bool start, bool lastPass, service::NameList* names);
    // startStopService's progress, reported as a text; context is the run. Returns 0.
    static DWORD CALLBACK onServiceProgress(int phase, const wchar_t* name, void* context);

    OperationReport& report_;
    std::vector<ServiceChoice> services_;
};
