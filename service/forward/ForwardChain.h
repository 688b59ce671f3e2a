// The forwarder's queue is the log files themselves: this records, in the
// service's Forward key, every log the writer opens, in order, and the
// forwarder's place in them, so that an outage, a restart, a kill or a
// reboot loses no line. One REG_SZ value per log, named by an eight-digit
// sequence number and holding its path; "Position" holds the place:
//   file=00000012 offset=104857
// Every change is one value written or deleted, then flushed. Logs before
// the place are removed once nothing can go back to them.
#pragma once

#include <windows.h>

#include "service/core/ServiceState.h"

// More logs than minutely rotation makes in eleven days: only an outage
// that long fills it, and it bounds what the chain adds to the registry.
#define FORWARD_MAX_LOGS 16384
#define FORWARD_POSITION_VALUE "Position"

// Forwarding is configured: ForwardTo names a collector.
BOOL ForwardingConfigured();

// The writer opened a log (at start and at each rotation): it joins the
// chain unless it is the newest already (a restart into the same file).
// The first log of a new chain is forwarded from its end as it was opened:
// what it held before is not sent. Without forwarding, a chain left by an
// earlier configuration is removed, so that turning it on again starts
// afresh.
void NoteLogOpened(const char *path);

// The newest log's sequence number (0: none yet).
DWORD NewestForwardLog();

// The path of log `sequence` into path. 1 when found, 0 when there is no such
// log, -1 when the registry failed.
int ForwardLogPath(DWORD sequence, char *path, size_t size);

// The first log after `sequence` in the chain (normally sequence + 1; after
// values removed by hand, the next there is). Non-zero when there is one.
int NextForwardLog(DWORD sequence, DWORD *next);

// The place saved last: non-zero when there is one. Without one, the
// oldest log from its start.
int ReadForwardPosition(DWORD *sequence, ULONGLONG *offset);

// Saves the place (flushed) and removes the logs before `keepFrom`.
// Non-zero on success.
int SaveForwardPosition(DWORD sequence, ULONGLONG offset, DWORD keepFrom);

// The place's text, and back (exactly that form). Non-zero on success.
int FormatForwardPosition(DWORD sequence, ULONGLONG offset, char *text, size_t size);
int ParseForwardPosition(const char *text, DWORD *sequence, ULONGLONG *offset);

// Forgets the open key and what it knew (unit tests).
void CloseForwardChain();
