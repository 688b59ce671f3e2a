#include "client/instances/ConfigurationFile.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "common/secrets/SmtpPassword.h"

// A file full of mistakes is reported in part: the first ones show the way.
#define REPORTED_ERRORS 20

struct FileReader {
    const char *Path;
    ConfigurationChanges *Changes;
    CommandReport Report;
    int SectionAt[MAX_INSTANCES + 1];   // line of each instance's section, 0 while none
    InstanceChange *Current;            // null before the first section, and in a refused one
    int InRefusedSection;
};

static void Problem(FileReader *reader, int line, const char *format, ...)
{
    ConfigurationChanges *changes = reader->Changes;
    if (changes->Errors++ >= REPORTED_ERRORS || reader->Report == NULL)
        return;
    char reason[600], text[900];
    va_list args;
    va_start(args, format);
    vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    if (line > 0)
        snprintf(text, sizeof text, "%s, line %d: %s", reader->Path, line, reason);
    else
        snprintf(text, sizeof text, "%s: %s", reader->Path, reason);
    reader->Report(text);
}

static char *Trim(char *text)
{
    while (*text == ' ' || *text == '\t')
        text++;
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        text[--length] = '\0';
    return text;
}

// "Instance N" with N from 1 to 64, any letter case, blanks between; 0 otherwise.
static int SectionInstance(const char *name)
{
    static const char word[] = "Instance";
    if (_strnicmp(name, word, sizeof word - 1) != 0)
        return 0;
    const char *digits = name + sizeof word - 1;
    if (*digits != ' ' && *digits != '\t')
        return 0;
    while (*digits == ' ' || *digits == '\t')
        digits++;
    int n = 0;
    for (int i = 0; digits[i] != '\0'; i++) {
        if (digits[i] < '0' || digits[i] > '9' || i >= 3)
            return 0;
        n = n * 10 + (digits[i] - '0');
    }
    return IsInstanceNumber(n) ? n : 0;
}

static void TakeSection(FileReader *reader, char *text, int line)
{
    reader->Current = NULL;
    // Values under a refused section are not judged: one mistake, one report.
    reader->InRefusedSection = 1;
    size_t length = strlen(text);
    if (text[length - 1] != ']') {
        Problem(reader, line, "a section name ends with ']'");
        return;
    }
    text[length - 1] = '\0';
    const char *name = Trim(text + 1);
    int n = SectionInstance(name);
    if (n == 0) {
        Problem(reader, line, "[%.60s] is not a section of this file: sections are [Instance 1] to [Instance %d]",
                name, MAX_INSTANCES);
        return;
    }
    if (reader->SectionAt[n] != 0) {
        Problem(reader, line, "[Instance %d] appears a second time (first at line %d)", n, reader->SectionAt[n]);
        return;
    }
    reader->SectionAt[n] = line;
    ConfigurationChanges *changes = reader->Changes;
    InstanceChange *change = &changes->Instances[changes->Count++];
    memset(change, 0, sizeof *change);
    change->Number = n;
    change->Line = line;
    reader->Current = change;
    reader->InRefusedSection = 0;
}

int TakeAssignment(InstanceChange *change, const char *name, const char *value, int line, char *reason,
                   size_t reasonSize)
{
    int row = FindInstanceValue(name);
    if (row < 0) {
        snprintf(reason, reasonSize, "\"%.60s\" is not a value of an instance", name);
        return 0;
    }
    if (change->GivenAt[row] != 0) {
        if (line > 0)
            snprintf(reason, reasonSize, "%s is given a second time for instance %d (first at line %d)",
                     InstanceValues[row].Name, change->Number, change->GivenAt[row]);
        else
            snprintf(reason, reasonSize, "%s is given twice", InstanceValues[row].Name);
        return 0;
    }
    if (!SetInstanceValue(row, value, &change->Values, reason, reasonSize))
        return 0;
    change->GivenAt[row] = line;
    return 1;
}

static void TakeLine(FileReader *reader, char *raw, int line)
{
    char *text = Trim(raw);
    if (text[0] == '\0' || text[0] == ';' || text[0] == '#')
        return;
    if (text[0] == '[') {
        TakeSection(reader, text, line);
        return;
    }
    char *equals = strchr(text, '=');
    if (equals == NULL) {
        Problem(reader, line, "neither a [section], a NAME=VALUE line nor a comment");
        return;
    }
    if (reader->InRefusedSection)
        return;
    if (reader->Current == NULL) {
        Problem(reader, line, "a value before the first [Instance N] section");
        return;
    }
    *equals = '\0';
    char *name = Trim(text);
    char *value = Trim(equals + 1);
    UnquoteInstanceValue(value);
    char reason[600];
    if (name[0] == '\0')
        Problem(reader, line, "a value without a name");
    else if (!TakeAssignment(reader->Current, name, value, line, reason, sizeof reason))
        Problem(reader, line, "%s", reason);
    else if (value[0] != '\0' && InstanceValues[FindInstanceValue(name)].Kind == SecretValue)
        reader->Changes->SecretsInClear++;
}

