#include "InstanceStore.h"

#include <stdio.h>
#include <string.h>

#include "ClientMessages.h"

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

static DWORD *OptionalMember(InstanceSettings *record, int index)
{
    return (DWORD *)((char *)record + InstanceOptionalOffsets[index]);
}

static int CreateKey(const char *path)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

int CreateInstanceKeys(int n)
{
    char path[128];
    FormatParametersKey(n, path, sizeof path);
    int ok = CreateKey(path);
    FormatPortKey(n, path, sizeof path);
    return CreateKey(path) && ok;
}

HKEY OpenInstanceKey(int n, ParameterKeyKind kind, REGSAM access)
{
    char path[128];
    if (kind == InParametersKey)
        FormatParametersKey(n, path, sizeof path);
    else
        FormatPortKey(n, path, sizeof path);
    HKEY key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key) == ERROR_SUCCESS ? key : NULL;
}

void ReadInstanceKey(HKEY key, ParameterKeyKind kind, InstanceSettings *record)
{
    // An unfit optional value is held as OPTIONAL_UNFIT_VALUE: the page shows
    // no choice, and a save keeps what is stored until one is made.
    for (int i = 0; i < OPTIONAL_PARAMETER_COUNT; i++)
        if (OptionalParameters[i].Key == kind)
            ReadOptionalParameter(key, OptionalParameters[i], OptionalMember(record, i));
    for (int i = 0; i < PARAMETER_COUNT; i++)
        if (RegistryParameters[i].Key == kind)
            ReadParameterValue(key, RegistryParameters[i], ParameterMember(record, i));
    if (kind == InParametersKey)
        ReadSmtpSettings(key, &record->Smtp, NULL);
}

void ReadInstanceParameters(int n, InstanceSettings *record)
{
    static const ParameterKeyKind kinds[2] = {InParametersKey, InPortKey};
    for (int k = 0; k < 2; k++) {
        HKEY key = OpenInstanceKey(n, kinds[k], KEY_READ);
        if (key != NULL) {
            ReadInstanceKey(key, kinds[k], record);
            RegCloseKey(key);
        }
    }
}

int WriteInstanceKey(HKEY key, ParameterKeyKind kind, InstanceSettings *record)
{
    int ok = 1;
    for (int i = 0; i < OPTIONAL_PARAMETER_COUNT; i++)
        if (OptionalParameters[i].Key == kind && !WriteOptionalParameter(key, OptionalParameters[i], *OptionalMember(record, i)))
            ok = 0;
    for (int i = 0; i < PARAMETER_COUNT; i++)
        if (RegistryParameters[i].Key == kind && !WriteParameterValue(key, RegistryParameters[i], ParameterMember(record, i)))
            ok = 0;
    if (kind == InParametersKey && !WriteSmtpSettings(key, &record->Smtp))
        ok = 0;
    return ok;
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
        for (int i = 0; i < OPTIONAL_PARAMETER_COUNT; i++)
            *OptionalMember(record, i) = *OptionalMember(&copy, i);
        // Machine-scope encryption: the copy's password decrypts as well.
        record->Smtp = copy.Smtp;
        record->AutoStart = copy.AutoStart;
        record->InUse = 1;
    } else {
        SetNewInstanceDefaults(record, n);
    }
    return n;
}
