#include "common/mail/MailParts.h"

#include "common/mail/ZipStream.h"

static BYTE Chunk[ZIP_FLUSH_INTERVAL];

// The end of the part that begins at `start`, or `start` when nothing fits.
// The part's data is deflated as its zip will be, chunk by chunk between
// flush points, where its size so far is exact; within a chunk a part may
// end wherever the bound from the last flush point still fits.
static ULONGLONG PlanPart(HANDLE file, ULONGLONG start, ULONGLONG size, ULONGLONG budget)
{
    LARGE_INTEGER seek;
    seek.QuadPart = (LONGLONG)start;
    if (!SetFilePointerEx(file, seek, NULL, FILE_BEGIN) || !ZipBegin("", size - start, NULL, NULL, NULL))
        return start;
    ULONGLONG at = start;       // a flush point
    ULONGLONG lineEnd = start;  // the furthest line end that fits so far
    ULONGLONG end = start;
    for (;;) {
        ULONGLONG left = size - at;
        DWORD want = left < sizeof Chunk ? (DWORD)left : (DWORD)sizeof Chunk;
        ULONGLONG deflated = ZipDeflatedSize();
        ULONGLONG reach = budget > deflated ? ZipLargestWithin(budget - deflated) : 0;
        DWORD read = 0;
        if (!ReadFile(file, Chunk, want, &read, NULL) || read != want || !ZipWrite(Chunk, read))
            break;
        for (DWORD i = reach < read ? (DWORD)reach : read; i > 0; i--) {
            if (Chunk[i - 1] == '\n') {
                lineEnd = at + i;
                break;
            }
        }
        if (at + read == size) {
            // The rest of the log: its size is known exactly once finished.
            if (ZipEnd() && ZipDeflatedSize() <= budget) {
                end = size;
                break;
            }
        } else if (ZipDeflateBound(0) + ZipDeflatedSize() <= budget) {
            at += read;
            continue;
        }
        // This chunk does not fit whole: end at the last line end that fits,
        // or, in a line longer than a part, as far into it as fits.
        if (lineEnd > start)
            end = lineEnd;
        else
            end = at + (reach < read ? reach : read);
        break;
    }
    ZipAbandon();
    return end;
}

DWORD PlanLogParts(HANDLE file, ULONGLONG size, ULONGLONG budget, MailPlan *plan)
{
    plan->Count = 0;
    DWORD count = 0;
    for (ULONGLONG start = 0; start < size;) {
        if (count == MAIL_MAX_PARTS)
            return 0;
        ULONGLONG end = PlanPart(file, start, size, budget);
        if (end <= start)
            return 0;
        plan->Ends[count++] = end;
        start = end;
    }
    plan->Count = count;
    return count;
}

int GetMailPart(const MailPlan *plan, DWORD index, MailPart *part)
{
    if (plan == NULL || index < 1 || index > plan->Count || plan->Count > MAIL_MAX_PARTS)
        return 0;
    part->Index = index;
    part->Count = plan->Count;
    part->Offset = index == 1 ? 0 : plan->Ends[index - 2];
    part->Length = plan->Ends[index - 1] - part->Offset;
    return 1;
}
