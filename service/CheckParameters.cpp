#include "CheckParameters.h"
#include "ReportServiceEvent.h"
#include "ServiceState.h"

#include <stdio.h>

enum ValueProblem { NoProblem = 0, WrongType, TooLong, WrongSize };

struct RefusedValue {
    ValueProblem Problem;
    DWORD Type;     // as stored
    DWORD Size;     // bytes as stored
};

static RefusedValue Refused[PARAMETER_COUNT];
// Taken from the registry: only stored numbers are judged by their range
// (an absent one is no problem of its own).
static BOOL Taken[PARAMETER_COUNT];

// Ranged numbers, by their index in RegistryParameters.
struct ValueRange {
    const char *Name;
    DWORD Low, High;
    const char *Consequence;
};

static const ValueRange Ranges[] = {
    {"LogRotation", 0, 5, "the log is not rotated"},
    {"ByteSize", 4, 8, "the port cannot be set"},
    {"Parity", 0, 4, "the port cannot be set"},
    {"StopBits", 0, 2, "the port cannot be set"},
    {"StartHour", 0, 23, "the alarm never acts"},
    {"StartMin", 0, 59, "the alarm never acts"},
    {"EndHour", 0, 24, "the alarm never acts"},
    {"EndMin", 0, 59, "the alarm never acts"},
};

static int ParameterIndex(const char *name)
{
    for (int i = 0; i < PARAMETER_COUNT; i++)
        if (lstrcmpA(RegistryParameters[i].Name, name) == 0)
            return i;
    return -1;
}

static DWORD NumberOf(int index)
{
    return *(const DWORD *)((const char *)&Params + ServiceParameterOffsets[index]);
}

void NoteValueRead(HKEY key, int index, int taken)
{
    if (index < 0 || index >= PARAMETER_COUNT)
        return;
    Taken[index] = taken != 0;
    if (taken)
        return;
    const ParameterSpec &spec = RegistryParameters[index];
    DWORD type = REG_NONE, size = 0;
    // Asked for type and size only: nothing of the value is copied.
    if (RegQueryValueExA(key, spec.Name, NULL, &type, NULL, &size) != ERROR_SUCCESS)
        return;
    RefusedValue &r = Refused[index];
    r.Type = type;
    r.Size = size;
    if (type != spec.Type)
        r.Problem = WrongType;
    else if (spec.Type == REG_SZ)
        r.Problem = TooLong;
    else
        r.Problem = WrongSize;
}

BOOL ByteFormatInRange()
{
    return Params.ByteSize >= 4 && Params.ByteSize <= 8 && Params.Parity <= 4 &&
           Params.StopBits <= 2;
}

BOOL AlarmWindowInRange(DWORD startHour, DWORD startMin, DWORD endHour, DWORD endMin)
{
    return startHour <= 23 && startMin <= 59 && endHour <= 24 && endMin <= 59;
}

static const char *TypeName(DWORD type, char *buffer, size_t size)
{
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default:
        snprintf(buffer, size, "%lu", (unsigned long)type);
        return buffer;
    }
}

static void ReportRefused(int index)
{
    const ParameterSpec &spec = RegistryParameters[index];
    const RefusedValue &r = Refused[index];
    char stored[16], wanted[16];
    switch (r.Problem) {
    case WrongType:
        ReportServiceEvent("The registry value \"%s\" is of type %s, not %s; it is left out",
                           EVENTLOG_ERROR_TYPE, spec.Name, TypeName(r.Type, stored, sizeof stored),
                           TypeName(spec.Type, wanted, sizeof wanted));
        break;
    case TooLong:
        ReportServiceEvent("The registry value \"%s\" is longer than %lu characters; it is left out",
                           EVENTLOG_ERROR_TYPE, spec.Name, (unsigned long)(spec.Size - 1));
        break;
    case WrongSize:
        ReportServiceEvent("The registry value \"%s\" is %lu bytes long, not 4; it is left out",
                           EVENTLOG_ERROR_TYPE, spec.Name, (unsigned long)r.Size);
        break;
    default:
        break;
    }
}

void ReportParameterProblems()
{
    int level = ParameterIndex("VerboseLevel");
    BOOL levelKnown = level < 0 || Refused[level].Problem == NoProblem;
    ParametersRead = levelKnown;
    for (int i = 0; i < PARAMETER_COUNT; i++)
        ReportRefused(i);
    for (size_t r = 0; r < sizeof Ranges / sizeof Ranges[0]; r++) {
        int i = ParameterIndex(Ranges[r].Name);
        if (i < 0 || !Taken[i])
            continue;
        DWORD value = NumberOf(i);
        if (value < Ranges[r].Low || value > Ranges[r].High)
            ReportServiceEvent("The registry value \"%s\" is %lu, outside %lu to %lu; %s",
                               EVENTLOG_ERROR_TYPE, Ranges[r].Name, (unsigned long)value,
                               (unsigned long)Ranges[r].Low, (unsigned long)Ranges[r].High,
                               Ranges[r].Consequence);
    }
    ParametersRead = TRUE;
}

void ForgetParameterProblems()
{
    for (int i = 0; i < PARAMETER_COUNT; i++) {
        Refused[i].Problem = NoProblem;
        Taken[i] = FALSE;
    }
}
