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

extern HANDLE PortHandle;
extern HANDLE LogHandle;
extern char CurrentLogPath[LOG_PATH_SIZE];
extern SYSTEMTIME LogOpenedAt;      // local time that named the open log (rotation)

extern HANDLE ReaderHandle;
extern HANDLE RotationHandle;
extern HANDLE AlarmHandle;
extern HANDLE MailMutex;

// Cooperative coordination of the worker threads.
// StopEvent (manual reset): set once at stop; every worker waits on it.
// ReaderGate (manual reset): set while the reader may go on; cleared for a pause.
// CaptureLock: the hand-over between threads (the capture queue, the
//   writer's requests, LogOpenedAt); held only for a moment, never across
//   I/O, so the reader never waits for the disk.
extern HANDLE StopEvent;
extern HANDLE ReaderGate;
extern CRITICAL_SECTION CaptureLock;
// StatusLock: serialises the status reports of the control handler and of
//   the threads that finish a control's work, so the SCM never sees them out
//   of order.
extern CRITICAL_SECTION StatusLock;

// Sets StopEvent; ServiceStopping() tells it without a call to the system
// (the reader looks once per read).
void RequestServiceStop();
BOOL ServiceStopping();

// Creates the locks (always) and the events. Non-zero on success.
int CreateServiceSynchronisation();
