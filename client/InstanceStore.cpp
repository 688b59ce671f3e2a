#include "InstanceStore.h"

#include <stdio.h>
#include <string.h>

#include "ClientMessages.h"
#include "ServiceControl.h"

// QueryServiceConfigA needs room for the whole configuration with its strings.
#define SERVICE_CONFIG_BUFFER_SIZE 8192

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

void FormatSaveFailures(const SaveFailures &failures, char *text, size_t size)
{
    if (size == 0)
        return;
    int used = snprintf(text, size, "The settings of these instances could not be saved:");
    for (int i = 0; i < failures.Count && used >= 0 && (size_t)used < size; i++)
        used += snprintf(text + used, size - used, "%s %d", i == 0 ? "" : ",", failures.Instances[i]);
    text[size - 1] = '\0';
}

void FormatParametersKey(int n, char *out, size_t size)
{
    snprintf(out, size, INSTANCE_PARAMETERS_KEY_FORMAT, n);
}

void FormatPortKey(int n, char *out, size_t size)
{
    snprintf(out, size, INSTANCE_PORT_KEY_FORMAT, n);
}

static void *ParameterMember(InstanceSettings *record, int index)
{
    return (char *)record + InstanceParameterOffsets[index];
}

// Reads the values of one key (parameters or port) into the record. A value
// that is missing or does not fit its member leaves the member as it was.
static void ReadKeyValues(HKEY key, ParameterKeyKind kind, InstanceSettings *record)
{
    for (int i = 0; i < PARAMETER_COUNT; i++)
        if (RegistryParameters[i].Key == kind)
            ReadParameterValue(key, RegistryParameters[i], ParameterMember(record, i));
}

static int WriteKeyValues(HKEY key, ParameterKeyKind kind, InstanceSettings *record)
{
    int ok = 1;
    for (int i = 0; i < PARAMETER_COUNT; i++)
        if (RegistryParameters[i].Key == kind && !WriteParameterValue(key, RegistryParameters[i], ParameterMember(record, i)))
            ok = 0;
    return ok;
}

static void ReadStartType(InstanceSettings *record)
{
    static BYTE buffer[SERVICE_CONFIG_BUFFER_SIZE];
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGA *config = (QUERY_SERVICE_CONFIGA *)buffer;
    if (QueryServiceConfigA(record->ServiceHandle, config, sizeof buffer, &needed))
        record->AutoStart = config->dwStartType == SERVICE_AUTO_START ? 1 : 0;
}

int LoadInstances()
{
    if (!ConnectServiceManager())
        return 0;
    int found = 0;
    for (int n = 1; n <= MAX_INSTANCES; n++) {
        char name[32];
        snprintf(name, sizeof name, SERVICE_NAME_FORMAT, n);
        SC_HANDLE service = OpenServiceA(ScmHandle, name, SERVICE_ALL_ACCESS);
        if (service == NULL)
            continue;   // gaps in the numbering are normal
        found++;
        InstanceSettings *record = &InstanceTable[n];
        char path[128];
        HKEY key;
        FormatParametersKey(n, path, sizeof path);
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            ReadKeyValues(key, InParametersKey, record);
            RegCloseKey(key);
        }
        FormatPortKey(n, path, sizeof path);
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            ReadKeyValues(key, InPortKey, record);
            RegCloseKey(key);
        }
        record->ServiceHandle = service;
        ReadStartType(record);
        record->InUse = 1;
        if (!QueryServiceStatus(service, &record->LastStatus))
            memset(&record->LastStatus, 0, sizeof record->LastStatus);
    }
    return found;
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

    char path[128];
    HKEY key;
    FormatParametersKey(n, path, sizeof path);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        // The key was removed by hand or never made: register again, which
        // creates both keys.
        RegisterInstance(n);
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
            key = NULL;
    }
    if (record->ServiceHandle == NULL || !SetServiceStartType(record->ServiceHandle, record->AutoStart))
        ok = 0;
    if (key == NULL) {
        ok = 0;
    } else {
        if (!WriteKeyValues(key, InParametersKey, record))
            ok = 0;
        RegCloseKey(key);
    }
    FormatPortKey(n, path, sizeof path);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        ok = 0;
    } else {
        if (!WriteKeyValues(key, InPortKey, record))
            ok = 0;
        RegCloseKey(key);
    }
    return ok;
}

