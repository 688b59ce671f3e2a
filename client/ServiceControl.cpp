#include "ServiceControl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ClientMessages.h"

#define SERVICE_PROGRAM_NAME "tallysvc.exe"
#define EVENT_SOURCE_KEY_FORMAT "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quillbox%d"
#define EVENT_TYPES_SUPPORTED (EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE)

SC_HANDLE ScmHandle = NULL;

int ConnectServiceManager()
{
    if (ScmHandle == NULL)
        ScmHandle = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
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

static void CreateInstanceKeys(int n)
{
    char path[128];
    HKEY key;
    snprintf(path, sizeof path, INSTANCE_PARAMETERS_KEY_FORMAT, n);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &key, NULL) == ERROR_SUCCESS)
        RegCloseKey(key);
    snprintf(path, sizeof path, INSTANCE_PORT_KEY_FORMAT, n);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &key, NULL) == ERROR_SUCCESS)
        RegCloseKey(key);
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
    int ok = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE *)program,
                            (DWORD)strlen(program) + 1) == ERROR_SUCCESS &&
             RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, (const BYTE *)&types, 4) == ERROR_SUCCESS;
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

SC_HANDLE RegisterService(int n)
{
    char name[32];
    char displayName[32];
    snprintf(name, sizeof name, SERVICE_NAME_FORMAT, n);
    snprintf(displayName, sizeof displayName, SERVICE_DISPLAY_NAME_FORMAT, n);

    SC_HANDLE service = ScmHandle != NULL ? OpenServiceA(ScmHandle, name, SERVICE_ALL_ACCESS) : NULL;
    if (service == NULL && ScmHandle != NULL) {
        char program[MAX_PATH + 3];
        if (ServiceProgramPath(program, sizeof program, 1)) {
            DWORD startType = IsInstanceNumber(n) && InstanceTable[n].AutoStart ? SERVICE_AUTO_START
                                                                              : SERVICE_DEMAND_START;
            service = CreateServiceA(ScmHandle, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     startType, SERVICE_ERROR_NORMAL, program, NULL, NULL, NULL, NULL, NULL);
        }
    }
    // The keys are made even without a service, so the values can be written.
    CreateInstanceKeys(n);
    if (service != NULL)
        RegisterInstanceEventSource(n);
    return service;
}

int SetServiceStartType(SC_HANDLE service, int autoStart)
{
    return ChangeServiceConfigA(service, SERVICE_NO_CHANGE, autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
                                SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL, NULL, NULL) != 0;
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
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        InstanceSettings &record = InstanceTable[n];
        if (pending[n] && !QueryServiceStatus(record.ServiceHandle, &record.LastStatus))
            record.LastStatus.dwCurrentState = 0;
    }
}

static InstanceSettings *ListedInstance(int n)
{
    return IsInstanceNumber(n) ? &InstanceTable[n] : NULL;
}

void StartInstances(const int *numbers, int count, SaveFailures *failures)
{
    for (int i = 0; i < count; i++) {
        InstanceSettings *record = ListedInstance(numbers[i]);
        if (record == NULL)
            continue;
        SaveInstances(numbers[i], failures);
        if (record->ServiceHandle != NULL)
            StartServiceA(record->ServiceHandle, 0, NULL);
    }
}

static void ControlInstances(const int *numbers, int count, DWORD code)
{
    for (int i = 0; i < count; i++) {
        InstanceSettings *record = ListedInstance(numbers[i]);
        // An instance without a service yet: nothing to control.
        if (record == NULL || record->ServiceHandle == NULL)
            continue;
        SERVICE_STATUS status;
        if (ControlService(record->ServiceHandle, code, &status))
            record->LastStatus = status;
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
            if (QueryServiceStatus(record->ServiceHandle, &record->LastStatus) &&
                record->LastStatus.dwCurrentState != SERVICE_STOPPED)
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

int RestartInstances(const int *numbers, int count, SaveFailures *failures, WaitPump pump)
{
    StopInstances(numbers, count);
    // A fixed short pause would leave a slower service stopped: its start
    // is refused while it is still stopping.
    int stopped = WaitForServicesStopped(numbers, count, RESTART_STOP_WAIT_MS, pump);
    StartInstances(numbers, count, failures);
    return stopped;
}

int DeleteInstanceService(int n)
{
    InstanceSettings *record = ListedInstance(n);
    if (record == NULL || record->ServiceHandle == NULL)
        return 1;
    if (!DeleteService(record->ServiceHandle) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return 0;   // keep the handle: the next save tries again
    RemoveInstanceEventSource(n);
    CloseServiceHandle(record->ServiceHandle);
    record->ServiceHandle = NULL;
    return 1;
}

int UninstallServices()
{
    LoadInstances();
    int deleted = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        InstanceSettings *record = &InstanceTable[n];
        if (!record->InUse || record->ServiceHandle == NULL)
            continue;
        if (DeleteService(record->ServiceHandle))
            deleted++;
        RemoveInstanceEventSource(n);
    }
    CloseServiceHandles();
    return deleted;
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

int IsUninstallCommand(const char *commandLine)
{
    return commandLine != NULL && strncmp(commandLine, "/uninstall", 10) == 0;
}
