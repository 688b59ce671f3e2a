#include "client/instances/ServiceControl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client/instances/ClientMessages.h"

#define SERVICE_PROGRAM_NAME "tallysvc.exe"
#define EVENT_SOURCE_KEY_FORMAT "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quillbox%d"
#define EVENT_TYPES_SUPPORTED (EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE)

SC_HANDLE ScmHandle = NULL;
DeleteServiceFunction DeleteServiceCall = DeleteService;
OpenServiceManagerFunction OpenServiceManagerCall = OpenSCManagerA;
OpenServiceFunction OpenServiceCall = OpenServiceA;
ChangeServiceConfig2Function ChangeServiceConfig2Call = ChangeServiceConfig2A;
StartServiceFunction StartServiceCall = StartServiceA;
DWORD StartLockedWaitMs = 30000;

int ConnectServiceManager()
{
    if (ScmHandle == NULL)
        ScmHandle = OpenServiceManagerCall(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (ScmHandle == NULL) {
        ShowMessageBox(NULL, SCM_NOT_OPENED_TEXT, SCM_NOT_OPENED_CAPTION, MB_OK);
        return 0;
    }
    return 1;
}

int FormatServiceProgramPath(const char *modulePath, char *out, size_t size, int quoted)
{
    if (size == 0)
        return 0;
    out[0] = '\0';
    const char *slash = strrchr(modulePath, '\\');
    if (slash == NULL)
        return 0;
    int folder = (int)(slash - modulePath) + 1;
    // Unquoted, C:\Program Files\Tallyline\tallysvc.exe would let the Service
    // Control Manager run C:\Program.exe as LocalSystem.
    int quote = quoted && memchr(modulePath, ' ', folder) != NULL;
    int written = snprintf(out, size, "%s%.*s%s%s", quote ? "\"" : "", folder, modulePath,
                           SERVICE_PROGRAM_NAME, quote ? "\"" : "");
    if (written < 0 || (size_t)written >= size) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

int ServiceProgramPath(char *out, size_t size, int quoted)
{
    char module[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, module, sizeof module);
    if (length == 0 || length >= sizeof module)
        return 0;   // cut: the folder would be wrong
    module[length] = '\0';
    return FormatServiceProgramPath(module, out, size, quoted);
}

// Whether the open key already holds exactly these values: a save then
// writes nothing, and Wine's registry is spared two writes per instance.
static int EventSourceIsCurrent(HKEY key, const char *program, DWORD types)
{
    char stored[MAX_PATH + 3];
    DWORD size = sizeof stored - 1, kind = 0, storedTypes = 0;
    if (RegQueryValueExA(key, "EventMessageFile", NULL, &kind, (BYTE *)stored, &size) != ERROR_SUCCESS ||
        kind != REG_EXPAND_SZ || size == 0)
        return 0;
    stored[size < sizeof stored ? size : sizeof stored - 1] = '\0';
    if (strcmp(stored, program) != 0)
        return 0;
    size = sizeof storedTypes;
    return RegQueryValueExA(key, "TypesSupported", NULL, &kind, (BYTE *)&storedTypes, &size) == ERROR_SUCCESS &&
           kind == REG_DWORD && size == sizeof storedTypes && storedTypes == types;
}

int RegisterInstanceEventSource(int n)
{
    char path[128];
    char program[MAX_PATH + 3];
    if (!ServiceProgramPath(program, sizeof program, 0))
        return 0;
    snprintf(path, sizeof path, EVENT_SOURCE_KEY_FORMAT, n);
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return 0;
    DWORD types = EVENT_TYPES_SUPPORTED;
    int ok = EventSourceIsCurrent(key, program, types) ||
             (RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE *)program,
                             (DWORD)strlen(program) + 1) == ERROR_SUCCESS &&
              RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, (const BYTE *)&types, 4) == ERROR_SUCCESS);
    RegCloseKey(key);
    return ok;
}

