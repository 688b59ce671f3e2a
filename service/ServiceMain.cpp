#include "service/ServiceMain.h"
#include "service/alarm/InactivityAlarm.h"
#include "service/capture/CaptureQueue.h"
#include "service/capture/CaptureSource.h"
#include "service/capture/ReaderThread.h"
#include "service/ConfigurationReport.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/forward/ForwardThread.h"
#include "service/log/LogFile.h"
#include "service/log/LogWriterThread.h"
#include "service/log/RotationThread.h"
#include "service/mail/MailThread.h"
#include "service/mail/OutboxThread.h"
#include "service/ReadParameters.h"

#include <string.h>

// The control whose work is in progress (a later one supersedes a pause),
// and whether the handler has answered it: its work then reports itself.
static DWORD ControlNumber;
static BOOL Answered;

static void SetState(DWORD state)
{
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
}

static void SetPending(DWORD state)
{
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwCheckPoint = 1;
    ServiceStatus.dwWaitHint = STOP_WAIT_HINT_MS;
}

static void ReportStatus(const char *where)
{
    if (!SetServiceStatus(StatusHandle, &ServiceStatus))
        ReportServiceEvent("%s->SetServiceStatus error %ld", EVENTLOG_ERROR_TYPE, where,
                           (long)GetLastError());
}

static void StopWithMessage(const char *message, StartFailure failure)
{
    ReportServiceEvent("%s", EVENTLOG_ERROR_TYPE, message);
    SetState(SERVICE_STOPPED);
    ServiceStatus.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    ServiceStatus.dwServiceSpecificExitCode = failure;
    ReportStatus("ServiceMain");
}

static void ReportConfiguration()
{
    char report[4096];
    FormatConfigurationReport(report, sizeof report);
    ReportServiceEvent("%s", EVENTLOG_INFORMATION_TYPE, report);
}

