#include "ServiceMain.h"
#include "ComPort.h"
#include "InactivityAlarm.h"
#include "LogFile.h"
#include "LogWriter.h"
#include "MailThread.h"
#include "ReadParameters.h"
#include "ReaderThread.h"
#include "ReportServiceEvent.h"
#include "RotationThread.h"
#include "ServiceState.h"

#include <string.h>

// Serialises the status reports of the control handler and of the thread
// that finishes a stop waiting for a mail, so the SCM never sees them out of
// order.
static CRITICAL_SECTION StatusLock;

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
    InitializeCriticalSection(&StatusLock);
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

    // A control that comes once running is reported waits until the threads
    // it pauses or ends have been started.
    EnterCriticalSection(&StatusLock);
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
    // From the time that named the log: a boundary that passed since is
    // rotated at once, not skipped.
    StartRotationThread(&LogOpenedAt);
    LeaveCriticalSection(&StatusLock);
}

static void FinishStop()
{
    if (Params.VerboseLevel & VERBOSE_START_STOP)
        ReportServiceEvent("%s Stopping", EVENTLOG_INFORMATION_TYPE, ServiceName);
    SetState(SERVICE_STOPPED);
}

static void ReportStatusLocked(const char *where)
{
    if (!SetServiceStatus(StatusHandle, &ServiceStatus))
        ReportServiceEvent("%s->SetServiceStatus error %ld", EVENTLOG_ERROR_TYPE, where,
                           (long)GetLastError());
}

// Finishes a stop that must wait for a mail in progress: reports progress
// while it waits, at most MAIL_STOP_WAIT_MS, then the stop.
static DWORD WINAPI StopAfterMailThread(LPVOID)
{
    DWORD began = GetTickCount();
    for (;;) {
        DWORD waited = GetTickCount() - began;
        if (waited >= MAIL_STOP_WAIT_MS)
            break;
        DWORD slice = MAIL_STOP_WAIT_MS - waited;
        if (slice > STOP_CHECKPOINT_MS)
            slice = STOP_CHECKPOINT_MS;
        if (WaitForMail(slice))
            break;
        EnterCriticalSection(&StatusLock);
        ServiceStatus.dwCheckPoint++;
        ReportStatusLocked("ServiceHandler");
        LeaveCriticalSection(&StatusLock);
    }
    EnterCriticalSection(&StatusLock);
    FinishStop();
    ReportStatusLocked("ServiceHandler");
    LeaveCriticalSection(&StatusLock);
    return 0;
}

static void StopService()
{
    // The reader goes first: it is the one that starts alarms, so none can
    // begin after the alarm has been ended.
    SetEvent(StopEvent);
    if (ReaderHandle != NULL)
        WaitForSingleObject(ReaderHandle, READER_END_WAIT_MS);
    EndInactivityAlarm();
    EndRotationThread();

    EnterCriticalSection(&LogLock);
    CloseHandle(PortHandle);
    PortHandle = INVALID_HANDLE_VALUE;
    if (!FinishLogFile())
        ReportLogLostAtStop();
    CloseHandle(LogHandle);
    LogHandle = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&LogLock);

    // A mail in progress may take long: the handler must answer at once, so
    // the wait runs on a thread of its own that reports stop pending.
    if (MailConfigured && MailInProgress()) {
        SetState(SERVICE_STOP_PENDING);
        ServiceStatus.dwCheckPoint = 1;
        ServiceStatus.dwWaitHint = STOP_WAIT_HINT_MS;
        HANDLE finisher = CreateThread(NULL, 0, StopAfterMailThread, NULL, 0, NULL);
        if (finisher != NULL) {
            CloseHandle(finisher);
            return;
        }
        WaitForMail(MAIL_STOP_WAIT_MS);
    }
    FinishStop();
}

void WINAPI ServiceHandler(DWORD control)
{
    // Held until this control's state is reported: a stop finished by
    // another thread reports after it.
    EnterCriticalSection(&StatusLock);
    DWORD state = ServiceStatus.dwCurrentState;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        if (state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING)
            StopService();
        break;
    case SERVICE_CONTROL_PAUSE:
        // Only from running: a second pause must not hold the reader twice.
        if (state == SERVICE_RUNNING) {
            HoldReader();
            EndRotationThread();
            SetState(SERVICE_PAUSED);
        }
        break;
    case SERVICE_CONTROL_CONTINUE:
        if (state == SERVICE_PAUSED) {
            StartRotationThread(NULL);
            ReleaseReader();
            SetState(SERVICE_RUNNING);
        }
        break;
    default:
        break;
    }
    ReportStatusLocked("ServiceHandler");
    LeaveCriticalSection(&StatusLock);
}
