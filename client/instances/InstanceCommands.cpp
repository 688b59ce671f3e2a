#include "client/instances/InstanceCommands.h"

#include <stdio.h>
#include <string.h>

#include "client/instances/FirewallRule.h"
#include "client/instances/InstanceStore.h"
#include "client/instances/KeySecurity.h"
#include "client/instances/ProgramFolder.h"

void AddSaveFailure(SaveFailures *failures, int n)
{
    if (failures == NULL)
        return;
    for (int i = 0; i < failures->Count; i++)
        if (failures->Instances[i] == n)
            return;
    if (failures->Count < MAX_INSTANCES)
        failures->Instances[failures->Count++] = n;
}

static void FormatInstanceList(const char *lead, const SaveFailures &failures, char *text, size_t size)
{
    if (size == 0)
        return;
    int used = snprintf(text, size, "%s", lead);
    for (int i = 0; i < failures.Count && used >= 0 && (size_t)used < size; i++)
        used += snprintf(text + used, size - used, "%s %d", i == 0 ? "" : ",", failures.Instances[i]);
    text[size - 1] = '\0';
}

void FormatSaveFailures(const SaveFailures &failures, char *text, size_t size)
{
    FormatInstanceList("The settings of these instances could not be saved:", failures, text, size);
}

void FormatLoadFailures(const SaveFailures &failures, char *text, size_t size)
{
    FormatInstanceList("The settings of these instances could not be read:", failures, text, size);
}

// Whether instance N has a service key, read without the Service Control
// Manager.
static int ServiceKeyExists(int n)
{
    char path[128];
    snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Services\\" SERVICE_NAME_FORMAT, n);
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (result == ERROR_SUCCESS)
        RegCloseKey(key);
    return result != ERROR_FILE_NOT_FOUND;
}

int LoadInstances()
{
    if (!ConnectServiceManager()) {
        // Without the services nothing is known of the instances that have
        // keys: none of them may be taken or written over.
        for (int n = 1; n <= MAX_INSTANCES; n++)
            InstanceTable[n].Unreadable = ServiceKeyExists(n);
        return 0;
    }
    int found = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        InstanceSettings *record = &InstanceTable[n];
        SC_HANDLE service = OpenInstanceService(n);
        if (service == NULL) {
            // Gaps in the numbering are normal; a service that is there but
            // cannot be opened is not a gap.
            record->Unreadable = GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
            continue;
        }
        if (!ReadInstanceParameters(n, record) ||
            !ReadServiceStartType(service, &record->AutoStart, &record->StartDisabled)) {
            CloseServiceHandle(service);
            memset(record, 0, sizeof *record);
            record->Unreadable = 1;
            continue;
        }
        found++;
        record->ServiceHandle = service;
        record->InUse = 1;
        if (!QueryInstanceStatus(n))
            memset(&record->LastStatus, 0, sizeof record->LastStatus);
    }
    return found;
}

int OpenInstances(SaveFailures *unreadable, SaveFailures *failures)
{
    int found = LoadInstances();
    int refused = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        if (InstanceTable[n].Unreadable) {
            refused++;
            // Without the service manager its own message says it all.
            if (ScmHandle != NULL)
                AddSaveFailure(unreadable, n);
        }
    }
    if (found > 0 || refused > 0 || ScmHandle == NULL)
        return 0;
    // First run: instance 1 is registered and saved before the window shows.
    AddInstance(0, NULL);
    SaveInstances(0, failures);
    return 1;
}

SC_HANDLE RegisterService(int n)
{
    SC_HANDLE service = OpenInstanceService(n);
    if (service == NULL && ServiceFolderMayBeRegistered())
        service = CreateInstanceService(n, IsInstanceNumber(n) && InstanceTable[n].AutoStart);
    // The keys are made even without a service, so the values can be written.
    CreateInstanceKeys(n);
    if (service != NULL)
        RegisterInstanceEventSource(n);
    return service;
}

// Registers instance N and keeps the handle; a handle it already had to the
// same service is closed so that none leaks.
static void RegisterInstance(int n)
{
    InstanceSettings *record = &InstanceTable[n];
    SC_HANDLE service = RegisterService(n);
    if (service != NULL && record->ServiceHandle != NULL)
        CloseServiceHandle(record->ServiceHandle);
    if (service != NULL || record->ServiceHandle == NULL)
        record->ServiceHandle = service;
}

