// Stand-in wtsapi32.dll for the end-to-end tests: a fake session list from the
// setting TALLY_WTS_SESSIONS ("id:user:state;..." with the WTS_CONNECTSTATE_CLASS
// number, 0 for active) and a WTSSendMessageA that records each call.
#include "tests/tools/StandInRecord.h"

#include <stdlib.h>
#include <wtsapi32.h>

#define MAX_SESSIONS 16

struct FakeSession {
    DWORD id;
    char user[64];
    DWORD state;
};

static int ReadSessions(FakeSession *sessions)
{
    char list[1024];
    if (!StandInSetting("TALLY_WTS_SESSIONS", list, sizeof list))
        return 0;
    int count = 0;
    char *context = NULL;
    for (char *piece = strtok_s(list, ";", &context); piece && count < MAX_SESSIONS;
         piece = strtok_s(NULL, ";", &context)) {
        char *user = strchr(piece, ':');
        char *state = user ? strchr(user + 1, ':') : NULL;
        if (!state)
            continue;
        *user++ = '\0';
        *state++ = '\0';
        sessions[count].id = strtoul(piece, NULL, 10);
        lstrcpynA(sessions[count].user, user, sizeof sessions[count].user);
        sessions[count].state = strtoul(state, NULL, 10);
        count++;
    }
    return count;
}

extern "C" __declspec(dllexport) BOOL WINAPI WTSEnumerateSessionsA(HANDLE, DWORD, DWORD,
                                                                   PWTS_SESSION_INFOA *info,
                                                                   DWORD *count)
{
    FakeSession fake[MAX_SESSIONS];
    int n = ReadSessions(fake);
    // One block, names after the array, freed with WTSFreeMemory.
    char *block = (char *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                    MAX_SESSIONS * (sizeof(WTS_SESSION_INFOA) + 16));
    if (!block)
        return FALSE;
    PWTS_SESSION_INFOA sessions = (PWTS_SESSION_INFOA)block;
    char *names = block + MAX_SESSIONS * sizeof(WTS_SESSION_INFOA);
    for (int i = 0; i < n; i++) {
        sessions[i].SessionId = fake[i].id;
        sessions[i].State = (WTS_CONNECTSTATE_CLASS)fake[i].state;
        snprintf(names + 16 * i, 16, "Session%lu", (unsigned long)fake[i].id);
        sessions[i].pWinStationName = names + 16 * i;
    }
    *info = sessions;
    *count = n;
    return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI WTSQuerySessionInformationA(HANDLE, DWORD session,
                                                                         WTS_INFO_CLASS what,
                                                                         LPSTR *buffer,
                                                                         DWORD *bytes)
{
    FakeSession fake[MAX_SESSIONS];
    int n = ReadSessions(fake);
    for (int i = 0; i < n; i++) {
        if (fake[i].id != session || what != WTSUserName)
            continue;
        DWORD size = (DWORD)strlen(fake[i].user) + 1;
        char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, size);
        if (!copy)
            return FALSE;
        memcpy(copy, fake[i].user, size);
        *buffer = copy;
        *bytes = size;
        return TRUE;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

extern "C" __declspec(dllexport) void WINAPI WTSFreeMemory(PVOID memory)
{
    HeapFree(GetProcessHeap(), 0, memory);
}

extern "C" __declspec(dllexport) BOOL WINAPI WTSSendMessageA(HANDLE, DWORD session, LPSTR title,
                                                             DWORD titleLength, LPSTR message,
                                                             DWORD messageLength, DWORD style,
                                                             DWORD timeout, DWORD *response,
                                                             BOOL wait)
{
    char titleText[256], messageText[1024], line[2048];
    lstrcpynA(titleText, title ? title : "(null)",
              titleLength + 1 < sizeof titleText ? titleLength + 1 : sizeof titleText);
    lstrcpynA(messageText, message ? message : "(null)",
              messageLength + 1 < sizeof messageText ? messageLength + 1 : sizeof messageText);
    snprintf(line, sizeof line, "WTSSendMessageA\t%lu\t%s\t%lu\t%s\t%lu\t0x%lx\t%lu\t%d",
             (unsigned long)session, titleText, (unsigned long)titleLength, messageText,
             (unsigned long)messageLength, (unsigned long)style, (unsigned long)timeout,
             wait ? 1 : 0);
    AppendRecord(line);
    if (response)
        *response = IDASYNC;
    return TRUE;
}