int SaveInstances(int n, SaveFailures *failures)
{
    int first = n == 0 ? 1 : n;
    int last = n == 0 ? MAX_INSTANCES : n;
    if (!IsInstanceNumber(first) || !IsInstanceNumber(last))
        return 0;
    int written = 0;
    for (int i = first; i <= last; i++) {
        InstanceSettings *record = &InstanceTable[i];
        if (!record->InUse) {
            // Deleted since the last save: its service goes now.
            if (record->ServiceHandle != NULL && !DeleteInstanceService(i))
                AddSaveFailure(failures, i);
            continue;
        }
        written++;
        if (!SaveInstance(i))
            AddSaveFailure(failures, i);
    }
    return written;
}

int DefaultLogFilename(int n, char *out, size_t size)
{
    char module[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, module, sizeof module);
    if (length == 0 || length >= sizeof module)
        module[0] = '\0';
    else
        module[length] = '\0';
    char *slash = strrchr(module, '\\');
    int folder = slash != NULL ? (int)(slash - module) + 1 : 0;
    int written = snprintf(out, size, "%.*s" DEFAULT_LOG_NAME_FORMAT, folder, module, n);
    if (written < 0 || (size_t)written >= size) {
        // A folder too deep for the field: a cut path would name some other
        // file, so fall back to the bare name.
        snprintf(out, size, DEFAULT_LOG_NAME_FORMAT, n);
        return 0;
    }
    return 1;
}

void SetNewInstanceDefaults(InstanceSettings *record, int n)
{
    memset(record, 0, sizeof *record);
    record->InUse = 1;
    record->BaudRate = 2400;
    record->ByteSize = 8;
    record->DayOfWeekMask = DAYS_MONDAY_TO_FRIDAY;
    record->StartHour = 9;
    record->EndHour = 18;
    record->WarningInterval = 600;
    record->PauseTimeout = 0xFFFFFFFF;
    record->VerboseLevel = VERBOSE_START_STOP | VERBOSE_CONFIGURATION;
    snprintf(record->PortName, sizeof record->PortName, DEFAULT_PORT_NAME_FORMAT, n);
    DefaultLogFilename(n, record->LogFilename, sizeof record->LogFilename);
}

int AddInstance(int source, HWND owner)
{
    int n = 0;
    for (int i = 1; i <= MAX_INSTANCES; i++) {
        if (!InstanceTable[i].InUse) {
            n = i;
            break;
        }
    }
    if (n == 0) {
        ShowMessageBox(owner, TABLE_FULL_TEXT, TABLE_FULL_CAPTION, MB_OK | MB_ICONSTOP);
        return 0;
    }
    InstanceSettings *record = &InstanceTable[n];
    // A slot deleted since the last save still holds its service's handle:
    // the new record replaces it, and the next save takes the service over
    // through a fresh handle.
    if (record->ServiceHandle != NULL)
        CloseServiceHandle(record->ServiceHandle);
    if (IsInstanceNumber(source) && InstanceTable[source].InUse) {
        InstanceSettings copy = InstanceTable[source];
        memset(record, 0, sizeof *record);
        for (int i = 0; i < PARAMETER_COUNT; i++)
            memcpy(ParameterMember(record, i), ParameterMember(&copy, i), RegistryParameters[i].Size);
        record->AutoStart = copy.AutoStart;
        record->InUse = 1;
    } else {
        SetNewInstanceDefaults(record, n);
    }
    return n;
}
