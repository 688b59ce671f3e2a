// The instance's serial port.
#pragma once

// Opens and configures the port named by PortName; sets PortHandle.
// Reports why on failure and returns 0.
int OpenComPort();

// Opens the port again after it failed, without reporting each attempt.
// Non-zero when the port is open and configured again.
int ReopenComPort();

// How long a read waits for a byte when no silence detection is configured:
// long enough that an idle port costs nothing, short enough to stay lively.
#define IDLE_READ_TIMEOUT_MS 1000
