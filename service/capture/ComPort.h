// The instance's serial port.
#pragma once

#include <windows.h>

// Opens and configures the port named by PortName; sets PortHandle.
// Reports why on failure and returns 0.
int OpenComPort();

// Opens the port again after it failed, without reporting each attempt.
// Non-zero when the port is open and configured again.
int ReopenComPort();

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

// Sets how long the next reads wait for a byte (the rest of a silence that
// a pause interrupted, then Timeout again). Non-zero on success.
int SetPortReadTimeout(DWORD ms);

// How long a read waits for a byte when no silence detection is configured:
// long enough that an idle port costs nothing, short enough to stay lively.
#define IDLE_READ_TIMEOUT_MS 1000
