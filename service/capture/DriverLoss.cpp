#include "service/capture/DriverLoss.h"
#include "service/core/CaptureStatus.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

// Only the reader thread calls these.
static BOOL EpisodeOpen;
static DWORD LastLossAt;
static DWORD QueueFull, Overruns, FramingErrors, ParityErrors;

void NoteCommErrors(DWORD errors, DWORD now)
{
    if (!(errors & (CE_RXOVER | CE_OVERRUN | CE_FRAME | CE_RXPARITY)))
        return;
    EpisodeOpen = TRUE;
    LastLossAt = now;
    QueueFull += (errors & CE_RXOVER) != 0;
    Overruns += (errors & CE_OVERRUN) != 0;
    FramingErrors += (errors & CE_FRAME) != 0;
    ParityErrors += (errors & CE_RXPARITY) != 0;
    NoteDriverErrors(1);
}

DWORD DriverLossDueInMs(DWORD now)
{
    if (!EpisodeOpen)
        return INFINITE;
    DWORD quiet = now - LastLossAt;
    return quiet >= DRIVER_LOSS_QUIET_MS ? 0 : DRIVER_LOSS_QUIET_MS - quiet;
}

void ReportDriverLoss()
{
    if (!EpisodeOpen)
        return;
    ReportServiceEvent("Received data was lost or damaged on \"%s\" (counted by its driver: input queue full "
                       "%lu, hardware overrun %lu, framing errors %lu, parity errors %lu)",
                       EVENTLOG_ERROR_TYPE, Params.PortName, QueueFull, Overruns, FramingErrors,
                       ParityErrors);
    EpisodeOpen = FALSE;
    QueueFull = Overruns = FramingErrors = ParityErrors = 0;
}
