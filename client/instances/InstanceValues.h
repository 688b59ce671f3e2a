// Every value of an instance that the command line can export, import, set
// and show, under its registry name, with the check it must pass: one row
// per value. The rows point into InstanceSettings; loading and saving them
// stays with InstanceStore (SaveInstances), so what the command line writes
// is exactly what the window writes.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "client/instances/InstanceSettings.h"

enum InstanceValueKind {
    TextValue,          // a string; Size is its buffer, terminating zero included
    CommandValue,       // a command line as typed at a prompt: a string whose quotation marks are its own
    NumberValue,        // a DWORD from Low to High, shown in decimal
    BitsValue,          // a DWORD from Low to High that is a set of bits, shown in hexadecimal
    SecretValue,        // a DPAPI blob of Size bytes; clear text of at most High characters; never shown
    StartTypeValue      // the service's start type, Yes (automatic) or No (on demand)
};

enum InstanceValuePlace {
    InParameters,       // the Parameters key
    InPort,             // its Port1 subkey
    InServiceConfig     // the service's own configuration
};

struct InstanceValueSpec {
    const char *Name;
    InstanceValuePlace Place;
    InstanceValueKind Kind;
    size_t Offset;          // of the member in InstanceSettings
    DWORD Size;             // bytes of the member (of the blob for a secret)
    DWORD Low, High;        // numbers: the range the service acts on; secrets: High is the longest clear text
    int Optional;           // 1: stored only while it differs from Default, and exported only then
    DWORD Default;          // of an optional number (an optional text's default is empty)
    size_t LengthOffset;    // secrets: the DWORD member that holds the blob's length
};

extern const InstanceValueSpec InstanceValues[];
extern const int InstanceValueCount;
#define MAX_INSTANCE_VALUES 64

// The row of a value name (any letter case, as the registry compares them), or -1.
int FindInstanceValue(const char *name);

// Checks text as a value of the row and, when it passes, stores it in the
// record: a secret encrypted at once (empty: removed). Returns non-zero on
// success; otherwise reason says why (for the administrator) and the record
// is unchanged.
int SetInstanceValue(int row, const char *text, InstanceSettings *record, char *reason, size_t reasonSize);

// Copies the row's member (with a secret's length) from one record to another.
void CopyInstanceValue(int row, const InstanceSettings *from, InstanceSettings *to);

// Whether an optional value is stored (differs from its default); always for
// the others. A secret is "stored" while it has a blob.
int InstanceValueIsStored(int row, const InstanceSettings *record);

// Whether an import would take the stored value back: a number within its
// range, a string without a line break (no line can hold one); never a
// secret.
int InstanceValueIsImportable(int row, const InstanceSettings *record);

// The value as text: numbers in decimal (bits in 0x hexadecimal), Yes/No,
// strings as they are or, quoted, in quotation marks when blanks at their
// ends or a leading quotation mark would otherwise be lost in a file.
// Returns 0 for a secret (never shown) and when size is too small.
int FormatInstanceValue(int row, const InstanceSettings *record, int quoted, char *text, size_t size);

// The quotation marks of a value as FormatInstanceValue writes them, taken
// off again: text is changed in place. A command keeps marks of its own
// ("C:\Alarm Scripts\page.cmd"): only a pair around a command that
// begins or ends with a blank, or begins with a mark, is the writer's.
void UnquoteInstanceValue(int row, char *text);
