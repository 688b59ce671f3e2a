#include "client/instances/LogFollower.h"

#include <stdio.h>
#include <string.h>

void StartFollowing(LogFollower *follower, int n, const char *logFilename)
{
    memset(follower, 0, sizeof *follower);
    follower->Instance = n;
    lstrcpynA(follower->Configured, logFilename, sizeof follower->Configured);
}

// The newest (by last write) existing file named like the configured one
// with anything between its stem and extension: a rotated log.
static void NewestRotated(const char *configured, char *path, size_t size)
{
    char pattern[LOG_FILENAME_SIZE + 2];
    const char *slash = strrchr(configured, '\\');
    const char *dot = strrchr(configured, '.');
    if (dot == NULL || (slash != NULL && dot < slash))
        dot = configured + strlen(configured);
    snprintf(pattern, sizeof pattern, "%.*s*%s", (int)(dot - configured), configured, dot);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    FILETIME newest = {0, 0};
    char name[MAX_PATH] = "";
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            CompareFileTime(&found.ftLastWriteTime, &newest) >= 0) {
            newest = found.ftLastWriteTime;
            lstrcpynA(name, found.cFileName, sizeof name);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    if (name[0] != '\0')
        snprintf(path, size, "%.*s%s", slash != NULL ? (int)(slash - configured) + 1 : 0, configured, name);
}

void CurrentLogOf(LogFollower *follower, char *path, size_t size)
{
    path[0] = '\0';
    if (ReadInstanceLiveStatus(follower->Instance, &follower->Status) && follower->Status.LogFile[0] != '\0') {
        lstrcpynA(path, follower->Status.LogFile, (int)size);
        return;
    }
    if (GetFileAttributesA(follower->Configured) != INVALID_FILE_ATTRIBUTES)
        lstrcpynA(path, follower->Configured, (int)size);
    else
        NewestRotated(follower->Configured, path, size);
}

// Reads from the followed file at Offset. Full sharing: the service may write,
// rotate or have the file deleted meanwhile. FALSE when it cannot be opened.
static BOOL ReadFollowed(LogFollower *f, BYTE *data, DWORD size, DWORD *count, ULONGLONG *end)
{
    *count = 0;
    HANDLE file = CreateFileA(f->Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length))
        length.QuadPart = 0;
    *end = (ULONGLONG)length.QuadPart;
    if (*end < f->Offset)           // made anew (deleted, or truncated by hand)
        f->Offset = 0;
    ULONGLONG left = *end - f->Offset;
    DWORD want = left < size ? (DWORD)left : size;
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = (DWORD)f->Offset;
    at.OffsetHigh = (DWORD)(f->Offset >> 32);
    if (want > 0 && ReadFile(file, data, want, count, &at))
        f->Offset += *count;
    CloseHandle(file);
    return TRUE;
}

// Where a view opened on a file of `end` bytes begins: its last bytes, from
// the first line that begins within them.
static ULONGLONG StartOffset(LogFollower *f, ULONGLONG end)
{
    if (end <= FOLLOW_START_BYTES)
        return 0;
    BYTE tail[FOLLOW_START_BYTES];
    DWORD got = 0;
    ULONGLONG end2;
    f->Offset = end - FOLLOW_START_BYTES;
    if (!ReadFollowed(f, tail, sizeof tail, &got, &end2))
        return end - FOLLOW_START_BYTES;
    for (DWORD i = 0; i < got; i++)
        if (tail[i] == '\n')
            return end - FOLLOW_START_BYTES + i + 1;
    return end - FOLLOW_START_BYTES;
}

int FollowLog(LogFollower *f, BYTE *data, DWORD size, DWORD *count)
{
    if (size > FOLLOW_READ_LIMIT)
        size = FOLLOW_READ_LIMIT;
    *count = 0;
    char current[LOG_FILENAME_SIZE];
    CurrentLogOf(f, current, sizeof current);
    ULONGLONG end = 0;
    if (f->Path[0] != '\0' && ReadFollowed(f, data, size, count, &end) &&
        (*count > 0 || strcmp(current, f->Path) == 0 || current[0] == '\0'))
        return 0;
    // The followed file is read to its end (or gone) and another is current.
    if (current[0] == '\0' || strcmp(current, f->Path) == 0)
        return 0;
    BOOL first = f->Path[0] == '\0';
    lstrcpynA(f->Path, current, sizeof f->Path);
    f->Offset = 0;
    if (first) {
        HANDLE file = CreateFileA(f->Path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        LARGE_INTEGER length = {};
        if (file != INVALID_HANDLE_VALUE) {
            GetFileSizeEx(file, &length);
            CloseHandle(file);
        }
        f->Offset = StartOffset(f, (ULONGLONG)length.QuadPart);
    }
    ReadFollowed(f, data, size, count, &end);
    return 1;
}
