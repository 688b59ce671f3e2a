// Log rotation: the calendar waits and the thread that keeps them while the
// service runs; at each rotation time it asks the writer to swap the files
// (RotateLogFile in LogWriter.h).
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

// Waits for each rotation time and rotates, until the service pauses or stops.
DWORD WINAPI RotationThread(LPVOID);

// Starts the rotation thread when LogRotation is 1 to 5 and none runs yet.
// `reference` is the local time its period starts from: the time that named
// the open log, so that a boundary passing before the thread runs is not
// skipped. Non-zero on success (also when there is nothing to start).
int StartRotationThread(const SYSTEMTIME &reference);

// At a continue, at local time `now`: when a rotation time passed during the
// pause, the swap is asked for at once (once, named for `now`), before any
// byte that waited in the driver is taken; then the schedule starts again
// from `now`. Non-zero on success.
int ResumeRotation(const SYSTEMTIME &now);

// The rotation thread's handle, NULL when none runs (unit tests).
HANDLE RotationThreadHandle();

// Ends the rotation thread and waits for it (at once: it does no disk work).
// A swap it asked for is still made by the writer.
void EndRotationThread();
