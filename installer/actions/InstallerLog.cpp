#include "installer/actions/InstallerLog.h"

#include <msiquery.h>
#include <stdarg.h>
#include <stdio.h>

MSIHANDLE InstallerSession = 0;

void LogToInstaller(const char *format, ...)
{
    char line[1400];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0)
        return;
    // A template of the field alone: brackets in the text stay as they are.
    MsiRecordSetStringA(record, 0, "[1]");
    MsiRecordSetStringA(record, 1, line);
    MsiProcessMessage(InstallerSession, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

int WINAPI LogMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT)
{
    LogToInstaller("%s: %s", caption, text);
    return IDOK;
}
