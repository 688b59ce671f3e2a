// Losses the port's driver reports through ClearCommError: bytes it had no
// room for (CE_RXOVER, CE_OVERRUN) and bytes it received damaged (CE_FRAME,
// CE_RXPARITY). Counted by the reader while they come and reported once per
// episode, when the driver has reported none for a while, with the counts:
// by the writer thread, so that no line waits behind the event log.
#pragma once

#include <windows.h>

// How long the driver must report no loss for an episode to end.
#define DRIVER_LOSS_QUIET_MS 5000

// The error flags of one ClearCommError, at tick count `now`. True when
// bytes were lost (not only damaged): the next byte begins a line of its own.
BOOL NoteCommErrors(DWORD errors, DWORD now);

// Milliseconds from `now` until the open episode ends (0: it has ended);
// INFINITE when none is open.
DWORD DriverLossDueInMs(DWORD now);

// Reports the open episode, if any, and closes it (at its end, and when the
// port fails or the service stops).
void ReportDriverLoss();
