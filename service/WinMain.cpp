// tallysvc: one service instance per process, named by the Service Control
// Manager (Quillbox<N>). It has no window and no other mode.
#include <windows.h>

#include "common/system/SystemLibrary.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/ServiceMain.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    RestrictDllSearchToSystemFolder();
    // The name in the table is the base name; the instance learns its own
    // name from ServiceMain's first argument.
    static char baseName[] = SERVICE_BASE_NAME;
    SERVICE_TABLE_ENTRYA table[] = {
        {baseName, ServiceMain},
        {NULL, NULL},
    };
    if (!StartServiceCtrlDispatcherA(table))
        ReportServiceEvent("StartServiceCtrlDispatcher() failed, last error = %ld",
                           EVENTLOG_ERROR_TYPE, (long)GetLastError());
    return 0;
}
