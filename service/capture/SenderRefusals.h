// Senders that AllowedSenders keeps out: each connection or datagram from one
// is refused, and reported once per address and hour, so that a stray or
// hostile sender cannot flood the event log.
#pragma once

#include <windows.h>

#define REFUSAL_REPORT_INTERVAL_MS (60 * 60 * 1000)
// The addresses remembered; the one reported longest ago gives way.
#define REFUSALS_REMEMBERED 64

// Whether a refusal of this sender (family 4 or 6, its bytes) at tick count
// `now` is to be reported; notes it when it is.
int RefusalToReport(int family, const BYTE *address, DWORD now);

// Forgets every refusal (start of a run, unit tests).
void ForgetRefusals();
