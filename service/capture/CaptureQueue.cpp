#include "service/capture/CaptureQueue.h"
#include "service/capture/Timestamp.h"
#include "service/core/ServiceState.h"

#define QUEUE_MASK (CAPTURE_QUEUE_SIZE - 1)

// Where each stamp still queued begins (low 32 bits of its position), so
// that what a stop loses is told in received bytes. A stamp comes with at
// least one byte, so the queue holds at most this many.
#define MAX_QUEUED_STAMPS (CAPTURE_QUEUE_SIZE / (TIMESTAMP_LENGTH + 1) + 1)

// Where the queued bytes of each arrival second begin: one mark per second
// in which bytes came, so a rotation can split the queue at its boundary
// however far behind the disk is. More than an hour of a steady line; should
// a disk stall longer, the bytes of later seconds count as arriving in the
// last second marked.
#define ARRIVAL_MARKS 4096

struct ArrivalMark {
    ULONGLONG Position;
    ULONGLONG Second;           // LocalSeconds of the arrival
};

// The queue and everything about it, static: the data path allocates
// nothing, and a full disk must not make the service ask for memory. The
// reader writes only beyond Queued and the writer reads only below it, so
// the lock is held just to move the counts.
static struct CaptureQueueState {
    SRWLOCK Lock;               // everything below but Ring's bytes
    BYTE Ring[CAPTURE_QUEUE_SIZE];
    ULONGLONG Queued;           // bytes ever queued
    ULONGLONG Written;          // bytes ever taken by the writer
    // The position at the start of the ring: moved up whenever the queue is
    // empty, so that a writer keeping up touches only the ring's first pages.
    ULONGLONG Base;
    ULONGLONG Dropped;          // received bytes dropped since last counted
    BOOL Closed;                // a stop gave up on the reader
    ULONGLONG Refused;          // received bytes refused since the close
    BOOL MidLine;               // the next byte continues a line (so it gets no stamp)
    BOOL AfterGap;              // bytes were lost since the last one kept
    DWORD StampAt[MAX_QUEUED_STAMPS];
    DWORD StampFirst, StampCount;
    ArrivalMark Marks[ARRIVAL_MARKS];
    DWORD MarkFirst, MarkCount;
    // Waking the writer.
    HANDLE WriterEvent;         // auto reset
    BOOL WriterIdle;            // waiting with nothing queued
    BOOL Nudged;                // woken once for a queue over half full
    BOOL DropTold;              // woken once for a drop beginning
} Queue;

static void Lock() { AcquireSRWLockExclusive(&Queue.Lock); }
static void Unlock() { ReleaseSRWLockExclusive(&Queue.Lock); }

// How much of the stamp in slot `slot` has been written (negative: it lies
// further on). Queued bytes span far less than 2^31, so the low 32 bits tell.
static LONG StampWritten(DWORD slot) { return (LONG)((DWORD)Queue.Written - Queue.StampAt[slot]); }

static void Put(BYTE b) { Queue.Ring[(Queue.Queued++ - Queue.Base) & QUEUE_MASK] = b; }

static void PutStamp(const char *stamp)
{
    Queue.StampAt[(Queue.StampFirst + Queue.StampCount) % MAX_QUEUED_STAMPS] = (DWORD)Queue.Queued;
    Queue.StampCount++;
    for (int i = 0; i < TIMESTAMP_LENGTH; i++)
        Put((BYTE)stamp[i]);
}

static ArrivalMark *Mark(DWORD i) { return &Queue.Marks[(Queue.MarkFirst + i) % ARRIVAL_MARKS]; }

// Bytes queued from here on arrived in `second`.
static void MarkArrival(ULONGLONG second)
{
    if (Queue.MarkCount > 0 && Mark(Queue.MarkCount - 1)->Second == second)
        return;
    if (Queue.MarkCount == ARRIVAL_MARKS)
        return;
    ArrivalMark *mark = Mark(Queue.MarkCount++);
    mark->Position = Queue.Queued;
    mark->Second = second;
}

// Queues `data` with the stamps of the lines it begins (lock held). Returns
// whether the writer is to be woken.
static BOOL QueueBytes(const BYTE *data, DWORD count, const char *stamp)
{
    // The writer reads the ring only while bytes are queued.
    if (Queue.Queued == Queue.Written)
        Queue.Base = Queue.Queued;
    DWORD room = CAPTURE_QUEUE_SIZE - (DWORD)(Queue.Queued - Queue.Written);
    BOOL dropped = FALSE;
    for (DWORD i = 0; i < count; i++) {
        BYTE b = data[i];
        // After a gap even a line feed begins a line: the stamp tells where
        // the lost bytes were.
        BOOL stampHere = stamp != NULL && !Queue.MidLine && (b != '\n' || Queue.AfterGap);
        DWORD need = stampHere ? TIMESTAMP_LENGTH + 1 : 1;
        if (room < need) {
            Queue.Dropped++;
            Queue.MidLine = FALSE;
            Queue.AfterGap = TRUE;
            dropped = TRUE;
            continue;
        }
        Queue.AfterGap = FALSE;
        if (stampHere) {
            PutStamp(stamp);
            Queue.MidLine = TRUE;
        }
        Put(b);
        room -= need;
        if (b == '\r' && stamp != NULL)
            Queue.MidLine = FALSE;
    }
    if (Queue.Queued != Queue.Written && Queue.WriterIdle) {
        Queue.WriterIdle = FALSE;
        return TRUE;
    }
    if (!Queue.Nudged && Queue.Queued - Queue.Written >= CAPTURE_QUEUE_SIZE / 2) {
        Queue.Nudged = TRUE;
        return TRUE;
    }
    // A loss is told at once, even by a writer that holds (a pause).
    if (dropped && !Queue.DropTold) {
        Queue.DropTold = TRUE;
        return TRUE;
    }
    return FALSE;
}

