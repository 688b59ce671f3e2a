// The calendar of log rotation: how long to the next rotation time, which
// period of the clock a time lies in, and where the open log's period ends.
// The rotation thread (RotationThread.h) keeps these times; the writer
// splits the capture queue at the boundaries.
#pragma once

#include <windows.h>

// Milliseconds from local time `now` to the next rotation time of kind
// `rotation` (LogRotation 1 to 5), read off the calendar as the clock shows
// it. Counted in whole seconds: the milliseconds of `now` are left out, so a
// rotation comes just after its boundary, never before it. Monthly waits
// like daily (RotationDue then decides). 0 for codes that do not rotate.
DWORD RotationWaitMs(DWORD rotation, const SYSTEMTIME &now);

// The longest single wait of the rotation thread. Every wake reads the clock
// again, so a daylight-saving change or a clock set by hand within a wait
// moves the next rotation with it (at most this late).
#define ROTATION_MAX_WAIT_MS (60UL * 60 * 1000)

// A clock that goes back by more than this is taken as set back by hand,
// and the schedule follows it; a smaller step back (a daylight-saving night
// repeating an hour) waits until the clock passes the time it had reached,
// so no file name of that hour is used twice.
#define CLOCK_SET_BACK_MINUTES (3 * 60)

// The calendar period of `t` that a rotation of kind `rotation` ends: its
// minute, hour, day (daily and monthly, which looks at every midnight) or
// week (from Sunday 00:00), as a number that grows with time.
LONGLONG RotationPeriod(DWORD rotation, const SYSTEMTIME &t);

// Where the period of `openedAt` ends for a rotation of kind `rotation`
// (LogRotation 1 to 5): the next minute, hour, midnight, Sunday midnight or
// first of a month, as LocalSeconds. Bytes that arrive from then on belong to
// the next file. ~0 for codes that do not rotate.
ULONGLONG RotationBoundaryAfter(DWORD rotation, const SYSTEMTIME &openedAt);

// Whether a rotation time reached at `now` changes files: always, except for
// the monthly kind while the month is still that of the open log, opened at
// local time `openedAt`.
BOOL RotationDue(DWORD rotation, const SYSTEMTIME &now, const SYSTEMTIME &openedAt);

// One look at the clock by the rotation thread, at local time `now`.
// `reference` is the time whose period the thread is in: the time that named
// the log at start-up, the time of a continue after a pause, the time of the
// last rotation time since. When a rotation time has passed since
// `reference`, it moves to `now` and Rotate says whether to swap files; Wait
// is how long to wait before the next look.
struct RotationStep {
    BOOL Rotate;
    DWORD WaitMs;
};
RotationStep NextRotationStep(DWORD rotation, const SYSTEMTIME &now, SYSTEMTIME *reference,
                              const SYSTEMTIME &openedAt);
