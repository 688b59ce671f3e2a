// Log rotation: the calendar waits, the swap of log files at each rotation
// time, and the thread that does both while the service runs.
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

// Swaps the log for the one named for `now`, under LogLock so the reader
// neither loses a byte nor writes into a closed file. The finished file is
// closed only once the next one is open: when the next cannot be opened the
// service reports it and keeps writing into the open file. Mails the finished
// file when mail is configured. Non-zero when the files were swapped; 0 when
// the next file could not be opened or would be the open one again, or the
// open one cannot be finished yet (bytes for it held, or it was deleted and
// cannot be made again): it then stays open until the next rotation time.
int RotateLogFile(const SYSTEMTIME &now);

// Waits for each rotation time and rotates, until the service pauses or stops.
DWORD WINAPI RotationThread(LPVOID);

// Starts the rotation thread when LogRotation is 1 to 5 and none runs yet.
// `reference` is the local time its period starts from: the time that named
// the open log at start-up, so that a boundary passing before the thread
// runs is not skipped; null at a continue (the time of the continue, so a
// rotation time that passed during the pause is not made up). Non-zero on
// success (also when there is nothing to start).
int StartRotationThread(const SYSTEMTIME *reference);

// Ends the rotation thread and waits for it. A swap that has begun is
// finished first, so the reader is never left held nor the log closed.
void EndRotationThread();
