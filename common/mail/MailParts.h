// A log too large for one message even zipped goes out in parts, each its
// own message with its own zip. The parts are cut at line ends, so that each
// one's zip fits the server's limit; the parts' bytes, joined in order, are
// the log.
#pragma once

#include <windows.h>

// At most this many parts (three digits in a part's name).
#define MAIL_MAX_PARTS 999

// How a log is cut: part k (1-based) is the bytes from the end of part k-1
// (0 for the first) to Ends[k-1].
struct MailPlan {
    DWORD Count;                        // parts; 0: none (the log is not cut)
    ULONGLONG Ends[MAIL_MAX_PARTS];
};

// One part as a message carries it.
struct MailPart {
    DWORD Index;        // 1 to Count
    DWORD Count;
    ULONGLONG Offset;   // its first byte in the log
    ULONGLONG Length;
};

// Cuts bytes [0, size) of an open file into parts whose deflate data, as
// ZipFileRange makes it, is at most `budget` bytes each. A part ends after
// its last line feed that fits, and inside a line only when it holds no line
// end at all (a line longer than a part can hold). Returns the number of
// parts, 0 when more than MAIL_MAX_PARTS would be needed, not even one byte
// fits, or a read fails.
DWORD PlanLogParts(HANDLE file, ULONGLONG size, ULONGLONG budget, MailPlan *plan);

// Part `index` of a plan; 0 when the plan has no such part.
int GetMailPart(const MailPlan *plan, DWORD index, MailPart *part);
