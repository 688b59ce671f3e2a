#include "ServiceMain.h"
#include "ComPort.h"
#include "InactivityAlarm.h"
#include "LogFile.h"
#include "ReadParameters.h"
#include "ReaderThread.h"
#include "ReportServiceEvent.h"
#include "ServiceState.h"

#include <string.h>

static void SetState(DWORD state)
{
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
}

static void StopWithMessage(const char *message)
{
    ReportServiceEvent("%s", EVENTLOG_ERROR_TYPE, message);
    SetState(SERVICE_STOPPED);
    if (!SetServiceStatus(StatusHandle, &ServiceStatus))
        ReportServiceEvent("ServiceMain->SetServiceStatus error %ld", EVENTLOG_ERROR_TYPE,
                           (long)GetLastError());
}

static void ReportConfiguration()
{
    char report[4096];
    FormatConfigurationReport(report, sizeof report);
    ReportServiceEvent("%s", EVENTLOG_INFORMATION_TYPE, report);
}

void WINAPI ServiceMain(DWORD argc, LPSTR *argv)
{
    if (argc < 1 || argv == NULL || argv[0] == NULL) {
        ReportServiceEvent("Too few arguments; instance must be specified (dwArgc = %ld)",
                           EVENTLOG_ERROR_TYPE, (long)argc);
        return;
    }
    strncpy(ServiceName, argv[0], sizeof ServiceName - 1);
    ServiceName[sizeof ServiceName - 1] = '\0';

    ServiceStatus.dwServiceType = SERVICE_WIN32;
    ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;

    StatusHandle = RegisterServiceCtrlHandlerA(ServiceName, ServiceHandler);
    if (StatusHandle == NULL)
        ReportServiceEvent("RegisterServiceCtrlHandler() failed, error %ld", EVENTLOG_ERROR_TYPE,
                           (long)GetLastError());

    if (!CreateServiceSynchronisation()) {
        StopWithMessage("The service could not create its events, service stopping");
        return;
    }
    if (!ReadParameters()) {
        StopWithMessage("Registry parameters could not be obtained, service stopping");
        return;
    }
    if (!OpenComPort()) {
        StopWithMessage("Com port could not be opened, service stopping");
        return;
    }
    if (!OpenLogFile()) {
        StopWithMessage("The log file could not be opened, service stopping");
        return;
    }

    SetState(SERVICE_RUNNING);
    if (!SetServiceStatus(StatusHandle, &ServiceStatus))
        ReportServiceEvent("ServiceMain->SetServiceStatus error %ld", EVENTLOG_ERROR_TYPE,
                           (long)GetLastError());
    if (Params.VerboseLevel & VERBOSE_CONFIGURATION)
        ReportConfiguration();
    if (Params.VerboseLevel & VERBOSE_START_STOP)
        ReportServiceEvent("%s Starting. Logging %s to %s", EVENTLOG_INFORMATION_TYPE, ServiceName,
                           Params.PortName, Params.LogFilename);

    ReaderHandle = CreateThread(NULL, 0, ReaderThread, NULL, 0, NULL);
    // The rotation thread starts here when LogRotation is not 0.
}

static void StopService()
{
    // The reader goes first: it is the one that starts alarms, so none can
    // begin after the alarm has been ended.
    SetEvent(StopEvent);
    if (ReaderHandle != NULL)
        WaitForSingleObject(ReaderHandle, READER_END_WAIT_MS);
    EndInactivityAlarm();
    // The rotation thread ends here.

    EnterCriticalSection(&LogLock);
    CloseHandle(PortHandle);
    PortHandle = INVALID_HANDLE_VALUE;
    CloseHandle(LogHandle);
    LogHandle = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&LogLock);

    if (Params.VerboseLevel & VERBOSE_START_STOP)
        ReportServiceEvent("%s Stopping", EVENTLOG_INFORMATION_TYPE, ServiceName);
    SetState(SERVICE_STOPPED);
}

void WINAPI ServiceHandler(DWORD control)
{
    DWORD state = ServiceStatus.dwCurrentState;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        if (state != SERVICE_STOPPED)
            StopService();
        break;
    case SERVICE_CONTROL_PAUSE:
        // Only from running: a second pause must not hold the reader twice.
        if (state == SERVICE_RUNNING) {
            HoldReader();
            // The rotation thread ends here.
            SetState(SERVICE_PAUSED);
        }
        break;
    case SERVICE_CONTROL_CONTINUE:
        if (state == SERVICE_PAUSED) {
            // A new rotation thread starts here.
            ReleaseReader();
            SetState(SERVICE_RUNNING);
        }
        break;
    default:
        break;
    }
    if (!SetServiceStatus(StatusHandle, &ServiceStatus))
        ReportServiceEvent("ServiceHandler->SetServiceStatus error %ld", EVENTLOG_ERROR_TYPE,
                           (long)GetLastError());
}
