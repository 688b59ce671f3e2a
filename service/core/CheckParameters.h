// Registry values that the service cannot use as stored (written by hand or
// by another program): each is reported once at start, saying what the
// service does instead.
#pragma once

#include <windows.h>
#include "common/settings/Parameters.h"

// Called by ReadParameters for value `index` of RegistryParameters with the
// result of ReadParameterValue. For a value not taken, notes why (wrong
// type, a string too long for its buffer, a number of other than 4 bytes);
// an absent value is no problem and is not noted. A refused value is left
// out: its member stays zero or empty, as for an absent value.
void NoteValueRead(HKEY key, int index, int taken);

// The same for optional parameter `index` of OptionalParameters, with the state
// ReadOptionalParameter returned. An unfit or out-of-range one is reported
// with what the service does: FlowControl, the port cannot be set.
void NoteOptionalRead(HKEY key, int index, int state);

// Non-zero when optional parameter `index` was in the registry, fit or not.
int OptionalValueStored(int index);

// The ranges of the numbers that have one. A stored number outside its range is
// kept (the configuration report shows it as stored) but not acted on:
// LogRotation: the log is not rotated; ByteSize, Parity, StopBits: the port
// cannot be set and the service stops; the alarm window: the alarm never acts.
BOOL ByteFormatInRange();
BOOL AlarmWindowInRange(DWORD startHour, DWORD startMin, DWORD endHour, DWORD endMin);

// Reports every refused value and every number outside its range, once
// VerboseLevel is known. When VerboseLevel itself was refused, the level is
// unknown and these go out as errors do before the parameters are read;
// afterwards the service is as silent as with no VerboseLevel at all.
void ReportParameterProblems();

// Forgets what was noted (unit tests read several sets of values).
void ForgetParameterProblems();
