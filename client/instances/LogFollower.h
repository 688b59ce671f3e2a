// Follows an instance's current log as it grows, for the live view: reads
// what was added since the last look, and goes on in the next file after a
// rotation (the rest of the finished one first). Each look opens the file with
// full sharing and closes it again, so the service's writes, flushes and
// rotations never meet a handle of ours. It reads the file, not the service:
// a paused or stopped instance shows its file as it is.
#pragma once

#include <windows.h>

#include "client/instances/InstanceStatus.h"

// What is shown of the file when the view opens: its last bytes, from the
// first line that begins within them.
#define FOLLOW_START_BYTES 16384
// The most one look reads (the next look goes on from there).
#define FOLLOW_READ_LIMIT 262144

struct LogFollower {
    int Instance;
    char Configured[LOG_FILENAME_SIZE];   // LogFilename: its name without a rotation stamp
    char Path[LOG_FILENAME_SIZE];         // the file followed; empty until one is found
    ULONGLONG Offset;                     // read up to here
    InstanceLiveStatus Status;
};

// Starts following instance N's log (configured as logFilename).
void StartFollowing(LogFollower *follower, int n, const char *logFilename);

// The file the instance writes now: the one its status names, else the
// configured name or, with rotation, the newest file of its pattern
// ("name*.ext"). Empty when there is none.
void CurrentLogOf(LogFollower *follower, char *path, size_t size);

// One look: up to `size` bytes added since the last look into `data`
// (*count), moving to the current file once the one followed is read to its
// end. Returns non-zero when the followed file changed (a rotation, or the
// first file found): the caller marks the change.
int FollowLog(LogFollower *follower, BYTE *data, DWORD size, DWORD *count);
