#include "service/core/ServiceState.h"

char ServiceName[SERVICE_NAME_SIZE] = SERVICE_BASE_NAME;
SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE StatusHandle;

ServiceParameters Params;
BOOL MailConfigured;
size_t ExtensionPos;
BOOL ParametersRead;

HANDLE StopEvent;
CRITICAL_SECTION StatusLock;
static volatile LONG Stopping;

int CreateServiceSynchronisation()
{
    static BOOL locks, created;
    if (!locks) {
        InitializeCriticalSection(&StatusLock);
        locks = TRUE;
    }
    if (created)
        return 1;
    StopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    created = StopEvent != NULL;
    return created;
}

void RequestServiceStop()
{
    InterlockedExchange(&Stopping, 1);
    SetEvent(StopEvent);
}

BOOL ServiceStopping() { return Stopping != 0; }
