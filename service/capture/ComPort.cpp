#include "service/capture/ComPort.h"
#include "service/core/CheckParameters.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

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

int SetPortSettings(DCB *dcb)
{
    // Each field takes a byte: a stored 264 would become a ByteSize of 8.
    if (!ByteFormatInRange() || Params.FlowControl >= FLOW_CONTROL_COUNT)
        return 0;
    DWORD flow = Params.FlowControl;
    dcb->BaudRate = Params.BaudRate;
    dcb->ByteSize = (BYTE)Params.ByteSize;
    dcb->Parity = (BYTE)Params.Parity;
    dcb->StopBits = (BYTE)Params.StopBits;
    dcb->fParity = Params.Parity != 0;
    // The driver keeps every other field as the last program left it (that
    // is how "mode COMn" works), so each is set here on purpose: a leftover
    // XON/XOFF swallows 0x11 and 0x13, fNull drops NUL bytes,
    // fDsrSensitivity drops bytes while DSR is low, and fAbortOnError turns
    // one framing error into a failed read and a reopen.
    dcb->fBinary = TRUE;
    dcb->fNull = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fAbortOnError = FALSE;
    dcb->fDsrSensitivity = FALSE;
    // Flow control only as asked; otherwise DTR and RTS stay on, since many
    // devices send only while DTR is high.
    dcb->fOutxCtsFlow = flow == FlowRtsCts;
    dcb->fRtsControl = flow == FlowRtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fOutxDsrFlow = flow == FlowDtrDsr;
    dcb->fDtrControl = flow == FlowDtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb->fOutX = flow == FlowXonXoff;
    dcb->fInX = flow == FlowXonXoff;
    // Nothing is ever sent: an XOFF of ours must not hold anything up.
    dcb->fTXContinueOnXoff = TRUE;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
    dcb->ErrorChar = 0;
    dcb->EofChar = 0;
    dcb->EvtChar = 0;
    // XonLim and XoffLim stay: they are measured against the driver's own
    // queue, which only the driver knows.
    return 1;
}

int ConfigureComPort(HANDLE port, BOOL report)
{
    if (Params.ComBufferSize != 0 && !SetupComm(port, Params.ComBufferSize, 16)) {
        DWORD error = GetLastError();
        if (report)
            ReportServiceEvent("Warning: Unable to set the com buffer size of \"%s\" to %lu bytes (error %lu); "
                               "the driver's own size is used",
                               EVENTLOG_ERROR_TYPE, Params.PortName, (unsigned long)Params.ComBufferSize,
                               (unsigned long)error);
    }

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb) && report)
        ReportServiceEvent("Warning: Unable to retrieve com port state for \"%s\"",
                           EVENTLOG_ERROR_TYPE, Params.PortName);
    if (!SetPortSettings(&dcb) || !SetCommState(port, &dcb)) {
        if (report)
            ReportServiceEvent("Unable to set com port state for \"%s\"", EVENTLOG_ERROR_TYPE,
                               Params.PortName);
        return 0;
    }

    // A one-byte read returns as soon as a byte arrives. Without one it gives
    // up after Timeout seconds (silence) or, without silence detection,
    // after IDLE_READ_TIMEOUT_MS, so that an idle port is not polled.
    DWORD readTimeout = Params.Timeout == 0 ? IDLE_READ_TIMEOUT_MS : SilenceTimeoutMs();
    if (!ApplyReadTimeout(port, readTimeout) && report)
        ReportServiceEvent("Warning: Unable to set com timeouts for \"%s\"", EVENTLOG_ERROR_TYPE,
                           Params.PortName);
    return 1;
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
    if (!ConfigureComPort(port, report)) {
        CloseHandle(port);
        return 0;
    }
    PortHandle = port;
    return 1;
}

int OpenComPort() { return OpenAndConfigurePort(TRUE); }

int ReopenComPort() { return OpenAndConfigurePort(FALSE); }

int SetPortReadTimeout(DWORD ms) { return ApplyReadTimeout(PortHandle, ms); }
