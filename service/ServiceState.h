// Process-wide state of the service. Written by ServiceMain before any worker
// starts; afterwards the parameters are only read.
#pragma once

#include <windows.h>
#include "ServiceParameters.h"

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
// ReaderGate (manual reset): set while the reader may write; cleared for a pause.
// LogLock: held by the reader around each write and by whoever swaps or
//   closes the log, so no byte is lost or written into a closed file.
extern HANDLE StopEvent;
extern HANDLE ReaderGate;
extern CRITICAL_SECTION LogLock;

// Creates the events and the lock. Non-zero on success.
int CreateServiceSynchronisation();
