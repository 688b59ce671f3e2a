// Shared by the stand-in system DLLs of the end-to-end tests: each load and
// each call they receive is appended as one tab-separated UTF-8 line, ending with the tick
// count in milliseconds, to the file named by the setting TALLY_POPUP_RECORD, so a test
// sees what the service sent, in what order and when.
#pragma once

#include <windows.h>
#include <stdio.h>
#include <string.h>

// Where the stand-ins read their settings when the environment lacks them:
// a service's environment is fixed when the Service Control Manager starts
// (under Wine it keeps only Wine's own variables), the registry is not.
#define STAND_IN_KEY "SOFTWARE\\TallylineTests\\StandIns"

// A setting of the stand-ins: the environment variable `name`, or else the
// value of that name under HKLM\STAND_IN_KEY. Non-zero when found.
static inline int StandInSetting(const char *name, char *value, DWORD size)
{
    DWORD n = GetEnvironmentVariableA(name, value, size);
    if (n > 0 && n < size)
        return 1;
    DWORD bytes = size;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, STAND_IN_KEY, name, RRF_RT_REG_SZ, NULL, value, &bytes) ==
            ERROR_SUCCESS &&
        value[0] != '\0')
        return 1;
    value[0] = '\0';
    return 0;
}

static inline void AppendRecord(const char *fields)
{
    char line[2100];
    snprintf(line, sizeof line, "%s\t%llu\n", fields, (unsigned long long)GetTickCount64());
    char path[MAX_PATH];
    if (!StandInSetting("TALLY_POPUP_RECORD", path, sizeof path))
        return;
    // Appends with one write, so the lines of concurrent callers stay whole.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
    CloseHandle(file);
}

// Each load is recorded too, with the file it came from: the tests tell the
// copy in the system folder from one planted beside a program.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH] = "", program[MAX_PATH] = "", fields[2 * MAX_PATH + 16];
        GetModuleFileNameA(module, path, sizeof path);
        GetModuleFileNameA(NULL, program, sizeof program);
        snprintf(fields, sizeof fields, "Loaded\t%s\t%s", path, program);
        AppendRecord(fields);
    }
    return TRUE;
}

// A UTF-16 text of at most `units` units (up to its terminator) as UTF-8;
// "(null)" for a null pointer.
static inline void Utf8Of(const WCHAR *text, size_t units, char *out, int size)
{
    if (text == NULL) {
        snprintf(out, size, "(null)");
        return;
    }
    size_t length = 0;
    while (length < units && text[length] != 0)
        length++;
    int n = length ? WideCharToMultiByte(CP_UTF8, 0, text, (int)length, out, size - 1, NULL, NULL)
                   : 0;
    out[n > 0 ? n : 0] = '\0';
}
