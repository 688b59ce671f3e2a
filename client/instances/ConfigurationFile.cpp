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
    UnquoteInstanceValue(FindInstanceValue(name), value);
    char reason[600];
    if (name[0] == '\0')
        Problem(reader, line, "a value without a name");
    else if (!TakeAssignment(reader->Current, name, value, line, reason, sizeof reason))
        Problem(reader, line, "%s", reason);
    else if (value[0] != '\0' && InstanceValues[FindInstanceValue(name)].Kind == SecretValue)
        reader->Changes->SecretsInClear++;
}

// How the file's text is written: ANSI or UTF-8 (told apart line by line),
// UTF-8 as its mark says, or UTF-16 (the marks Notepad and PowerShell write).
enum TextForm { AnsiOrUtf8, MarkedUtf8, Utf16Little, Utf16Big };

struct LineBuffer {
    char Text[CONFIGURATION_LINE_SIZE];
    size_t Length;
    WCHAR Wide[CONFIGURATION_LINE_SIZE];   // a UTF-16 line, or a UTF-8 one on its way to ANSI
    size_t WideLength;
    int Number;     // of the line being read, from 1
    int TooLong, ZeroByte;
    TextForm Form;
    int HalfUnit;   // the first byte of a UTF-16 unit split between reads; -1: none
};

// Whether the line holds bytes beyond ASCII that are all UTF-8: ANSI text
// with such bytes almost never reads as UTF-8.
static int LooksLikeUtf8(const char *text, size_t length)
{
    int beyond = 0;
    for (size_t i = 0; i < length && !beyond; i++)
        beyond = (unsigned char)text[i] >= 0x80;
    return beyond && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, (int)length, NULL, 0) > 0;
}

// The line in this machine's ANSI code page, which is what the registry
// values and both programs use. Non-zero on success; otherwise the problem
// is reported.
static int ToAnsi(FileReader *reader, LineBuffer *line)
{
    if (line->Form == AnsiOrUtf8 && !LooksLikeUtf8(line->Text, line->Length))
        return 1;
    if (line->Form != Utf16Little && line->Form != Utf16Big) {
        int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line->Text, (int)line->Length, line->Wide,
                                        CONFIGURATION_LINE_SIZE);
        if (units <= 0 && line->Length > 0) {
            Problem(reader, line->Number, "is not UTF-8 text, as the mark at the file's start says");
            return 0;
        }
        line->WideLength = (size_t)(units > 0 ? units : 0);
    }
    // Where the ANSI code page is UTF-8 itself, nothing can be lost (and
    // Windows takes neither the flag nor the question for it).
    UINT page = GetACP();
    BOOL lost = FALSE;
    int length = line->WideLength == 0
                     ? 0
                     : WideCharToMultiByte(page, page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, line->Wide,
                                           (int)line->WideLength, line->Text, CONFIGURATION_LINE_SIZE - 1, NULL,
                                           page == CP_UTF8 ? NULL : &lost);
    if (line->WideLength > 0 && length <= 0) {
        Problem(reader, line->Number, "longer than %d characters", CONFIGURATION_LINE_SIZE - 1);
        return 0;
    }
    line->Length = (size_t)length;
    if (lost) {
        Problem(reader, line->Number, "holds a character that this machine's ANSI code page (%u) cannot show",
                page);
        return 0;
    }
    return 1;
}

static void EndLine(FileReader *reader, LineBuffer *line)
{
    line->Number++;
    if (line->WideLength > 0 && line->Wide[line->WideLength - 1] == L'\r')
        line->WideLength--;
    if (line->Length > 0 && line->Text[line->Length - 1] == '\r')
        line->Length--;
    line->Text[line->Length] = '\0';
    if (line->TooLong)
        Problem(reader, line->Number, "longer than %d characters", CONFIGURATION_LINE_SIZE - 1);
    else if (line->ZeroByte)
        Problem(reader, line->Number, "holds a zero byte: this is not a text file");
    else if (ToAnsi(reader, line)) {
        line->Text[line->Length] = '\0';
        TakeLine(reader, line->Text, line->Number);
    }
    // A line may have held a secret in clear.
    WipeSecret(line->Text, sizeof line->Text);
    WipeSecret(line->Wide, sizeof line->Wide);
    line->Length = line->WideLength = 0;
    line->TooLong = line->ZeroByte = 0;
}

// One byte of the file into the line.
static void TakeByte(FileReader *reader, LineBuffer *line, BYTE byte)
{
    if (line->Form == Utf16Little || line->Form == Utf16Big) {
        if (line->HalfUnit < 0) {
            line->HalfUnit = byte;
            return;
        }
        WCHAR unit = line->Form == Utf16Little ? (WCHAR)(line->HalfUnit | byte << 8) : (WCHAR)(line->HalfUnit << 8 | byte);
        line->HalfUnit = -1;
        if (unit == L'\n')
            EndLine(reader, line);
        else if (unit == 0)
            line->ZeroByte = 1;
        else if (line->WideLength + 1 < CONFIGURATION_LINE_SIZE)
            line->Wide[line->WideLength++] = unit;
        else
            line->TooLong = 1;
        return;
    }
    if (byte == '\n')
        EndLine(reader, line);
    else if (byte == '\0')
        line->ZeroByte = 1;
    else if (line->Length + 1 < sizeof line->Text)
        line->Text[line->Length++] = (char)byte;
    else
        line->TooLong = 1;
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
    line.HalfUnit = -1;
    BYTE chunk[4096];
    DWORD got = 0;
    for (int first = 1;; first = 0) {
        if (!ReadFile(file, chunk, sizeof chunk, &got, NULL)) {
            Problem(&reader, 0, "cannot be read (error %lu)", (unsigned long)GetLastError());
            break;
        }
        if (got == 0) {
            // The last line needs no line break.
            if (line.Length > 0 || line.WideLength > 0 || line.TooLong || line.ZeroByte)
                EndLine(&reader, &line);
            break;
        }
        DWORD start = 0;
        if (first && got >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) {
            line.Form = Utf16Little;
            start = 2;
        } else if (first && got >= 2 && chunk[0] == 0xFE && chunk[1] == 0xFF) {
            line.Form = Utf16Big;
            start = 2;
        } else if (first && got >= 3 && chunk[0] == 0xEF && chunk[1] == 0xBB && chunk[2] == 0xBF) {
            line.Form = MarkedUtf8;
            start = 3;
        }
        for (DWORD i = start; i < got; i++)
            TakeByte(&reader, &line, chunk[i]);
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
        // Every other value is written at its default too: an import then
        // sets a value back that the reference machine set back.
        if (spec.Kind == SecretValue && !InstanceValueIsStored(row, record))
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
