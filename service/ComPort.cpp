#include "ComPort.h"
#include "CheckParameters.h"
#include "ReportServiceEvent.h"
#include "ServiceState.h"

#include <stdio.h>
#include <string.h>

DWORD SilenceTimeoutMs()
{
    // Bounded so that a huge Timeout cannot wrap into a short one.
    return Params.Timeout < MAXDWORD / 1000 ? Params.Timeout * 1000 : MAXDWORD - 1;
}

static BOOL ApplyReadTimeout(HANDLE port, DWORD ms)
{
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadTotalTimeoutMultiplier = Params.Timeout != 0 ? 1 : 0;
    timeouts.ReadTotalTimeoutConstant = ms;
    return SetCommTimeouts(port, &timeouts);
}

static int OpenAndConfigurePort(BOOL report)
{
    char device[32];
    snprintf(device, sizeof device, "\\\\.\\%s", Params.PortName);

    // Overlapped, so that a pending read can be cancelled at stop instead of
    // holding the stop up for Timeout seconds.
    HANDLE port = CreateFileA(device, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        if (report)
            ReportServiceEvent("Could not obtain handle to \"%s\"", EVENTLOG_ERROR_TYPE,
                               Params.PortName);
        return 0;
    }

    if (Params.ComBufferSize != 0)
        SetupComm(port, Params.ComBufferSize, 16);

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) && report)
        ReportServiceEvent("Warning: Unable to retrieve com port state for \"%s\"",
                           EVENTLOG_ERROR_TYPE, Params.PortName);
    dcb.BaudRate = Params.BaudRate;
    dcb.ByteSize = (BYTE)Params.ByteSize;
    dcb.Parity = (BYTE)Params.Parity;
    dcb.StopBits = (BYTE)Params.StopBits;
    dcb.fParity = Params.Parity != 0;
    // Each field takes a byte: a stored 264 would become a ByteSize of 8.
    if (!ByteFormatInRange() || !SetCommState(port, &dcb)) {
        if (report)
            ReportServiceEvent("Unable to set com port state for \"%s\"", EVENTLOG_ERROR_TYPE,
                               Params.PortName);
        CloseHandle(port);
        return 0;
    }

    // A one-byte read returns as soon as a byte arrives. Without one it gives
    // up after Timeout seconds (silence) or, without silence detection,
    // after IDLE_READ_TIMEOUT_MS, so that an idle port is not polled.
    DWORD readTimeout = Params.Timeout == 0 ? IDLE_READ_TIMEOUT_MS : SilenceTimeoutMs();
    if (!ApplyReadTimeout(port, readTimeout) && report)
        ReportServiceEvent("Warning: Unable to set com timeouts for \"%s\"", EVENTLOG_ERROR_TYPE,
                           Params.PortName);

    PortHandle = port;
    return 1;
}

int OpenComPort() { return OpenAndConfigurePort(TRUE); }

int ReopenComPort() { return OpenAndConfigurePort(FALSE); }

int SetPortReadTimeout(DWORD ms) { return ApplyReadTimeout(PortHandle, ms); }
