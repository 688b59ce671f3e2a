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

int SecureProgramFolder(const char *folder, const char *program, char *text, size_t size)
{
    const char *paths[2] = {folder, program};
    // The permissions of a whole drive are not this program's to change.
    int root = strlen(folder) == 3 && folder[1] == ':';
    for (int i = 0; i < 2; i++) {
        DWORD error = 0;
        int writable = PathLetsOthersWrite(paths[i], &error);
        if (writable == 1 && !(root && i == 0) && ProtectPath(paths[i], &error))
            writable = PathLetsOthersWrite(paths[i], &error);
        if (writable == 0)
            continue;
        if (writable < 0)
            snprintf(text, size, "The permissions of \"%s\" could not be read (error %lu).", paths[i], error);
        else
            snprintf(text, size,
                     "Users who are not administrators can change \"%s\", and its permissions could not be "
                     "restricted (error %lu). The Tallyline services run tallysvc.exe from there as "
                     "LocalSystem, so they could run any program with full control of this machine.\n\n"
                     "Install Tallyline in a folder that only administrators can change, such as "
                     "C:\\Program Files\\Tallyline.",
                     paths[i], error);
        return 0;
    }
    return 1;
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
