#include "common/system/SystemLibrary.h"

#include <stdio.h>
#include <string.h>

HMODULE LoadSystemLibrary(const char *name)
{
    HMODULE module = LoadLibraryExA(name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != NULL || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    // A Windows 7 without the update that brought the flag: by full path.
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + strlen(name) >= sizeof path)
        return NULL;
    snprintf(path + length, sizeof path - length, "\\%s", name);
    return LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

int RestrictDllSearchToSystemFolder()
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD flags);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn restrict =
        kernel32 != NULL ? (SetDefaultDllDirectoriesFn)(void *)GetProcAddress(kernel32, "SetDefaultDllDirectories")
                         : NULL;
    if (restrict != NULL && restrict(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return 1;
    SetDllDirectoryA("");
    return 0;
}
