// System DLLs come from the system folder only. Both programs run elevated
// (the service as LocalSystem), so a DLL of a system name put beside them, in
// the current folder or on the PATH by someone who may write there must never
// be loaded in its place.
#pragma once

#include <windows.h>

// Loads a system DLL by its bare name ("netapi32.dll") from the system folder
// and nowhere else; null when it is not there.
HMODULE LoadSystemLibrary(const char *name);

// Called first thing at process start: from then on every DLL loaded by name
// without a folder, by this program or by a system DLL on its behalf, is
// searched for in the system folder only (SetDefaultDllDirectories, looked
// up at run time: a Windows 7 without the update that brought it lacks it;
// there the current folder at least leaves the search). Non-zero when the
// search is restricted to the system folder.
int RestrictDllSearchToSystemFolder();
