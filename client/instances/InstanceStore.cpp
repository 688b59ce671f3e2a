#include "client/instances/InstanceStore.h"

#include <stdio.h>
#include <string.h>

#include "client/instances/ClientMessages.h"
#include "client/instances/KeySecurity.h"

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
    int ok = ProtectInstanceKey(key);
    RegCloseKey(key);
    return ok;
}

int CreateInstanceKeys(int n)
{
    char path[128];
    FormatParametersKey(n, path, sizeof path);
    int ok = CreateKey(path);
    FormatPortKey(n, path, sizeof path);
    return CreateKey(path) && ok;
}

static LONG OpenKeyOf(int n, ParameterKeyKind kind, REGSAM access, HKEY *key)
{
    char path[128];
    if (kind == InParametersKey)
        FormatParametersKey(n, path, sizeof path);
    else
        FormatPortKey(n, path, sizeof path);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
}

HKEY OpenInstanceKey(int n, ParameterKeyKind kind, REGSAM access)
{
    HKEY key;
    return OpenKeyOf(n, kind, access, &key) == ERROR_SUCCESS ? key : NULL;
}

static const char *SmtpSecurityName()
{
    return SmtpValueNames[SmtpSecurityValue];
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
    if (kind != InParametersKey)
        return;
    ReadSmtpSettings(key, &record->Smtp, NULL);
    ReadMailSettings(key, &record->Mail, NULL);
    ReadForwardSettings(key, &record->Forward, NULL);
    ReadOptionalParameter(key, MailAttachmentSpec, &record->Mail.MailAttachment);
    StoredRegistryValue &stored = record->SmtpSecurityAsStored;
    memset(&stored, 0, sizeof stored);
    if (record->Smtp.SmtpSecurity == SMTP_SECURITY_INVALID) {
        stored.Size = sizeof stored.Data;
        if (RegQueryValueExA(key, SmtpSecurityName(), NULL, &stored.Type, stored.Data, &stored.Size) !=
                ERROR_SUCCESS ||
            stored.Size > sizeof stored.Data)
            memset(&stored, 0, sizeof stored);
    }
}

int ReadInstanceParameters(int n, InstanceSettings *record)
{
    static const ParameterKeyKind kinds[2] = {InParametersKey, InPortKey};
    int ok = 1;
    for (int k = 0; k < 2; k++) {
        HKEY key;
        LONG result = OpenKeyOf(n, kinds[k], KEY_READ, &key);
        if (result == ERROR_SUCCESS) {
            ReadInstanceKey(key, kinds[k], record);
            RegCloseKey(key);
        } else if (result != ERROR_FILE_NOT_FOUND) {
            ok = 0;   // there, but not ours to read
        }
    }
    return ok;
}

// WriteSmtpSettings leaves an unknown SmtpSecurity in the key untouched; a
// key without one (a duplicate's) gets the source's as it was stored, or,
// when that was too large to keep, a code no version knows: never nothing,
// which would mean plain text.
static int WriteUnknownSmtpSecurity(HKEY key, const InstanceSettings *record)
{
    if (record->Smtp.SmtpSecurity != SMTP_SECURITY_INVALID ||
        RegQueryValueExA(key, SmtpSecurityName(), NULL, NULL, NULL, NULL) != ERROR_FILE_NOT_FOUND)
        return 1;
    const StoredRegistryValue &stored = record->SmtpSecurityAsStored;
    DWORD unknown = SMTP_SECURITY_INVALID;
    if (stored.Size == 0)
        return RegSetValueExA(key, SmtpSecurityName(), 0, REG_DWORD, (const BYTE *)&unknown, 4) == ERROR_SUCCESS;
    return RegSetValueExA(key, SmtpSecurityName(), 0, stored.Type, stored.Data, stored.Size) == ERROR_SUCCESS;
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
    if (kind == InParametersKey && (!WriteSmtpSettings(key, &record->Smtp) || !WriteUnknownSmtpSecurity(key, record)))
        ok = 0;
    if (kind == InParametersKey && !WriteMailSettings(key, &record->Mail))
        ok = 0;
    if (kind == InParametersKey && !WriteForwardSettings(key, &record->Forward))
        ok = 0;
    return ok;
}

DWORD OutboxMailCount(int n)
{
    char path[128];
    snprintf(path, sizeof path, INSTANCE_OUTBOX_KEY_FORMAT, n);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    DWORD values = 0;
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS)
        values = 0;
    RegCloseKey(key);
    return values;
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
        // An unreadable slot holds a service this run knows nothing of.
        if (!InstanceTable[i].InUse && !InstanceTable[i].Unreadable) {
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
        record->Mail = copy.Mail;
        record->Forward = copy.Forward;
        record->SmtpSecurityAsStored = copy.SmtpSecurityAsStored;
        record->AutoStart = copy.AutoStart;
        record->InUse = 1;
    } else {
        SetNewInstanceDefaults(record, n);
    }
    return n;
}
