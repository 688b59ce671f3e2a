#include "service/core/ServiceState.h"

char ServiceName[SERVICE_NAME_SIZE] = SERVICE_BASE_NAME;
SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE StatusHandle;

ServiceParameters Params;
BOOL MailConfigured;
size_t ExtensionPos;
BOOL ParametersRead;

HANDLE PortHandle = INVALID_HANDLE_VALUE;
HANDLE LogHandle = INVALID_HANDLE_VALUE;
char CurrentLogPath[LOG_PATH_SIZE];
SYSTEMTIME LogOpenedAt;

HANDLE ReaderHandle;
HANDLE RotationHandle;
HANDLE AlarmHandle = INVALID_HANDLE_VALUE;
HANDLE MailMutex;

HANDLE StopEvent;
HANDLE ReaderGate;
CRITICAL_SECTION CaptureLock;
CRITICAL_SECTION StatusLock;
static volatile LONG Stopping;

int CreateServiceSynchronisation()
{
    static BOOL locks, created;
    if (!locks) {
        InitializeCriticalSection(&CaptureLock);
        InitializeCriticalSection(&StatusLock);
        locks = TRUE;
    }
    if (created)
        return 1;
    StopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ReaderGate = CreateEventA(NULL, TRUE, TRUE, NULL);
    created = StopEvent != NULL && ReaderGate != NULL;
    return created;
}

void RequestServiceStop()
{
    InterlockedExchange(&Stopping, 1);
    SetEvent(StopEvent);
}

BOOL ServiceStopping() { return Stopping != 0; }
