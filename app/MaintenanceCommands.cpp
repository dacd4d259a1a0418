#include "app/MaintenanceCommands.h"

#include "panel/KZODatabase.h"
#include "panel/TarvoSrvCtrl.h"
#include "panel/TarvoUtil.h"
#include "runtime/Exception.h"
#include "services/Service.h"

namespace {

const wchar_t startCaption[] = L"Start Tarvo Control Panel website";
const wchar_t stopCaption[] = L"Stop Tarvo Control Panel website";

void runHostpivot(const wchar_t* arguments)
{
    execTarvoUtil(L"hostpivot", arguments, nullptr, true, nullptr, true, INFINITE);
}

} // namespace

namespace maintenance {

void deleteSessions(OperationReport& report)
{
    try {
        KZODatabase database(true);
        database.execute(L"DELETE FROM sessions");
    } catch (const vexception& error) {
        report.ask(error.fullText(), L"Delete All Sessions", MB_ICONERROR);
    }
}

void startWebsite(OperationReport& report)
{
    try {
        // The guard is left before a failure is shown, so "tarvosrv" is back as it was.
        const TarvoSrvCtrl tarvosrv;
        service::startStopService(L"W3SVC", true, nullptr, nullptr);
        runHostpivot(L"--start-tarvo-website");
    } catch (const vexception& error) {
        report.ask(error.fullText(), startCaption, MB_ICONERROR);
        return;
    }
    report.refreshTree();
    report.ask(L"Tarvo Control Panel website was successfully started", startCaption, MB_ICONINFORMATION);
}

void stopWebsite(OperationReport& report)
{
    try {
        // W3SVC itself is left running: other sites may need it.
        if (service::isActive(L"W3SVC")) {
            const TarvoSrvCtrl tarvosrv;
            runHostpivot(L"--stop-tarvo-website");
        }
    } catch (const vexception& error) {
        report.ask(error.fullText(), stopCaption, MB_ICONERROR);
        return;
    }
    report.ask(L"Tarvo Control Panel website was successfully stopped", stopCaption, MB_ICONINFORMATION);
}

} // namespace maintenance