static int SaveInstance(int n)
{
    InstanceSettings *record = &InstanceTable[n];
    int ok = 1;
    if (record->ServiceHandle == NULL)
        RegisterInstance(n);

    HKEY key = OpenInstanceKey(n, InParametersKey, KEY_ALL_ACCESS);
    if (key == NULL) {
        // The key was removed by hand or never made: register again, which
        // creates both keys.
        RegisterInstance(n);
        key = OpenInstanceKey(n, InParametersKey, KEY_ALL_ACCESS);
    }
    // A service an administrator disabled stays so until Start
    // Automatically is chosen here.
    int keepDisabled = record->StartDisabled && !record->AutoStart;
    if (record->ServiceHandle == NULL ||
        (!keepDisabled && !SetServiceStartType(record->ServiceHandle, record->AutoStart)) ||
        !SetServiceRecovery(record->ServiceHandle))
        ok = 0;
    // Both keys are protected at every save, also those an older version made.
    if (key == NULL) {
        ok = 0;
    } else {
        if (!ProtectInstanceKey(key) || !WriteInstanceKey(key, InParametersKey, record))
            ok = 0;
        RegCloseKey(key);
    }
    key = OpenInstanceKey(n, InPortKey, KEY_ALL_ACCESS);
    if (key == NULL) {
        ok = 0;
    } else {
        // The source as stored until now decides whether a firewall rule goes.
        NetworkSourceSettings before;
        ReadNetworkSourceSettings(key, &before, NULL);
        if (!ProtectInstanceKey(key) || !WriteInstanceKey(key, InPortKey, record))
            ok = 0;
        RegCloseKey(key);
        // A firewall that cannot be reached is told once, not a failed save.
        UpdateFirewallRule(n, before.Source, record->Network.Source);
    }
    return ok;
}

static int DeletedAndRunning(int n)
{
    const InstanceSettings &record = InstanceTable[n];
    return !record.InUse && record.ServiceHandle != NULL && QueryInstanceStatus(n) &&
           record.LastStatus.dwCurrentState != SERVICE_STOPPED;
}

// Stops the services of the deleted instances among first..last that still
// run, and waits (bounded) until they have stopped: deleted while running, a
// service would keep its port and go on logging, out of sight, until the
// machine restarts.
static void StopDeletedServices(int first, int last, WaitPump pump)
{
    int running[MAX_INSTANCES];
    int count = 0;
    for (int i = first; i <= last; i++)
        if (DeletedAndRunning(i))
            running[count++] = i;
    if (count == 0)
        return;
    StopInstances(running, count);
    WaitForServicesStopped(running, count, DELETE_STOP_WAIT_MS, pump);
}

int SaveInstances(int n, SaveFailures *failures, WaitPump pump)
{
    int first = n == 0 ? 1 : n;
    int last = n == 0 ? MAX_INSTANCES : n;
    if (!IsInstanceNumber(first) || !IsInstanceNumber(last))
        return 0;
    StopDeletedServices(first, last, pump);
    int written = 0;
    for (int i = first; i <= last; i++) {
        InstanceSettings *record = &InstanceTable[i];
        if (!record->InUse) {
            // Deleted since the last save: its service goes now, unless it
            // is still running (it did not stop in time): then it stays, and
            // the next save tries again.
            if (record->ServiceHandle == NULL)
                continue;
            if (DeletedAndRunning(i) || !DeleteInstanceService(i))
                AddSaveFailure(failures, i);
            else
                RemoveFirewallRule(i, record->Network.Source);
            continue;
        }
        written++;
        if (!SaveInstance(i))
            AddSaveFailure(failures, i);
    }
    return written;
}

void StartInstances(const int *numbers, int count, SaveFailures *failures)
{
    for (int i = 0; i < count; i++) {
        int n = numbers[i];
        if (!IsInstanceNumber(n))
            continue;
        SaveInstances(n, failures);
        if (InstanceTable[n].ServiceHandle != NULL)
            StartInstanceService(InstanceTable[n].ServiceHandle);
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

int UninstallServices()
{
    LoadInstances();
    // A service whose parameters cannot be read goes all the same. One that
    // cannot even be opened (or without the Service Control Manager, any)
    // cannot go, and then none does: the uninstaller stops before it removes
    // the program they run, and every instance is kept whole.
    int left = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        InstanceSettings *record = &InstanceTable[n];
        if (!record->Unreadable || record->ServiceHandle != NULL)
            continue;
        record->ServiceHandle = OpenInstanceService(n);
        int goingAnyway = ScmHandle != NULL && GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
        if (record->ServiceHandle == NULL && !goingAnyway)
            left++;
    }
    for (int n = 1; n <= MAX_INSTANCES && left == 0; n++) {
        // The event source goes only with its service (DeleteInstanceService):
        // a service that is still there keeps its messages readable.
        if (InstanceTable[n].ServiceHandle == NULL)
            continue;
        if (DeleteInstanceService(n))
            RemoveFirewallRule(n, InstanceTable[n].Network.Source);
        else
            left++;
    }
    CloseServiceHandles();
    return left;
}

int IsUninstallCommand(const char *commandLine)
{
    return commandLine != NULL && (commandLine[0] == '/' || commandLine[0] == '-') &&
           _strnicmp(commandLine + 1, "uninstall", 9) == 0;
}