struct LineBuffer {
    char Text[CONFIGURATION_LINE_SIZE];
    size_t Length;
    int Number;     // of the line being read, from 1
    int TooLong, ZeroByte;
};

static void EndLine(FileReader *reader, LineBuffer *line)
{
    line->Number++;
    if (line->Length > 0 && line->Text[line->Length - 1] == '\r')
        line->Length--;
    line->Text[line->Length] = '\0';
    if (line->TooLong)
        Problem(reader, line->Number, "longer than %d characters", CONFIGURATION_LINE_SIZE - 1);
    else if (line->ZeroByte)
        Problem(reader, line->Number, "holds a zero byte: this is not a text file");
    else
        TakeLine(reader, line->Text, line->Number);
    // A line may have held a secret in clear.
    WipeSecret(line->Text, sizeof line->Text);
    line->Length = 0;
    line->TooLong = line->ZeroByte = 0;
}

int ReadConfigurationFile(const char *path, ConfigurationChanges *changes, CommandReport report)
{
    memset(changes, 0, sizeof *changes);
    static FileReader reader;
    memset(&reader, 0, sizeof reader);
    reader.Path = path;
    reader.Changes = changes;
    reader.Report = report;

    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        Problem(&reader, 0, "cannot be read (error %lu)", (unsigned long)GetLastError());
        return 0;
    }
    static LineBuffer line;
    memset(&line, 0, sizeof line);
    BYTE chunk[4096];
    DWORD got = 0;
    for (int first = 1;; first = 0) {
        if (!ReadFile(file, chunk, sizeof chunk, &got, NULL)) {
            Problem(&reader, 0, "cannot be read (error %lu)", (unsigned long)GetLastError());
            break;
        }
        if (got == 0) {
            // The last line needs no line break.
            if (line.Length > 0 || line.TooLong || line.ZeroByte)
                EndLine(&reader, &line);
            break;
        }
        DWORD start = 0;
        if (first && got >= 2 && ((chunk[0] == 0xFF && chunk[1] == 0xFE) || (chunk[0] == 0xFE && chunk[1] == 0xFF))) {
            Problem(&reader, 0, "is UTF-16 text; save it as ANSI (or UTF-8) text");
            break;
        }
        if (first && got >= 3 && chunk[0] == 0xEF && chunk[1] == 0xBB && chunk[2] == 0xBF)
            start = 3;   // the mark some editors put before UTF-8
        for (DWORD i = start; i < got; i++) {
            char c = (char)chunk[i];
            if (c == '\n')
                EndLine(&reader, &line);
            else if (c == '\0')
                line.ZeroByte = 1;
            else if (line.Length + 1 < sizeof line.Text)
                line.Text[line.Length++] = c;
            else
                line.TooLong = 1;
        }
    }
    CloseHandle(file);
    WipeSecret(chunk, sizeof chunk);
    if (changes->Errors > REPORTED_ERRORS && report != NULL) {
        char text[128];
        snprintf(text, sizeof text, "... and %d more problems", changes->Errors - REPORTED_ERRORS);
        report(text);
    }
    return changes->Errors == 0;
}

int FormatInstanceSection(const InstanceSettings *record, const char *machine, CommandReport emit)
{
    char value[CONFIGURATION_LINE_SIZE], line[CONFIGURATION_LINE_SIZE + 100];
    int omitted = 0;
    for (int row = 0; row < InstanceValueCount; row++) {
        const InstanceValueSpec &spec = InstanceValues[row];
        if (!InstanceValueIsStored(row, record))
            continue;
        if (spec.Kind == SecretValue) {
            snprintf(line, sizeof line, "; %s is stored on %s and never written out", spec.Name, machine);
        } else if (InstanceValueIsImportable(row, record) && FormatInstanceValue(row, record, 1, value, sizeof value)) {
            snprintf(line, sizeof line, "%s=%s", spec.Name, value);
        } else {
            snprintf(line, sizeof line, "; %s is left out: no import would take its stored value back", spec.Name);
            omitted++;
        }
        emit(line);
    }
    return omitted;
}
