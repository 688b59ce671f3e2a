// Process-wide state of the service. Written by ServiceMain before any worker
// starts; afterwards the parameters are only read.
#pragma once

#include <windows.h>
#include "common/settings/ServiceParameters.h"

#define SERVICE_NAME_SIZE 257       // the longest name the SCM allows, 256
#define LOG_PATH_SIZE     260
#define EVENT_IDENTIFIER  0xC0001000

extern char ServiceName[SERVICE_NAME_SIZE];
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE StatusHandle;

extern ServiceParameters Params;
extern BOOL MailConfigured;
extern size_t ExtensionPos;
extern BOOL ParametersRead;         // VerboseLevel is known only after this

// The stop, which every worker waits on: StopEvent (manual reset) is set
// once. Each part's own handles and locks are its file's (the capture queue,
// the writer's requests, the open log, the port, the threads).
extern HANDLE StopEvent;
// StatusLock: serialises the status reports of the control handler and of
//   the threads that finish a control's work, so the SCM never sees them out
//   of order.
extern CRITICAL_SECTION StatusLock;

// Sets StopEvent; ServiceStopping() tells it without a call to the system
// (the reader looks once per read).
void RequestServiceStop();
BOOL ServiceStopping();

// Creates the status lock (always) and the stop event. Non-zero on success.
int CreateServiceSynchronisation();
