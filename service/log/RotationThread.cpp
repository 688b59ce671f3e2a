#include "service/log/RotationThread.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"
#include "service/log/LogFile.h"
#include "service/log/LogWriterThread.h"
#include "service/log/RotationCalendar.h"

// The running rotation thread (NULL: none), and the event that ends it at
// pause and stop (manual reset; cleared when the next thread starts). Only the
// start-up and the control handler start and end it.
static struct RotationState {
    HANDLE Thread;
    HANDLE EndEvent;
    // The time the next thread starts its period from; written before the
    // thread is created, read only by it.
    SYSTEMTIME Reference;
} Rotation;

DWORD WINAPI RotationThread(LPVOID)
{
    HANDLE ends[2] = {StopEvent, Rotation.EndEvent};
    SYSTEMTIME reference = Rotation.Reference;
    for (;;) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        RotationStep step = NextRotationStep(Params.LogRotation, now, &reference, OpenLogTime());
        if (step.Rotate)
            RequestLogSwap(now);
        if (WaitForMultipleObjects(2, ends, FALSE, step.WaitMs) != WAIT_TIMEOUT)
            break;
    }
    return 0;
}

int StartRotationThread(const SYSTEMTIME &reference)
{
    if (Params.LogRotation < RotationMonthly || Params.LogRotation > RotationMinutely)
        return 1;
    if (Rotation.Thread != NULL)
        return 1;               // one rotation thread at most
    if (Rotation.EndEvent == NULL) {
        Rotation.EndEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (Rotation.EndEvent == NULL) {
            ReportServiceEvent("The log rotation could not be started (error %lu)",
                               EVENTLOG_ERROR_TYPE, GetLastError());
            return 0;
        }
    }
    ResetEvent(Rotation.EndEvent);
    Rotation.Reference = reference;
    Rotation.Thread = CreateThread(NULL, 0, RotationThread, NULL, 0, NULL);
    if (Rotation.Thread == NULL) {
        ReportServiceEvent("The log rotation could not be started (error %lu)",
                           EVENTLOG_ERROR_TYPE, GetLastError());
        return 0;
    }
    return 1;
}

int ResumeRotation(const SYSTEMTIME &now)
{
    if (Params.LogRotation < RotationMonthly || Params.LogRotation > RotationMinutely)
        return 1;
    // A nightly pause across midnight must not keep the day's file open for
    // ever: the period of the open log is the reference, not the continue.
    SYSTEMTIME opened = OpenLogTime(), reference = opened;
    if (NextRotationStep(Params.LogRotation, now, &reference, opened).Rotate)
        RequestLogSwap(now);
    return StartRotationThread(now);
}

void EndRotationThread()
{
    if (Rotation.Thread == NULL)
        return;
    SetEvent(Rotation.EndEvent);
    // The thread is in its wait, which the event ends at once, or asking the
    // writer for a swap, which takes a moment: the swap itself is the writer's.
    WaitForSingleObject(Rotation.Thread, INFINITE);
    CloseHandle(Rotation.Thread);
    Rotation.Thread = NULL;
}

HANDLE RotationThreadHandle() { return Rotation.Thread; }
