// The instance's serial port, as the reader's source (CaptureSource.h).
#pragma once

#include <windows.h>

#include "service/capture/CaptureSource.h"

// The COM port named by PortName as a capture source.
extern const CaptureSource ComPortSource;

// The system calls the port is opened and read with, replaceable so that a
// test can be a driver that Wine's is not (one that completes reads at once
// with nothing, refuses time-outs, fails reads). Open opens the device and
// configures it (ConfigureComPort), reporting each failure when report is
// set; INVALID_HANDLE_VALUE when it cannot.
struct ComPortApi {
    HANDLE (*Open)(const char *device, BOOL report);
    BOOL (WINAPI *Read)(HANDLE port, LPVOID data, DWORD length, LPDWORD got, LPOVERLAPPED at);
    BOOL (WINAPI *Result)(HANDLE port, LPOVERLAPPED at, LPDWORD got, BOOL wait);
    BOOL (WINAPI *Errors)(HANDLE port, LPDWORD errors, LPCOMSTAT status);
    BOOL (WINAPI *Timeouts)(HANDLE port, LPCOMMTIMEOUTS timeouts);
};
extern ComPortApi ComPortCalls;

// Opens and configures the port named by PortName. Reports why on failure
// and returns 0.
int OpenComPort();

// Sets every field of dcb from the parameters: the byte format, the flow
// control FlowControl asks for (none by default) and all else as this
// service needs it, whatever another program left. 0 when a number is out
// of range (the port cannot be set).
int SetPortSettings(DCB *dcb);

// Configures an open port: queue size, settings, read time-outs. Reports each
// refusal when report is set; 0 when the settings could not be applied.
int ConfigureComPort(HANDLE port, BOOL report);

// Timeout in milliseconds (0: no silence detection).
DWORD SilenceTimeoutMs();

// How long a read waits for a byte when no silence detection is configured:
// long enough that an idle port costs nothing, short enough to stay lively.
#define IDLE_READ_TIMEOUT_MS 1000

// How often a vanished port is tried again.
#define PORT_RETRY_MS 3000

// At stop, how long one read of what the driver already holds may take.
#define STOP_DRAIN_MS 1000
