#include "client/instances/ProgramFolder.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "client/instances/ClientMessages.h"
#include "client/instances/ServiceControl.h"
#include "common/system/PathSecurity.h"

int ProtectPath(const char *path, DWORD *error)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &sd, NULL)) {
        *error = GetLastError();
        return 0;
    }
    PSID owner = NULL;
    PACL dacl = NULL;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    // SetNamedSecurityInfo also hands the inheritable entries down to what
    // the folder holds.
    DWORD result = SetNamedSecurityInfoA((LPSTR)path, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                             PROTECTED_DACL_SECURITY_INFORMATION,
                                         owner, NULL, dacl, NULL);
    LocalFree(sd);
    *error = result;
    return result == ERROR_SUCCESS;
}

// What an administrator can do about a folder that stays open to others.
#define PUT_IT_RIGHT                                                                                             \
    "The Tallyline services run tallysvc.exe from this folder as LocalSystem, so whoever can change its files "   \
    "could run any program with full control of this machine.\n\n"                                               \
    "Install Tallyline with its setup program (into C:\\Program Files\\Tallyline), or make the Administrators "  \
    "the owner of the folder and of every file in it, with full control for Administrators and SYSTEM, read and " \
    "execute for Users, and nothing inherited (the folder's Properties, Security, Advanced); then try again."

// Protects path when others can change it (unless mayProtect is 0). Non-zero
// when they cannot afterwards; 0 with the reason in text.
static int SecurePath(const char *path, int mayProtect, char *text, size_t size)
{
    DWORD error = 0;
    int writable = PathLetsOthersWrite(path, &error);
    if (writable == 1 && mayProtect && ProtectPath(path, &error))
        writable = PathLetsOthersWrite(path, &error);
    if (writable == 0)
        return 1;
    if (writable < 0)
        snprintf(text, size, "The permissions of \"%s\" could not be read (error %lu).", path, error);
    else
        snprintf(text, size,
                 "Users who are not administrators can change \"%s\", and its permissions could not be "
                 "restricted (error %lu). " PUT_IT_RIGHT,
                 path, error);
    return 0;
}

// Secures each file and folder directly in folder (what lies deeper is never
// run or loaded from there). A link is refused: what it leads to is not ours
// to change.
static int SecureFolderItems(const char *folder, char *text, size_t size)
{
    char path[MAX_PATH + 3];
    snprintf(path, sizeof path, "%s\\*", folder);
    WIN32_FIND_DATAA item;
    HANDLE search = FindFirstFileA(path, &item);
    if (search == INVALID_HANDLE_VALUE) {
        snprintf(text, size, "The files of \"%s\" could not be listed (error %lu).", folder, GetLastError());
        return 0;
    }
    int secured = 1;
    do {
        if (strcmp(item.cFileName, ".") == 0 || strcmp(item.cFileName, "..") == 0)
            continue;
        if ((size_t)snprintf(path, sizeof path, "%s\\%s", folder, item.cFileName) >= sizeof path) {
            snprintf(text, size, "The path of \"%s\" in \"%s\" is too long to be checked.", item.cFileName, folder);
            secured = 0;
        } else if (item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            snprintf(text, size, "\"%s\" is a link to another place, whose permissions Tallyline does not change: "
                     "remove it from the folder. " PUT_IT_RIGHT, path);
            secured = 0;
        } else {
            secured = SecurePath(path, 1, text, size);
        }
    } while (secured && FindNextFileA(search, &item));
    FindClose(search);
    return secured;
}

int SecureProgramFolder(const char *folder, const char *program, char *text, size_t size)
{
    // The permissions of a whole drive, and its other files, are not this
    // program's to change.
    int root = strlen(folder) == 3 && folder[1] == ':';
    if (!SecurePath(folder, !root, text, size))
        return 0;
    if (!root && !SecureFolderItems(folder, text, size))
        return 0;
    return SecurePath(program, 1, text, size);
}

int FileOrItsFolderLetsOthersWrite(const char *path, DWORD *error)
{
    char full[MAX_PATH + 3];
    char *name = NULL;
    DWORD length = GetFullPathNameA(path, sizeof full, full, &name);
    if (length == 0 || length >= sizeof full || name == NULL || name == full) {
        *error = length == 0 ? GetLastError() : ERROR_BAD_PATHNAME;
        return -1;
    }
    if (GetFileAttributesA(full) != INVALID_FILE_ATTRIBUTES) {
        int writable = PathLetsOthersWrite(full, error);
        if (writable != 0)
            return writable;
    }
    // The folder: up to the last backslash, which a drive's root keeps ("C:"
    // alone names a current folder).
    char *end = name - 1;
    if (end == full + 2 && full[1] == ':')
        end++;
    *end = '\0';
    return PathLetsOthersWrite(full, error);
}

int SecureServiceProgramFolder(char *text, size_t size)
{
    char program[MAX_PATH + 3];
    if (!ServiceProgramPath(program, sizeof program, 0)) {
        snprintf(text, size, "The folder of this program could not be determined.");
        return 0;
    }
    char folder[MAX_PATH + 3];
    snprintf(folder, sizeof folder, "%s", program);
    char *slash = strrchr(folder, '\\');
    if (slash == NULL) {
        snprintf(text, size, "The folder of this program could not be determined.");
        return 0;
    }
    *slash = '\0';
    if (slash == folder + 2 && folder[1] == ':')
        strcat(folder, "\\");   // a drive's root: "D:" alone would name its current folder
    return SecureProgramFolder(folder, program, text, size);
}

int ServiceFolderMayBeRegistered()
{
    static int checked = 0, safe = 0;
    if (!checked) {
        checked = 1;
        char reason[1024];
        safe = SecureServiceProgramFolder(reason, sizeof reason);
        if (!safe) {
            char text[1200];
            snprintf(text, sizeof text, "No Tallyline service can be registered.\n\n%s", reason);
            ShowMessageBox(NULL, text, PROGRAM_FOLDER_CAPTION, MB_OK | MB_ICONSTOP);
        }
    }
    return safe;
}
