// Lines into the log of the Windows Installer session that runs an action
// (msiexec /l*v): what the action did and, for the configuration program it
// runs, every line that program printed.
#pragma once

#include <windows.h>
#include <msi.h>

// The session the running action writes to; set at the start of each action.
extern MSIHANDLE InstallerSession;

// Formats one line (bounded) into the session's log.
void LogToInstaller(const char *format, ...);

// Stands in for the configuration program's message boxes inside an action,
// where nobody could answer one: the text goes into the log.
int WINAPI LogMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
