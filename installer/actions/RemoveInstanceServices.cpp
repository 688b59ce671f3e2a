// The uninstall of the MSI package removes the Tallyline services through
// this entry, as a commit action: only once the removal can no longer be
// rolled back, so that an uninstall that fails or is cancelled keeps every
// instance (its settings and outbox live in its service's key). By then
// client.exe is gone with the other files: the work is the one "/uninstall"
// does, compiled in here. CustomActionData names the list of stopped
// instances, which is no longer needed either. Where rollback is disabled
// (policy) commit actions do not run, and the package runs this as an
// ordinary deferred action instead.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "client/instances/ClientMessages.h"
#include "client/instances/InstanceCommands.h"
#include "installer/actions/InstallerLog.h"

extern "C" UINT __stdcall RemoveInstanceServices(MSIHANDLE session)
{
    InstallerSession = session;
    ShowMessageBox = LogMessageBox;
    int left = UninstallServices();
    if (left != 0) {
        LogToInstaller("%d of the Tallyline services could not be removed", left);
        return ERROR_INSTALL_FAILURE;
    }
    LogToInstaller("Removed the Tallyline services");
    char list[MAX_PATH + 1];
    DWORD size = sizeof list;
    if (MsiGetPropertyA(session, "CustomActionData", list, &size) == ERROR_SUCCESS && list[0] != '\0')
        DeleteFileA(list);
    return ERROR_SUCCESS;
}
