// InstanceTable and the registry: the parameter keys of each instance, and
// the records New and Duplicate make. Knows nothing of the Service Control
// Manager; LoadInstances and SaveInstances, which need both, are in
// InstanceCommands.h.
#pragma once

#include <windows.h>

#include "client/instances/InstanceSettings.h"

// The two registry paths of instance N.
void FormatParametersKey(int n, char *out, size_t size);
void FormatPortKey(int n, char *out, size_t size);

// Creates (or opens) the Parameters and Port1 keys of instance N, so the
// values can be written, and protects them (KeySecurity.h). Non-zero when
// both exist and are protected afterwards.
int CreateInstanceKeys(int n);

// Opens one of instance N's keys (InParametersKey or InPortKey) for reading
// or writing. Null when it cannot be opened.
HKEY OpenInstanceKey(int n, ParameterKeyKind kind, REGSAM access);

// Reads the values of an open key into the record. A value that is missing
// or does not fit its member leaves the member as it was; the optional mail
// values (parameters key) are read whole, absent or unfit ones as defaults.
// An optional parameter (OptionalParameters) absent is its default; the
// write below stores one only while it differs from it.
void ReadInstanceKey(HKEY key, ParameterKeyKind kind, InstanceSettings *record);

// Reads both keys of instance N into the record (a missing key leaves its
// members as they were). Returns 0 when a key is there but cannot be read.
int ReadInstanceParameters(int n, InstanceSettings *record);

// Writes every value of the record that belongs in the open key; of the
// optional mail values only those that differ from their defaults, deleting
// the others (WriteSmtpSettings), and an unknown SmtpSecurity as it was read
// where the key has none. Non-zero when all were written.
int WriteInstanceKey(HKEY key, ParameterKeyKind kind, InstanceSettings *record);

// The number of finished logs instance N's service has still to mail: the
// values of its outbox key (MailRetryHours); 0 when it has none or the key
// cannot be read.
DWORD OutboxMailCount(int n);

// Adds an instance at the lowest free number (not in use, not unreadable):
// defaults (source 0) or a copy of instance source. Returns the new number,
// or 0 after the "maximum number" message (owned by owner) when the table is
// full. The caller inserts the row.
int AddInstance(int source, HWND owner);

// Fills a record with the values a New instance gets.
void SetNewInstanceDefaults(InstanceSettings *record, int n);

// The default log file: the program's own folder and "Quillbox%d.log".
int DefaultLogFilename(int n, char *out, size_t size);
