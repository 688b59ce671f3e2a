#include "service/capture/CaptureQueue.h"
#include "service/capture/Timestamp.h"
#include "service/core/ServiceState.h"

#define QUEUE_MASK (CAPTURE_QUEUE_SIZE - 1)

BOOL LineStart;

// Static: the data path allocates nothing, and a full disk must not make the
// service ask for memory.
static BYTE Queue[CAPTURE_QUEUE_SIZE];
static ULONGLONG Queued;        // bytes ever queued
static ULONGLONG Written;       // bytes ever taken by the writer
// The position at the start of the ring: moved up whenever the queue is
// empty, so that a writer keeping up touches only the ring's first pages.
static ULONGLONG Base;
static ULONGLONG Dropped;       // received bytes dropped since last counted
static BOOL Held;
static BOOL AfterGap;            // bytes were dropped since the last one kept

// Where each stamp still queued begins (low 32 bits of its position), so
// that what a stop loses is told in received bytes. A stamp comes with at
// least one byte, so the queue holds at most this many.
#define MAX_QUEUED_STAMPS (CAPTURE_QUEUE_SIZE / (TIMESTAMP_LENGTH + 1) + 1)
static DWORD StampAt[MAX_QUEUED_STAMPS];
static DWORD StampFirst, StampCount;

static HANDLE WriterEvent;      // auto reset
static BOOL WriterIdle;         // waiting with nothing queued
static BOOL Nudged;             // woken once for a queue over half full

// How much of the stamp in slot `slot` has been written (negative: it lies
// further on). Queued bytes span far less than 2^31, so the low 32 bits tell.
static LONG StampWritten(DWORD slot) { return (LONG)((DWORD)Written - StampAt[slot]); }

static void Put(BYTE b) { Queue[(Queued++ - Base) & QUEUE_MASK] = b; }

static void PutStamp(const char *stamp)
{
    StampAt[(StampFirst + StampCount) % MAX_QUEUED_STAMPS] = (DWORD)Queued;
    StampCount++;
    for (int i = 0; i < TIMESTAMP_LENGTH; i++)
        Put((BYTE)stamp[i]);
}

BOOL CaptureBytes(const BYTE *data, DWORD count, const SYSTEMTIME &arrival, BOOL atStop)
{
    BOOL stamps = Params.TimestampFormat != 0;
    char stamp[TIMESTAMP_LENGTH + 1];
    if (stamps)
        FormatTimestamp(arrival, stamp);

    EnterCriticalSection(&CaptureLock);
    if (Held && !atStop) {
        LeaveCriticalSection(&CaptureLock);
        return FALSE;
    }
    // The writer reads the ring only while bytes are queued.
    if (Queued == Written)
        Base = Queued;
    DWORD room = CAPTURE_QUEUE_SIZE - (DWORD)(Queued - Written);
    for (DWORD i = 0; i < count; i++) {
        BYTE b = data[i];
        // After a gap even a line feed begins a line: the stamp tells where
        // the lost bytes were.
        BOOL stampHere = stamps && LineStart && (b != '\n' || AfterGap);
        DWORD need = stampHere ? TIMESTAMP_LENGTH + 1 : 1;
        if (room < need) {
            Dropped++;
            LineStart = stamps;
            AfterGap = TRUE;
            continue;
        }
        AfterGap = FALSE;
        if (stampHere) {
            PutStamp(stamp);
            LineStart = FALSE;
        }
        Put(b);
        room -= need;
        if (b == '\r' && stamps)
            LineStart = TRUE;
    }
    BOOL wake = FALSE;
    if (Queued != Written && WriterIdle) {
        WriterIdle = FALSE;
        wake = TRUE;
    } else if (!Nudged && Queued - Written >= CAPTURE_QUEUE_SIZE / 2) {
        Nudged = TRUE;
        wake = TRUE;
    }
    LeaveCriticalSection(&CaptureLock);
    if (wake)
        SetEvent(WriterEvent);
    return TRUE;
}