BOOL CaptureBytes(const BYTE *data, DWORD count, const SYSTEMTIME &arrival)
{
    char stamp[TIMESTAMP_LENGTH + 1];
    BOOL stamps = Params.TimestampFormat != 0;
    if (stamps)
        FormatTimestamp(arrival, stamp);
    ULONGLONG second = LocalSeconds(arrival);

    Lock();
    if (Queue.Closed) {
        Queue.Refused += count;
        Unlock();
        return FALSE;
    }
    MarkArrival(second);
    BOOL wake = QueueBytes(data, count, stamps ? stamp : NULL);
    Unlock();
    if (wake)
        SetEvent(Queue.WriterEvent);
    return TRUE;
}

void MarkCaptureGap()
{
    Lock();
    Queue.MidLine = FALSE;
    Queue.AfterGap = TRUE;
    Unlock();
}

void CloseCaptureQueue()
{
    Lock();
    Queue.Closed = TRUE;
    Unlock();
}

ULONGLONG ForgetRefused()
{
    Lock();
    ULONGLONG refused = Queue.Refused;
    Queue.Refused = 0;
    Unlock();
    return refused;
}

// One of the counts, which the other thread changes meanwhile.
static ULONGLONG Locked(const ULONGLONG &count)
{
    Lock();
    ULONGLONG copy = count;
    Unlock();
    return copy;
}

ULONGLONG QueuedPosition() { return Locked(Queue.Queued); }

ULONGLONG WrittenPosition() { return Locked(Queue.Written); }

ULONGLONG DroppedBytes() { return Locked(Queue.Dropped); }

ULONGLONG QueuedPositionFrom(ULONGLONG boundary, ULONGLONG *arrival)
{
    Lock();
    ULONGLONG position = Queue.Queued;
    *arrival = 0;
    for (DWORD i = 0; i < Queue.MarkCount; i++) {
        const ArrivalMark *mark = Mark(i);
        if (mark->Second >= boundary) {
            // Never behind what has left the queue already.
            position = mark->Position > Queue.Written ? mark->Position : Queue.Written;
            *arrival = mark->Second;
            break;
        }
    }
    if (position > Queue.Queued)
        position = Queue.Queued;
    Unlock();
    return position;
}

DWORD PeekQueued(const BYTE **data)
{
    Lock();
    DWORD offset = (DWORD)((Queue.Written - Queue.Base) & QUEUE_MASK);
    DWORD length = (DWORD)(Queue.Queued - Queue.Written);
    Unlock();
    // The reader only ever writes beyond Queued, so this run stays as it is.
    *data = Queue.Ring + offset;
    return length < CAPTURE_QUEUE_SIZE - offset ? length : CAPTURE_QUEUE_SIZE - offset;
}

void TakeQueued(DWORD count)
{
    Lock();
    Queue.Written += count;
    while (Queue.StampCount > 0 && StampWritten(Queue.StampFirst) >= TIMESTAMP_LENGTH) {
        Queue.StampFirst = (Queue.StampFirst + 1) % MAX_QUEUED_STAMPS;
        Queue.StampCount--;
    }
    // A mark goes once the next one begins at or before what is written.
    while (Queue.MarkCount > 1 && Mark(1)->Position <= Queue.Written) {
        Queue.MarkFirst = (Queue.MarkFirst + 1) % ARRIVAL_MARKS;
        Queue.MarkCount--;
    }
    if (Queue.MarkCount == 1 && Queue.Written == Queue.Queued)
        Queue.MarkCount = 0;
    if (Queue.Queued - Queue.Written < CAPTURE_QUEUE_SIZE / 2)
        Queue.Nudged = FALSE;
    Unlock();
}

ULONGLONG QueuedReceivedBytes()
{
    Lock();
    ULONGLONG received = Queue.Queued - Queue.Written;
    for (DWORD i = 0; i < Queue.StampCount; i++) {
        // A stamp partly written already counts only with its rest.
        LONG written = StampWritten((Queue.StampFirst + i) % MAX_QUEUED_STAMPS);
        received -= written > 0 ? TIMESTAMP_LENGTH - written : TIMESTAMP_LENGTH;
    }
    Unlock();
    return received;
}

ULONGLONG ForgetDropped()
{
    Lock();
    ULONGLONG dropped = Queue.Dropped;
    Queue.Dropped = 0;
    Queue.DropTold = FALSE;
    Unlock();
    return dropped;
}

void WakeWriter() { SetEvent(Queue.WriterEvent); }

void AwaitWork(DWORD ms, BOOL gathering, BOOL holds)
{
    Lock();
    BOOL queued = Queue.Queued != Queue.Written;
    Queue.WriterIdle = !gathering && !holds && !queued;
    Unlock();
    if (queued && !holds && ms > WRITE_GATHER_MS)
        ms = WRITE_GATHER_MS;
    WaitForSingleObject(Queue.WriterEvent, ms);
    Lock();
    Queue.WriterIdle = FALSE;
    Unlock();
}

int CreateCaptureQueue()
{
    if (Queue.WriterEvent == NULL)
        Queue.WriterEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    return Queue.WriterEvent != NULL;
}

void ResetCaptureQueue()
{
    Lock();
    Queue.Queued = Queue.Written = Queue.Base = Queue.Dropped = Queue.Refused = 0;
    Queue.StampFirst = Queue.StampCount = 0;
    Queue.MarkFirst = Queue.MarkCount = 0;
    Queue.Closed = Queue.MidLine = Queue.AfterGap = FALSE;
    Queue.WriterIdle = Queue.Nudged = Queue.DropTold = FALSE;
    Unlock();
}
