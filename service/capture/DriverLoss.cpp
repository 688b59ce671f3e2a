#include "service/capture/DriverLoss.h"
#include "service/capture/CaptureQueue.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

// The open episode: noted by the reader, reported by the writer (or by the
// reader when its port fails or it ends).
static struct DriverLossEpisode {
    SRWLOCK Lock;
    BOOL Open;
    DWORD LastLossAt;
    DWORD QueueFull, Overruns, FramingErrors, ParityErrors;
} Episode;

BOOL NoteCommErrors(DWORD errors, DWORD now)
{
    if (!(errors & (CE_RXOVER | CE_OVERRUN | CE_FRAME | CE_RXPARITY)))
        return FALSE;
    AcquireSRWLockExclusive(&Episode.Lock);
    BOOL began = !Episode.Open;
    Episode.Open = TRUE;
    Episode.LastLossAt = now;
    Episode.QueueFull += (errors & CE_RXOVER) != 0;
    Episode.Overruns += (errors & CE_OVERRUN) != 0;
    Episode.FramingErrors += (errors & CE_FRAME) != 0;
    Episode.ParityErrors += (errors & CE_RXPARITY) != 0;
    ReleaseSRWLockExclusive(&Episode.Lock);
    // The writer reports the episode once it has ended: it needs to know.
    if (began)
        WakeWriter();
    return (errors & (CE_RXOVER | CE_OVERRUN)) != 0;
}

DWORD DriverLossDueInMs(DWORD now)
{
    AcquireSRWLockShared(&Episode.Lock);
    DWORD due = INFINITE;
    if (Episode.Open) {
        DWORD quiet = now - Episode.LastLossAt;
        due = quiet >= DRIVER_LOSS_QUIET_MS ? 0 : DRIVER_LOSS_QUIET_MS - quiet;
    }
    ReleaseSRWLockShared(&Episode.Lock);
    return due;
}

void ReportDriverLoss()
{
    AcquireSRWLockExclusive(&Episode.Lock);
    DriverLossEpisode episode = Episode;
    Episode.Open = FALSE;
    Episode.QueueFull = Episode.Overruns = Episode.FramingErrors = Episode.ParityErrors = 0;
    ReleaseSRWLockExclusive(&Episode.Lock);
    if (!episode.Open)
        return;
    ReportServiceEvent("Received data was lost or damaged on \"%s\" (counted by its driver: input queue full "
                       "%lu, hardware overrun %lu, framing errors %lu, parity errors %lu)",
                       EVENTLOG_ERROR_TYPE, Params.PortName, episode.QueueFull, episode.Overruns,
                       episode.FramingErrors, episode.ParityErrors);
}