int RemoveInstanceEventSource(int n)
{
    char path[128];
    snprintf(path, sizeof path, EVENT_SOURCE_KEY_FORMAT, n);
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

SC_HANDLE OpenInstanceService(int n)
{
    if (ScmHandle == NULL)
        return NULL;
    char name[32];
    snprintf(name, sizeof name, SERVICE_NAME_FORMAT, n);
    return OpenServiceCall(ScmHandle, name, SERVICE_ALL_ACCESS);
}

SC_HANDLE CreateInstanceService(int n, int autoStart)
{
    char name[32];
    char displayName[32];
    char program[MAX_PATH + 3];
    if (ScmHandle == NULL || !ServiceProgramPath(program, sizeof program, 1))
        return NULL;
    snprintf(name, sizeof name, SERVICE_NAME_FORMAT, n);
    snprintf(displayName, sizeof displayName, SERVICE_DISPLAY_NAME_FORMAT, n);
    return CreateServiceA(ScmHandle, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, program,
                          NULL, NULL, NULL, NULL, NULL);
}

int SetServiceStartType(SC_HANDLE service, int autoStart)
{
    return ChangeServiceConfigA(service, SERVICE_NO_CHANGE, autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
                                SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL, NULL, NULL) != 0;
}

// QueryServiceConfigA needs room for the whole configuration with its strings.
#define SERVICE_CONFIG_BUFFER_SIZE 8192

int ReadServiceStartType(SC_HANDLE service, int *autoStart, int *disabled)
{
    static BYTE buffer[SERVICE_CONFIG_BUFFER_SIZE];
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)buffer;
    if (!QueryServiceConfigA(service, config, sizeof buffer, &needed))
        return 0;
    *autoStart = config->dwStartType == SERVICE_AUTO_START ? 1 : 0;
    if (disabled != NULL)
        *disabled = config->dwStartType == SERVICE_DISABLED ? 1 : 0;
    return 1;
}

// A service manager without the setting (Wine's refuses the flag and keeps
// no actions) has nothing to fail: only a refusal of a known setting counts.
static int ConfigAccepted(BOOL done)
{
    if (done)
        return 1;
    DWORD error = GetLastError();
    return error == ERROR_INVALID_LEVEL || error == ERROR_INVALID_PARAMETER || error == ERROR_CALL_NOT_IMPLEMENTED;
}

int SetServiceRecovery(SC_HANDLE service)
{
    SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, RECOVERY_FIRST_DELAY_MS},
        {SC_ACTION_RESTART, RECOVERY_FIRST_DELAY_MS},
        {SC_ACTION_RESTART, RECOVERY_LATER_DELAY_MS},
    };
    SERVICE_FAILURE_ACTIONSA failureActions;
    memset(&failureActions, 0, sizeof failureActions);
    failureActions.dwResetPeriod = RECOVERY_RESET_SECONDS;
    failureActions.cActions = 3;
    failureActions.lpsaActions = actions;
    // Also when the service stops itself with an error (a port that is not
    // there yet), not only when its process dies.
    SERVICE_FAILURE_ACTIONS_FLAG nonCrash = {TRUE};
    int ok = ConfigAccepted(ChangeServiceConfig2Call(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions));
    return ConfigAccepted(ChangeServiceConfig2Call(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &nonCrash)) && ok;
}

int QueryInstanceStatus(int n)
{
    if (!IsInstanceNumber(n) || InstanceTable[n].ServiceHandle == NULL)
        return 0;
    // Into a copy: a query that fails (the SCM busy, the service being
    // deleted) must not blank the status the list shows.
    SERVICE_STATUS status;
    if (!QueryServiceStatus(InstanceTable[n].ServiceHandle, &status))
        return 0;
    InstanceTable[n].LastStatus = status;
    return 1;
}

const char *ServiceStateText(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:          return "Stopped";
    case SERVICE_START_PENDING:    return "Starting";
    case SERVICE_STOP_PENDING:     return "Stopping";
    case SERVICE_RUNNING:          return "Running";
    case SERVICE_CONTINUE_PENDING: return "Continuing";
    case SERVICE_PAUSE_PENDING:    return "Pausing";
    case SERVICE_PAUSED:           return "Paused";
    }
    return "";
}

// Enough for the statuses of every service of a machine in a few calls.
#define ENUM_BUFFER_SIZE 65536

// N for a service named exactly "Quillbox<N>" (any letter case), else 0.
static int InstanceNumberOfServiceName(const WCHAR *name)
{
    static const char base[] = SERVICE_BASE_NAME;
    if (name == NULL)
        return 0;
    for (int i = 0; base[i] != '\0'; i++) {
        WCHAR c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = (WCHAR)(c - 'A' + 'a');
        char b = base[i];
        if (b >= 'A' && b <= 'Z')
            b = (char)(b - 'A' + 'a');
        if (c != (WCHAR)b)
            return 0;
    }
    const WCHAR *digits = name + sizeof base - 1;
    int n = 0;
    for (int i = 0; digits[i] != 0; i++) {
        if (digits[i] < '0' || digits[i] > '9' || i >= 2 || (i == 0 && digits[i] == '0'))
            return 0;
        n = n * 10 + (digits[i] - '0');
    }
    return IsInstanceNumber(n) ? n : 0;
}

