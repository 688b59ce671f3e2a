// The instance's serial port, as the reader's source (CaptureSource.h).
#pragma once

#include <windows.h>

#include "service/capture/CaptureSource.h"

// The COM port named by PortName as a capture source.
extern const CaptureSource ComPortSource;

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