void MarkCaptureGap()
{
    EnterCriticalSection(&CaptureLock);
    LineStart = Params.TimestampFormat != 0;
    AfterGap = TRUE;
    LeaveCriticalSection(&CaptureLock);
}

static void SetHeld(BOOL held)
{
    EnterCriticalSection(&CaptureLock);
    Held = held;
    LeaveCriticalSection(&CaptureLock);
}

void HoldCaptureQueue() { SetHeld(TRUE); }

void ReleaseCaptureQueue() { SetHeld(FALSE); }

BOOL CaptureQueueHeld()
{
    EnterCriticalSection(&CaptureLock);
    BOOL held = Held;
    LeaveCriticalSection(&CaptureLock);
    return held;
}

// One of the counts, which the other thread changes meanwhile.
static ULONGLONG Locked(const ULONGLONG &count)
{
    EnterCriticalSection(&CaptureLock);
    ULONGLONG copy = count;
    LeaveCriticalSection(&CaptureLock);
    return copy;
}

ULONGLONG QueuedPosition() { return Locked(Queued); }

ULONGLONG WrittenPosition() { return Locked(Written); }

ULONGLONG DroppedBytes() { return Locked(Dropped); }

DWORD PeekQueued(const BYTE **data)
{
    EnterCriticalSection(&CaptureLock);
    DWORD offset = (DWORD)((Written - Base) & QUEUE_MASK);
    DWORD length = (DWORD)(Queued - Written);
    LeaveCriticalSection(&CaptureLock);
    // The reader only ever writes beyond Queued, so this run stays as it is.
    *data = Queue + offset;
    return length < CAPTURE_QUEUE_SIZE - offset ? length : CAPTURE_QUEUE_SIZE - offset;
}

void TakeQueued(DWORD count)
{
    EnterCriticalSection(&CaptureLock);
    Written += count;
    while (StampCount > 0 && StampWritten(StampFirst) >= TIMESTAMP_LENGTH) {
        StampFirst = (StampFirst + 1) % MAX_QUEUED_STAMPS;
        StampCount--;
    }
    if (Queued - Written < CAPTURE_QUEUE_SIZE / 2)
        Nudged = FALSE;
    LeaveCriticalSection(&CaptureLock);
}

ULONGLONG QueuedReceivedBytes()
{
    EnterCriticalSection(&CaptureLock);
    ULONGLONG received = Queued - Written;
    for (DWORD i = 0; i < StampCount; i++) {
        // A stamp partly written already counts only with its rest.
        LONG written = StampWritten((StampFirst + i) % MAX_QUEUED_STAMPS);
        received -= written > 0 ? TIMESTAMP_LENGTH - written : TIMESTAMP_LENGTH;
    }
    LeaveCriticalSection(&CaptureLock);
    return received;
}

ULONGLONG ForgetDropped()
{
    EnterCriticalSection(&CaptureLock);
    ULONGLONG dropped = Dropped;
    Dropped = 0;
    LeaveCriticalSection(&CaptureLock);
    return dropped;
}

void WakeWriter() { SetEvent(WriterEvent); }

void AwaitWork(DWORD ms, BOOL gathering)
{
    EnterCriticalSection(&CaptureLock);
    BOOL queued = Queued != Written;
    WriterIdle = !gathering && !queued;
    LeaveCriticalSection(&CaptureLock);
    if (queued && ms > WRITE_GATHER_MS)
        ms = WRITE_GATHER_MS;
    WaitForSingleObject(WriterEvent, ms);
    EnterCriticalSection(&CaptureLock);
    WriterIdle = FALSE;
    LeaveCriticalSection(&CaptureLock);
}

int CreateCaptureQueue()
{
    if (WriterEvent == NULL)
        WriterEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    return WriterEvent != NULL;
}

void ResetCaptureQueue()
{
    EnterCriticalSection(&CaptureLock);
    Queued = Written = Base = Dropped = 0;
    StampFirst = StampCount = 0;
    Held = AfterGap = WriterIdle = Nudged = FALSE;
    LeaveCriticalSection(&CaptureLock);
}
