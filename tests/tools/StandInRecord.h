// Shared by the stand-in system DLLs of the end-to-end tests: each call they
// receive is appended as one tab-separated UTF-8 line to the file named by
// TALLY_POPUP_RECORD, so a test sees what the service sent and in what order.
#pragma once

#include <windows.h>
#include <stdio.h>
#include <string.h>

static inline void AppendRecord(const char *line)
{
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("TALLY_POPUP_RECORD", path, sizeof path);
    if (n == 0 || n >= sizeof path)
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
