#include "client/instances/InstanceRestart.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "client/instances/InstanceCommands.h"
#include "client/instances/ProgramFolder.h"
#include "client/instances/ServiceControl.h"

#define STOPPED_SECTION "stopped"
#define SERVICE_PROGRAM_FILE_NAME "\\tallysvc.exe"

void ReportCommandLine(CommandReport report, const char *format, ...)
{
    char line[1200];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (report != NULL)
        report(line);
}

static DWORD CurrentState(int n)
{
    QueryInstanceStatus(n);
    return InstanceTable[n].LastStatus.dwCurrentState;
}

// 'R' for an instance that runs or is on its way there, 'P' for a paused
// one, 0 for one that is stopped or already stopping (it stays stopped).
static char StateToRestore(DWORD state)
{
    switch (state) {
    case SERVICE_RUNNING:
    case SERVICE_START_PENDING:
    case SERVICE_CONTINUE_PENDING:
        return 'R';
    case SERVICE_PAUSED:
    case SERVICE_PAUSE_PENDING:
        return 'P';
    }
    return 0;
}

// Starts instance N and, when it was paused, pauses it again. Non-zero when
// it got back to that state.
static int StartAgain(int n, char state)
{
    if (InstanceTable[n].ServiceHandle == NULL || !StartInstanceService(InstanceTable[n].ServiceHandle))
        return 0;
    DWORD started = GetTickCount();
    while (CurrentState(n) == SERVICE_START_PENDING && GetTickCount() - started < INSTANCE_START_WAIT_MS)
        Sleep(100);
    if (InstanceTable[n].LastStatus.dwCurrentState != SERVICE_RUNNING)
        return 0;
    if (state == 'P')
        PauseInstances(&n, 1);
    return 1;
}

// Stops the listed instances and waits; returns the first that did not stop,
// 0 when all did.
static int StopAndWait(const int *numbers, int count)
{
    StopInstances(numbers, count);
    if (WaitForServicesStopped(numbers, count, INSTANCE_STOP_WAIT_MS, NULL))
        return 0;
    for (int i = 0; i < count; i++)
        if (CurrentState(numbers[i]) != SERVICE_STOPPED)
            return numbers[i];
    return 0;
}

// Deletes the list once no instance is left in it.
static void RemoveEmptyList(const char *file)
{
    char keys[8];
    if (GetPrivateProfileStringA(STOPPED_SECTION, NULL, "", keys, sizeof keys, file) == 0)
        DeleteFileA(file);
}

// A list of stopped instances decides what a privileged caller starts: one
// that others could change or put in its place is not used. Non-zero when
// file may be used; otherwise says why.
static int ListIsClosedToOthers(const char *file, CommandReport report)
{
    DWORD error = 0;
    int writable = FileOrItsFolderLetsOthersWrite(file, &error);
    if (writable == 0)
        return 1;
    if (writable < 0)
        ReportCommandLine(report, "The permissions of the list of stopped instances %s could not be read (error %lu)",
                          file, error);
    else
        ReportCommandLine(report, "The list of stopped instances %s is not used: users who are not administrators "
                                  "can change it or its folder",
                          file);
    return 0;
}

int StopAllInstances(const char *file, CommandReport report)
{
    // Instances a list already holds stay in it: a start that failed leaves
    // them there for the next start (a rollback's) to bring back.
    if (!ListIsClosedToOthers(file, report))
        return INSTANCES_NOT_REACHED;
    LoadInstances();
    if (ScmHandle == NULL)
        return INSTANCES_NOT_REACHED;   // nothing is known to be stopped
    int numbers[MAX_INSTANCES];
    char states[MAX_INSTANCES + 1] = {0};
    int count = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        if (!InstanceTable[n].InUse || InstanceTable[n].ServiceHandle == NULL)
            continue;
        DWORD state = InstanceTable[n].LastStatus.dwCurrentState;
        if (state == SERVICE_STOPPED || state == 0)
            continue;
        numbers[count++] = n;
        states[n] = StateToRestore(state);
        ReportCommandLine(report, "Stopping " SERVICE_BASE_NAME "%d", n);
    }
    int hung = StopAndWait(numbers, count);
    for (int i = 0; i < count && !hung; i++) {
        char value[2] = {states[numbers[i]], '\0'};
        char key[8];
        snprintf(key, sizeof key, "%d", numbers[i]);
        if (value[0] != 0 && !WritePrivateProfileStringA(STOPPED_SECTION, key, value, file)) {
            ReportCommandLine(report, "The list of stopped instances could not be written to %s", file);
            hung = -1;
        }
    }
    if (hung != 0) {
        if (hung > 0)
            ReportCommandLine(report, "The service " SERVICE_BASE_NAME "%d did not stop.", hung);
        // Those this call stopped run again; one that does not stays listed.
        for (int i = 0; i < count; i++) {
            int n = numbers[i];
            if (states[n] == 0 || CurrentState(n) != SERVICE_STOPPED)
                continue;
            char key[8], value[2] = {states[n], '\0'};
            snprintf(key, sizeof key, "%d", n);
            WritePrivateProfileStringA(STOPPED_SECTION, key, StartAgain(n, states[n]) ? NULL : value, file);
        }
        RemoveEmptyList(file);
    }
    CloseServiceHandles();
    return hung < 0 ? INSTANCES_NOT_REACHED : hung;
}

