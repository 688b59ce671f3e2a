// Figures of running services' processes for the soak and scale runs:
//   procstat NAME...          (at most 64)
// prints for each service "NAME pid=P state=S cpu_ms=C working_set_kb=W handles=H"
// (pid 0 and zeros when the service has no process).
// Under Wine GetProcessHandleCount answers 0 for another process; the
// handles are then counted by duplicating each possible handle value (Wine
// numbers them 4, 8, 12, ... from the bottom, reusing the lowest free one),
// up to a run of values that are no handle. Wine's own wait handles of I/O
// in progress (an overlapped read, a flush) come and go with the call and
// have no type name: they are not counted. The system's handle table
// (NtQuerySystemInformation) would give the same list, but reading it now
// and then brought Wine 8's wineserver down within minutes. The count given
// is the one most of five reads agree on.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <stdio.h>

#define READS 5
#define READ_SPACING_MS 100
#define MAX_SERVICES 64

#define HIGHEST_HANDLE 0x10000
#define EMPTY_RUN 64

typedef LONG(NTAPI *QueryObject)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

// Whether a handle's object has a type name (Wine's I/O wait handles have none).
static BOOL HasTypeName(HANDLE handle)
{
    static QueryObject query = (QueryObject)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                                   "NtQueryObject");
    static BYTE info[4096];
    ULONG needed = 0;
    if (query == NULL || query(handle, ObjectTypeInformation, info, sizeof info, &needed) != 0)
        return TRUE;
    return ((const UNICODE_STRING *)info)->Length > 0;
}

static DWORD CountByDuplicating(HANDLE process)
{
    DWORD count = 0, empty = 0;
    for (ULONG_PTR value = 4; value < HIGHEST_HANDLE && empty < EMPTY_RUN; value += 4) {
        HANDLE copy;
        if (DuplicateHandle(process, (HANDLE)value, GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS)) {
            if (HasTypeName(copy))
                count++;
            CloseHandle(copy);
            empty = 0;
        } else {
            empty++;
        }
    }
    return count;
}

// The value most of the reads gave; of equally common ones the smallest.
static DWORD MostCommon(const DWORD *values, int n)
{
    DWORD best = 0;
    int bestTimes = 0;
    for (int i = 0; i < n; i++) {
        int times = 0;
        for (int j = 0; j < n; j++)
            times += values[j] == values[i];
        if (times > bestTimes || (times == bestTimes && values[i] < best)) {
            best = values[i];
            bestTimes = times;
        }
    }
    return best;
}

static ULONGLONG Milliseconds(const FILETIME &t)
{
    return (((ULONGLONG)t.dwHighDateTime << 32) | t.dwLowDateTime) / 10000;
}

int main(int argc, char **argv)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (scm == NULL) {
        printf("error OpenSCManager %lu\n", GetLastError());
        return 1;
    }
    int n = argc - 1 < MAX_SERVICES ? argc - 1 : MAX_SERVICES;
    DWORD pids[MAX_SERVICES] = {}, states[MAX_SERVICES] = {}, handles[MAX_SERVICES] = {};
    DWORD counts[MAX_SERVICES][READS] = {};
    HANDLE processes[MAX_SERVICES] = {};
    for (int i = 0; i < n; i++) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed;
        SC_HANDLE service = OpenServiceA(scm, argv[i + 1], SERVICE_QUERY_STATUS);
        if (service != NULL) {
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof status,
                                 &needed);
            CloseServiceHandle(service);
        }
        pids[i] = status.dwProcessId;
        states[i] = status.dwCurrentState;
        if (pids[i] != 0)
            processes[i] = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE,
                                       FALSE, pids[i]);
    }
    for (int round = 0; round < READS; round++) {
        if (round > 0)
            Sleep(READ_SPACING_MS);
        for (int i = 0; i < n; i++) {
            DWORD count = 0;
            if (processes[i] == NULL)
                continue;
            if (!GetProcessHandleCount(processes[i], &count) || count == 0)
                count = CountByDuplicating(processes[i]);
            counts[i][round] = count;
        }
    }
    for (int i = 0; i < n; i++)
        handles[i] = MostCommon(counts[i], READS);
    for (int i = 0; i < n; i++) {
        ULONGLONG cpu = 0, workingSet = 0;
        if (processes[i] != NULL) {
            FILETIME created, exited, kernel, user;
            if (GetProcessTimes(processes[i], &created, &exited, &kernel, &user))
                cpu = Milliseconds(kernel) + Milliseconds(user);
            PROCESS_MEMORY_COUNTERS memory = {};
            memory.cb = sizeof memory;
            if (GetProcessMemoryInfo(processes[i], &memory, sizeof memory))
                workingSet = memory.WorkingSetSize / 1024;
            CloseHandle(processes[i]);
        }
        printf("%s pid=%lu state=%lu cpu_ms=%llu working_set_kb=%llu handles=%lu\n", argv[i + 1],
               pids[i], states[i], cpu, workingSet, handles[i]);
    }
    CloseServiceHandle(scm);
    return 0;
}
