// Figures of running services' processes for the soak and scale runs:
//   procstat NAME...
// prints for each service "NAME pid=P state=S cpu_ms=C working_set_kb=W handles=H"
// (pid 0 and zeros when the service has no process).
// Under Wine GetProcessHandleCount answers 0 for another process; the
// system's handle table, which Wine keeps, is counted instead.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>

struct HandleEntry {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE Flags;
    USHORT Handle;
    PVOID Object;
    ACCESS_MASK Access;
};
struct HandleTable {
    ULONG Count;
    HandleEntry Handles[1];
};
typedef LONG(NTAPI *QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
#define SYSTEM_HANDLE_INFORMATION 16

static BYTE TableBuffer[16 << 20];

static const HandleTable *ReadHandleTable()
{
    static BOOL read;
    static const HandleTable *table;
    if (read)
        return table;
    read = TRUE;
    QuerySystemInformation query = (QuerySystemInformation)(void *)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    ULONG needed = 0;
    if (query != NULL && query(SYSTEM_HANDLE_INFORMATION, TableBuffer, sizeof TableBuffer, &needed) == 0)
        table = (const HandleTable *)TableBuffer;
    return table;
}

static DWORD CountHandles(HANDLE process, DWORD pid)
{
    DWORD count = 0;
    if (GetProcessHandleCount(process, &count) && count > 0)
        return count;
    const HandleTable *table = ReadHandleTable();
    if (table == NULL)
        return 0;
    count = 0;
    for (ULONG i = 0; i < table->Count; i++)
        if (table->Handles[i].OwnerPid == pid)
            count++;
    return count;
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
    for (int i = 1; i < argc; i++) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed;
        SC_HANDLE service = OpenServiceA(scm, argv[i], SERVICE_QUERY_STATUS);
        if (service != NULL) {
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof status,
                                 &needed);
            CloseServiceHandle(service);
        }
        ULONGLONG cpu = 0, workingSet = 0;
        DWORD handles = 0;
        HANDLE process = status.dwProcessId != 0
                             ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                           status.dwProcessId)
                             : NULL;
        if (process != NULL) {
            FILETIME created, exited, kernel, user;
            if (GetProcessTimes(process, &created, &exited, &kernel, &user))
                cpu = Milliseconds(kernel) + Milliseconds(user);
            PROCESS_MEMORY_COUNTERS memory = {};
            memory.cb = sizeof memory;
            if (GetProcessMemoryInfo(process, &memory, sizeof memory))
                workingSet = memory.WorkingSetSize / 1024;
            handles = CountHandles(process, status.dwProcessId);
            CloseHandle(process);
        }
        printf("%s pid=%lu state=%lu cpu_ms=%llu working_set_kb=%llu handles=%lu\n", argv[i],
               status.dwProcessId, status.dwCurrentState, cpu, workingSet, handles);
    }
    CloseServiceHandle(scm);
    return 0;
}
