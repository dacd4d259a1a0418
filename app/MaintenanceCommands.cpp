// The commands that act on the panel itself: Delete Sessions on its database, and Start and
// Stop Tarvo website through its utility "hostpivot", which needs the management service
// "tarvosrv" while it works.
#include "app/ControlDlg.h"

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

// Logs every user out of the panel. Nothing is asked first and nothing shown on success.
void ControlDlg::deleteSessions()
{
    try {
        KZODatabase database(true);
        database.execute(L"DELETE FROM sessions");
    } catch (const vexception& error) {
        MessageBoxW(window(), error.fullText().c_str(), L"Delete All Sessions", MB_ICONERROR);
    }
}

void ControlDlg::startWebsite()
{
    try {
        // The guard is left before a failure is shown, so "tarvosrv" is back as it was.
        const TarvoSrvCtrl tarvosrv;
        service::startStopService(L"W3SVC", true, nullptr, nullptr);
        runHostpivot(L"--start-tarvo-website");
    } catch (const vexception& error) {
        MessageBoxW(window(), error.fullText().c_str(), startCaption, MB_ICONERROR);
        return;
    }
    refreshTree();
    MessageBoxW(window(), L"Tarvo Control Panel website was successfully started", startCaption, MB_ICONINFORMATION);
}

void ControlDlg::stopWebsite()
{
    try {
        // W3SVC itself is left running: other sites may need it.
        if (service::isActive(L"W3SVC")) {
            const TarvoSrvCtrl tarvosrv;
            runHostpivot(L"--stop-tarvo-website");
        }
    } catch (const vexception& error) {
        MessageBoxW(window(), error.fullText().c_str(), stopCaption, MB_ICONERROR);
        return;
    }
    MessageBoxW(window(), L"Tarvo Control Panel website was successfully stopped", stopCaption, MB_ICONINFORMATION);
}