int ServiceCommandProgram(const char *commandLine, char *program, size_t size)
{
    const char *start = commandLine;
    size_t length = strlen(commandLine);
    if (start[0] == '"') {
        start++;
        const char *end = strchr(start, '"');
        length = end != NULL ? (size_t)(end - start) : strlen(start);
    }
    if (length >= size)
        return 0;
    memcpy(program, start, length);
    program[length] = '\0';
    return 1;
}

// Whether instance N's service runs a tallysvc.exe other than ours.
static int RunsAnotherCopy(int n, const char *ours)
{
    static BYTE buffer[8192];
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)buffer;
    char program[MAX_PATH + 3];
    if (!QueryServiceConfigA(InstanceTable[n].ServiceHandle, config, sizeof buffer, &needed) ||
        config->lpBinaryPathName == NULL || !ServiceCommandProgram(config->lpBinaryPathName, program, sizeof program))
        return 0;
    size_t length = strlen(program), name = strlen(SERVICE_PROGRAM_FILE_NAME);
    return length > name && _stricmp(program + length - name, SERVICE_PROGRAM_FILE_NAME) == 0 &&
           _stricmp(program, ours) != 0;
}

int StartStoppedInstances(const char *file, CommandReport report)
{
    int failed = 0;
    char reason[1024];
    int secure = SecureServiceProgramFolder(reason, sizeof reason);
    if (!secure) {
        ReportCommandLine(report, "%s", reason);
        failed++;
    }
    char ours[MAX_PATH + 3], quoted[MAX_PATH + 3];
    if (!ServiceProgramPath(ours, sizeof ours, 0) || !ServiceProgramPath(quoted, sizeof quoted, 1))
        secure = 0;
    LoadInstances();
    if (ScmHandle == NULL)
        failed++;
    char states[MAX_INSTANCES + 1] = {0};
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        if (!InstanceTable[n].InUse || InstanceTable[n].ServiceHandle == NULL || !secure || !RunsAnotherCopy(n, ours))
            continue;
        char state = StateToRestore(CurrentState(n));
        if (InstanceTable[n].LastStatus.dwCurrentState != SERVICE_STOPPED && StopAndWait(&n, 1) != 0) {
            ReportCommandLine(report,
                              "The service " SERVICE_BASE_NAME "%d did not stop, so it still runs its old program.", n);
            failed++;
            continue;
        }
        if (!ChangeServiceConfigA(InstanceTable[n].ServiceHandle, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                  SERVICE_NO_CHANGE, quoted, NULL, NULL, NULL, NULL, NULL, NULL)) {
            ReportCommandLine(report, "The service " SERVICE_BASE_NAME "%d could not be pointed at %s.", n, ours);
            failed++;
        } else {
            RegisterInstanceEventSource(n);
            ReportCommandLine(report, SERVICE_BASE_NAME "%d now runs %s", n, ours);
        }
        states[n] = state;
    }
    if (file != NULL && !ListIsClosedToOthers(file, report)) {
        failed++;
        file = NULL;
    }
    for (int n = 1; n <= MAX_INSTANCES && file != NULL; n++) {
        char key[8], value[4];
        snprintf(key, sizeof key, "%d", n);
        GetPrivateProfileStringA(STOPPED_SECTION, key, "", value, sizeof value, file);
        if (states[n] == 0 && (value[0] == 'R' || value[0] == 'P') && value[1] == '\0')
            states[n] = value[0];
    }
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        if (states[n] == 0)
            continue;
        int back = !InstanceTable[n].InUse;   // an instance deleted meanwhile is not waited for
        if (!back) {
            ReportCommandLine(report, "Starting " SERVICE_BASE_NAME "%d", n);
            back = StartAgain(n, states[n]);
        }
        if (!back) {
            // Left in the list: the next start (a rollback's) tries it again.
            ReportCommandLine(report, "The service " SERVICE_BASE_NAME "%d did not start again.", n);
            failed++;
        } else if (file != NULL) {
            char key[8];
            snprintf(key, sizeof key, "%d", n);
            WritePrivateProfileStringA(STOPPED_SECTION, key, NULL, file);
        }
    }
    if (file != NULL)
        RemoveEmptyList(file);
    CloseServiceHandles();
    return failed;
}
