#include "ServiceState.h"

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
CRITICAL_SECTION LogLock;

int CreateServiceSynchronisation()
{
    static BOOL created;
    if (created)
        return 1;
    StopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ReaderGate = CreateEventA(NULL, TRUE, TRUE, NULL);
    if (StopEvent == NULL || ReaderGate == NULL)
        return 0;
    InitializeCriticalSection(&LogLock);
    created = TRUE;
    return 1;
}
