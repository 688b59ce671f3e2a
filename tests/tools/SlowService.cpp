// A stand-in service for the configuration program's tests: it runs until
// told to stop, accepts pause and continue, and takes the number of
// milliseconds given on its command line (ImagePath) to stop. It reads no
// parameters and opens no port. A second number is the wait hint it reports
// while stopping (default: the delay and a second more); a hint far below
// the delay makes a service that hangs in its stop.
#include <windows.h>
#include <stdlib.h>

static SERVICE_STATUS Status;
static SERVICE_STATUS_HANDLE StatusHandle;
static HANDLE StopRequested;
static int StopDelayMs = 2000;
static int StopWaitHintMs = -1;

static void Report(DWORD state)
{
    Status.dwCurrentState = state;
    Status.dwWaitHint = state != SERVICE_STOP_PENDING ? 0
                        : StopWaitHintMs >= 0 ? (DWORD)StopWaitHintMs : (DWORD)StopDelayMs + 1000;
    Status.dwCheckPoint = 0;
    SetServiceStatus(StatusHandle, &Status);
}

static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        Report(SERVICE_STOP_PENDING);
        SetEvent(StopRequested);
        return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
        Report(SERVICE_PAUSED);
        return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
        Report(SERVICE_RUNNING);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        SetServiceStatus(StatusHandle, &Status);
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

static void WINAPI SlowServiceMain(DWORD argc, LPSTR *argv)
{
    StatusHandle = RegisterServiceCtrlHandlerExA(argc > 0 ? argv[0] : "", Handler, NULL);
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    Report(SERVICE_RUNNING);
    WaitForSingleObject(StopRequested, INFINITE);
    Sleep((DWORD)StopDelayMs);
    Report(SERVICE_STOPPED);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    if (commandLine != NULL && commandLine[0] != '\0') {
        char *rest = NULL;
        StopDelayMs = (int)strtol(commandLine, &rest, 10);
        if (rest != NULL && *rest != '\0')
            StopWaitHintMs = (int)strtol(rest, NULL, 10);
    }
    if (StopDelayMs < 0)
        StopDelayMs = 0;
    StopRequested = CreateEventA(NULL, TRUE, FALSE, NULL);
    static char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, SlowServiceMain}, {NULL, NULL}};
    StartServiceCtrlDispatcherA(table);
    return 0;
}