void RefreshServiceStates()
{
    int pending[MAX_INSTANCES + 1];
    for (int n = 1; n <= MAX_INSTANCES; n++)
        pending[n] = InstanceTable[n].ServiceHandle != NULL;

    // The wide form: the names are only compared, and the ANSI form would
    // convert every string of every service on each tick.
    static BYTE buffer[ENUM_BUFFER_SIZE];
    DWORD resume = 0;
    for (int call = 0; ScmHandle != NULL && call < 16; call++) {
        DWORD needed = 0, count = 0;
        BOOL complete = EnumServicesStatusExW(ScmHandle, SC_ENUM_PROCESS_INFO, SERVICE_WIN32_OWN_PROCESS,
                                              SERVICE_STATE_ALL, buffer, sizeof buffer, &needed, &count, &resume,
                                              NULL);
        if (!complete && GetLastError() != ERROR_MORE_DATA)
            break;
        ENUM_SERVICE_STATUS_PROCESSW *services = (ENUM_SERVICE_STATUS_PROCESSW *)buffer;
        for (DWORD i = 0; i < count; i++) {
            int n = InstanceNumberOfServiceName(services[i].lpServiceName);
            if (n == 0 || !pending[n])
                continue;
            const SERVICE_STATUS_PROCESS &status = services[i].ServiceStatusProcess;
            SERVICE_STATUS &last = InstanceTable[n].LastStatus;
            last.dwServiceType = status.dwServiceType;
            last.dwCurrentState = status.dwCurrentState;
            last.dwControlsAccepted = status.dwControlsAccepted;
            last.dwWin32ExitCode = status.dwWin32ExitCode;
            last.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
            last.dwCheckPoint = status.dwCheckPoint;
            last.dwWaitHint = status.dwWaitHint;
            pending[n] = 0;
        }
        if (complete)
            break;
    }
    for (int n = 1; n <= MAX_INSTANCES; n++)
        if (pending[n])
            QueryInstanceStatus(n);
}

static InstanceSettings *ListedInstance(int n)
{
    return IsInstanceNumber(n) ? &InstanceTable[n] : NULL;
}

static void ControlInstances(const int *numbers, int count, DWORD code)
{
    for (int i = 0; i < count; i++) {
        InstanceSettings *record = ListedInstance(numbers[i]);
        // An instance without a service yet: nothing to control.
        if (record == NULL || record->ServiceHandle == NULL)
            continue;
        // The SCM also fills the status when it refuses the control (the
        // service not running, or not accepting it); the copy keeps the last
        // status when it fills nothing.
        SERVICE_STATUS status = record->LastStatus;
        ControlService(record->ServiceHandle, code, &status);
        record->LastStatus = status;
    }
}

int StartInstanceService(SC_HANDLE service)
{
    DWORD began = GetTickCount();
    DWORD pause = 100;
    for (;;) {
        if (StartServiceCall(service, 0, NULL))
            return 1;
        DWORD error = GetLastError();
        DWORD waited = GetTickCount() - began;
        if (error != ERROR_SERVICE_DATABASE_LOCKED || waited >= StartLockedWaitMs) {
            SetLastError(error);
            return 0;
        }
        // The lock lasts while another start is under way: a moment, or
        // longer on a machine starting many services at once.
        Sleep(pause < StartLockedWaitMs - waited ? pause : StartLockedWaitMs - waited);
        if (pause < 1000)
            pause *= 2;
    }
}

void StopInstances(const int *numbers, int count)
{
    ControlInstances(numbers, count, SERVICE_CONTROL_STOP);
}

void PauseInstances(const int *numbers, int count)
{
    ControlInstances(numbers, count, SERVICE_CONTROL_PAUSE);
}

void ContinueInstances(const int *numbers, int count)
{
    ControlInstances(numbers, count, SERVICE_CONTROL_CONTINUE);
}

int WaitForServicesStopped(const int *numbers, int count, DWORD timeoutMs, WaitPump pump)
{
    DWORD started = GetTickCount();
    for (;;) {
        int running = 0;
        for (int i = 0; i < count; i++) {
            InstanceSettings *record = ListedInstance(numbers[i]);
            if (record == NULL || record->ServiceHandle == NULL)
                continue;
            if (QueryInstanceStatus(numbers[i]) && record->LastStatus.dwCurrentState != SERVICE_STOPPED)
                running++;
        }
        if (running == 0)
            return 1;
        if (GetTickCount() - started >= timeoutMs)
            return 0;
        if (pump != NULL)
            pump();
        else
            Sleep(50);
    }
}

int DeleteInstanceService(int n)
{
    InstanceSettings *record = ListedInstance(n);
    if (record == NULL || record->ServiceHandle == NULL)
        return 1;
    if (!DeleteServiceCall(record->ServiceHandle) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return 0;   // keep the handle: the next save tries again
    RemoveInstanceEventSource(n);
    CloseServiceHandle(record->ServiceHandle);
    record->ServiceHandle = NULL;
    return 1;
}

void CloseServiceHandles()
{
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        if (InstanceTable[n].ServiceHandle != NULL) {
            CloseServiceHandle(InstanceTable[n].ServiceHandle);
            InstanceTable[n].ServiceHandle = NULL;
        }
    }
    if (ScmHandle != NULL) {
        CloseServiceHandle(ScmHandle);
        ScmHandle = NULL;
    }
}