// Windows gives a service only 10 seconds at shutdown unless it asks for
// more, and a stop may wait for the reader, the writer and a mail in
// progress. Asked at every start (the service may change its own entry);
// where it cannot, shutdown keeps the system's time.
static void AskForShutdownTime()
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return;
    SC_HANDLE service = OpenServiceA(manager, ServiceName, SERVICE_CHANGE_CONFIG);
    if (service != NULL) {
        SERVICE_PRESHUTDOWN_INFO info = {PRESHUTDOWN_TIMEOUT_MS};
        ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

// The writer, the reader and the rotation; each reports its own failure.
static int StartWorkers()
{
    if (!StartLogWriter() || !StartReader())
        return 0;
    // From the time that named the log: a boundary that passed since is
    // rotated at once, not skipped.
    return StartRotationThread(OpenLogTime());
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
    ServiceStatus.dwControlsAccepted = ACCEPTED_CONTROLS;
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;

    // Before the handler is registered: it takes StatusLock.
    int synchronised = CreateServiceSynchronisation();
    StatusHandle = RegisterServiceCtrlHandlerExA(ServiceName, ServiceHandler, NULL);
    if (StatusHandle == NULL)
        ReportServiceEvent("RegisterServiceCtrlHandler() failed, error %ld", EVENTLOG_ERROR_TYPE,
                           (long)GetLastError());

    if (!synchronised) {
        StopWithMessage("The service could not create its events, service stopping", StartFailedWorker);
        return;
    }
    if (!ReadParameters()) {
        StopWithMessage("Registry parameters could not be obtained, service stopping",
                        StartFailedParameters);
        return;
    }
    if (!Source->Open()) {
        StopWithMessage("Com port could not be opened, service stopping", StartFailedPort);
        return;
    }
    if (!OpenLogFile()) {
        StopWithMessage("The log file could not be opened, service stopping", StartFailedLogFile);
        return;
    }

    // A control that comes once running is reported waits until the threads
    // it pauses or ends have been started. They start before Running is
    // reported: an instance that cannot capture must not look as if it did.
    EnterCriticalSection(&StatusLock);
    // Before the capture: a rotation due at once enters its log there.
    OpenMailOutbox();
    if (!StartWorkers()) {
        RequestServiceStop();
        EndLogWriter();
        StopWithMessage("The capture could not be started, service stopping", StartFailedWorker);
        LeaveCriticalSection(&StatusLock);
        return;
    }
    SetState(SERVICE_RUNNING);
    ReportStatus("ServiceMain");
    AskForShutdownTime();
    if (Params.VerboseLevel & VERBOSE_CONFIGURATION)
        ReportConfiguration();
    if (Params.VerboseLevel & VERBOSE_START_STOP)
        ReportServiceEvent("%s Starting. Logging %s to %s", EVENTLOG_INFORMATION_TYPE, ServiceName,
                           Params.PortName, Params.LogFilename);
    StartOutboxThread();
    StartForwarder();
    LeaveCriticalSection(&StatusLock);
}

// --- the work of a control -------------------------------------------------

// One more checkpoint of control `number` while its work goes on.
static void ControlProgress(DWORD number)
{
    EnterCriticalSection(&StatusLock);
    if (number == ControlNumber) {
        ServiceStatus.dwCheckPoint++;
        if (Answered)
            ReportStatus("ServiceHandler");
    }
    LeaveCriticalSection(&StatusLock);
}

// The work of control `number` is done: its final state, reported by the
// handler when it is still waiting for the work, else here. A stop that could
// not do all its work ends with `failure` as its exit code.
static void ControlDone(DWORD number, DWORD state, DWORD failure = 0)
{
    EnterCriticalSection(&StatusLock);
    if (number == ControlNumber) {
        if (state == SERVICE_STOPPED && (Params.VerboseLevel & VERBOSE_START_STOP))
            ReportServiceEvent("%s Stopping", EVENTLOG_INFORMATION_TYPE, ServiceName);
        SetState(state);
        if (failure != 0) {
            ServiceStatus.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            ServiceStatus.dwServiceSpecificExitCode = failure;
        }
        if (Answered)
            ReportStatus("ServiceHandler");
    }
    LeaveCriticalSection(&StatusLock);
}

// Waits up to `ms` for `done`, with a checkpoint of control `number` every
// STOP_CHECKPOINT_MS. True when it came.
static BOOL WaitWithProgress(BOOL (*done)(DWORD ms), DWORD ms, DWORD number)
{
    DWORD began = GetTickCount();
    for (;;) {
        DWORD waited = GetTickCount() - began;
        if (waited >= ms)
            return FALSE;
        DWORD slice = ms - waited < STOP_CHECKPOINT_MS ? ms - waited : STOP_CHECKPOINT_MS;
        if (done(slice))
            return TRUE;
        ControlProgress(number);
    }
}

static BOOL MailEnded(DWORD ms) { return !MailConfigured || WaitForMail(ms); }

static DWORD WINAPI StopWork(LPVOID number)
{
    DWORD control = (DWORD)(DWORD_PTR)number;
    // The reader goes first: it hands over what its source holds and closes
    // it, and it is the one that starts alarms, so none can begin after the
    // alarm has ended. One that does not end (a driver that never completes
    // a read) is left, but can hand nothing more over: the log is finished
    // with what it has, and what it would still hand over is counted.
    BOOL readerEnded = WaitWithProgress(WaitForReaderEnd, READER_END_WAIT_MS, control);
    if (!readerEnded) {
        CloseCaptureQueue();
        ReportServiceEvent("The reader did not end within %lu seconds of the stop; what it still "
                           "receives is not written to the log",
                           EVENTLOG_ERROR_TYPE, (unsigned long)(READER_END_WAIT_MS / 1000));
    }
    EndInactivityAlarm();
    EndRotationThread();
    // Everything handed over is written (or reported lost) and the log
    // closed; nothing is written after it.
    EndLogWriter();
    BOOL writerEnded = WaitWithProgress(WaitForLogWriterEnd, WRITER_END_WAIT_MS, control);
    if (!writerEnded)
        ReportServiceEvent("The log file \"%s\" could not be finished within %lu seconds of the stop; "
                           "received data not yet written to it is lost",
                           EVENTLOG_ERROR_TYPE, LogFilePath(), (unsigned long)(WRITER_END_WAIT_MS / 1000));
    ULONGLONG refused = ForgetRefused();
    if (refused > 0)
        ReportServiceEvent("%llu bytes of received data came after the stop had to give up on the "
                           "reader and are lost",
                           EVENTLOG_ERROR_TYPE, (unsigned long long)refused);
    // What the writer wrote last is the forwarder's to send next time.
    WaitWithProgress(WaitForForwarderEnd, FORWARD_END_WAIT_MS, control);
    // A mail in progress may take long; one that has not begun is not begun.
    WaitWithProgress(MailEnded, MAIL_STOP_WAIT_MS, control);
    ControlDone(control, SERVICE_STOPPED, readerEnded && writerEnded ? 0 : StopIncomplete);
    return 0;
}

// The pause the pause work waits for (the control handler sets it first).
static DWORD PendingPause;

static BOOL WriterHolds(DWORD ms) { return WaitForLogWriterPause(PendingPause, ms); }

static DWORD WINAPI PauseWork(LPVOID number)
{
    WaitWithProgress(WriterHolds, PAUSE_WAIT_MS, (DWORD)(DWORD_PTR)number);
    ControlDone((DWORD)(DWORD_PTR)number, SERVICE_PAUSED);
    return 0;
}

// Begins the pending state `state` with `work` on a thread of its own.
// Returns the thread, or NULL when the work was done here (no thread).
static HANDLE BeginWork(DWORD state, LPTHREAD_START_ROUTINE work)
{
    SetPending(state);
    ControlNumber++;
    Answered = FALSE;
    LPVOID number = (LPVOID)(DWORD_PTR)ControlNumber;
    HANDLE thread = CreateThread(NULL, 0, work, number, 0, NULL);
    if (thread == NULL) {
        LeaveCriticalSection(&StatusLock);
        work(number);
        EnterCriticalSection(&StatusLock);
    }
    return thread;
}

static void Continue()
{
    ControlNumber++;            // a pause still finishing reports nothing
    SYSTEMTIME now;
    GetLocalTime(&now);
    // Before the writer goes on: a swap due now takes the bytes that came
    // after the open log's period into the next file.
    ResumeRotation(now);
    ContinueReader();
    ContinueLogWriter();
    SetState(SERVICE_RUNNING);
}

DWORD WINAPI ServiceHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    HANDLE work = NULL;
    EnterCriticalSection(&StatusLock);
    DWORD state = ServiceStatus.dwCurrentState;
    BOOL active = state == SERVICE_RUNNING || state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING;
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        if (active) {
            RequestServiceStop();
            work = BeginWork(SERVICE_STOP_PENDING, StopWork);
        }
        break;
    case SERVICE_CONTROL_PAUSE:
        // Only from running: a second pause must not hold the reader twice.
        if (state == SERVICE_RUNNING) {
            PauseReader();
            EndRotationThread();
            PendingPause = PauseLogWriter();
            work = BeginWork(SERVICE_PAUSE_PENDING, PauseWork);
        }
        break;
    case SERVICE_CONTROL_CONTINUE:
        if (state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING)
            Continue();
        break;
    case SERVICE_CONTROL_INTERROGATE:
        break;
    default:
        LeaveCriticalSection(&StatusLock);
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    DWORD number = ControlNumber;
    LeaveCriticalSection(&StatusLock);

    // The work of most controls is done in a moment: then the answer is its
    // final state. Otherwise the answer is the pending state, and the work
    // reports on.
    if (work != NULL) {
        WaitForSingleObject(work, CONTROL_ANSWER_MS);
        CloseHandle(work);
    }
    EnterCriticalSection(&StatusLock);
    if (number == ControlNumber)
        Answered = TRUE;
    ReportStatus("ServiceHandler");
    LeaveCriticalSection(&StatusLock);
    return NO_ERROR;
}
