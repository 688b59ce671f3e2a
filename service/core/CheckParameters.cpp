#include "service/core/CheckParameters.h"
#include "service/core/ReportServiceEvent.h"
#include "service/core/ServiceState.h"

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

// The optional parameters: how each was stored, and what the service does
// when one cannot be used, whether unfit or out of range. A port that
// silently went without the flow control the device needs would overrun and
// lose data unnoticed: it is better not to start.
static int OptionalStates[OPTIONAL_PARAMETER_COUNT];
static RefusedValue RefusedOptional[OPTIONAL_PARAMETER_COUNT];
static const char *const OptionalConsequences[OPTIONAL_PARAMETER_COUNT] = {"the port cannot be set"};

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

static DWORD OptionalParameterOf(int index)
{
    return *(const DWORD *)((const char *)&Params + ServiceOptionalOffsets[index]);
}

// Notes why a stored value was not taken: asked for its type and size only,
// nothing of the value is copied.
static void NoteRefusal(HKEY key, const char *name, DWORD wantedType, RefusedValue *r)
{
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExA(key, name, NULL, &type, NULL, &size) != ERROR_SUCCESS)
        return;
    r->Type = type;
    r->Size = size;
    if (type != wantedType)
        r->Problem = WrongType;
    else if (wantedType == REG_SZ)
        r->Problem = TooLong;
    else
        r->Problem = WrongSize;
}

void NoteValueRead(HKEY key, int index, int taken)
{
    if (index < 0 || index >= PARAMETER_COUNT)
        return;
    Taken[index] = taken != 0;
    if (!taken)
        NoteRefusal(key, RegistryParameters[index].Name, RegistryParameters[index].Type, &Refused[index]);
}

void NoteOptionalRead(HKEY key, int index, int state)
{
    if (index < 0 || index >= OPTIONAL_PARAMETER_COUNT)
        return;
    OptionalStates[index] = state;
    if (state == OptionalUnfit)
        NoteRefusal(key, OptionalParameters[index].Name, OptionalParameters[index].Type, &RefusedOptional[index]);
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

static void ReportRefused(const char *name, DWORD wantedType, DWORD memberSize, const RefusedValue &r,
                          const char *consequence)
{
    char stored[16], wanted[16];
    switch (r.Problem) {
    case WrongType:
        ReportServiceEvent("The registry value \"%s\" is of type %s, not %s; %s", EVENTLOG_ERROR_TYPE, name,
                           TypeName(r.Type, stored, sizeof stored), TypeName(wantedType, wanted, sizeof wanted),
                           consequence);
        break;
    case TooLong:
        ReportServiceEvent("The registry value \"%s\" is longer than %lu characters; %s", EVENTLOG_ERROR_TYPE,
                           name, (unsigned long)(memberSize - 1), consequence);
        break;
    case WrongSize:
        ReportServiceEvent("The registry value \"%s\" is %lu bytes long, not 4; %s", EVENTLOG_ERROR_TYPE, name,
                           (unsigned long)r.Size, consequence);
        break;
    default:
        break;
    }
}

static void ReportOutOfRange(const char *name, DWORD value, DWORD low, DWORD high, const char *consequence)
{
    ReportServiceEvent("The registry value \"%s\" is %lu, outside %lu to %lu; %s", EVENTLOG_ERROR_TYPE, name,
                       (unsigned long)value, (unsigned long)low, (unsigned long)high, consequence);
}

void ReportParameterProblems()
{
    int level = ParameterIndex("VerboseLevel");
    BOOL levelKnown = level < 0 || Refused[level].Problem == NoProblem;
    ParametersRead = levelKnown;
    for (int i = 0; i < PARAMETER_COUNT; i++)
        ReportRefused(RegistryParameters[i].Name, RegistryParameters[i].Type, RegistryParameters[i].Size,
                      Refused[i], "it is left out");
    for (size_t r = 0; r < sizeof Ranges / sizeof Ranges[0]; r++) {
        int i = ParameterIndex(Ranges[r].Name);
        if (i < 0 || !Taken[i])
            continue;
        DWORD value = NumberOf(i);
        if (value < Ranges[r].Low || value > Ranges[r].High)
            ReportOutOfRange(Ranges[r].Name, value, Ranges[r].Low, Ranges[r].High, Ranges[r].Consequence);
    }
    for (int i = 0; i < OPTIONAL_PARAMETER_COUNT; i++) {
        const OptionalParameterSpec &spec = OptionalParameters[i];
        ReportRefused(spec.Name, spec.Type, 4, RefusedOptional[i], OptionalConsequences[i]);
        if (OptionalStates[i] == OptionalOutOfRange)
            ReportOutOfRange(spec.Name, OptionalParameterOf(i), 0, spec.Highest, OptionalConsequences[i]);
    }
    ParametersRead = TRUE;
}

void ForgetParameterProblems()
{
    for (int i = 0; i < PARAMETER_COUNT; i++) {
        Refused[i].Problem = NoProblem;
        Taken[i] = FALSE;
    }
    for (int i = 0; i < OPTIONAL_PARAMETER_COUNT; i++) {
        RefusedOptional[i].Problem = NoProblem;
        OptionalStates[i] = OptionalAbsent;
    }
}

int OptionalValueStored(int index)
{
    return index >= 0 && index < OPTIONAL_PARAMETER_COUNT && OptionalStates[index] != OptionalAbsent;
}
