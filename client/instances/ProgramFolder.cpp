#include "client/instances/ProgramFolder.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

#include "client/instances/ClientMessages.h"
#include "client/instances/ServiceControl.h"

// Rights that let a holder replace or rewrite the program: write or append
// data (on a folder: add a file or subfolder), delete it or a child, change
// its DACL or owner, and the generic forms of those.
#define CHANGING_RIGHTS (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | \
                         WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL)

// NT SERVICE\TrustedInstaller, which owns Windows' own folders.
#define TRUSTED_INSTALLER_SID "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"

static int IsTrustedSid(PSID sid, PSID self)
{
    if (sid == NULL || !IsValidSid(sid))
        return 0;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
        return 1;
    if (self != NULL && EqualSid(sid, self))
        return 1;
    PSID installer = NULL;
    int trusted = 0;
    if (ConvertStringSidToSidA(TRUSTED_INSTALLER_SID, &installer)) {
        trusted = EqualSid(sid, installer);
        LocalFree(installer);
    }
    return trusted;
}

int SecurityLetsOthersWrite(PSECURITY_DESCRIPTOR sd, PSID self)
{
    PSID owner = NULL;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = NULL;
    if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !IsTrustedSid(owner, self))
        return 1;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == NULL)
        return 1;   // no DACL: everyone has every right
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *header = NULL;
        if (!GetAce(dacl, i, (void **)&header))
            return 1;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        ACCESS_ALLOWED_ACE *ace = (ACCESS_ALLOWED_ACE *)header;
        if ((ace->Mask & CHANGING_RIGHTS) != 0 && !IsTrustedSid((PSID)&ace->SidStart, self))
            return 1;
    }
    return 0;
}

// The user SID of this process's token, in a buffer of the caller.
static PSID CurrentUserSid(BYTE *buffer, DWORD size)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NULL;
    DWORD needed = 0;
    BOOL ok = GetTokenInformation(token, TokenUser, buffer, size, &needed);
    CloseHandle(token);
    return ok ? ((TOKEN_USER *)buffer)->User.Sid : NULL;
}

int PathLetsOthersWrite(const char *path, DWORD *error)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    PSID owner = NULL;
    PACL dacl = NULL;
    DWORD result = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, NULL, &dacl, NULL, &sd);
    if (result != ERROR_SUCCESS) {
        *error = result;
        return -1;
    }
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    int writable = SecurityLetsOthersWrite(sd, CurrentUserSid(user, sizeof user));
    LocalFree(sd);
    return writable;
}

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
