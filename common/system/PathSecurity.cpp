#include "common/system/PathSecurity.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

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

int SecurityLetsOthersChange(PSECURITY_DESCRIPTOR sd, PSID self, DWORD rights)
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
        if ((ace->Mask & rights) != 0 && !IsTrustedSid((PSID)&ace->SidStart, self))
            return 1;
    }
    return 0;
}

int SecurityLetsOthersWrite(PSECURITY_DESCRIPTOR sd, PSID self)
{
    return SecurityLetsOthersChange(sd, self, CHANGING_RIGHTS);
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

int PathLetsOthersChange(const char *path, DWORD rights, DWORD *error)
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
    int changeable = SecurityLetsOthersChange(sd, CurrentUserSid(user, sizeof user), rights);
    LocalFree(sd);
    return changeable;
}

int PathLetsOthersWrite(const char *path, DWORD *error)
{
    return PathLetsOthersChange(path, CHANGING_RIGHTS, error);
}

int FileLetsOthersChange(const char *path, char *which, size_t size, DWORD *error)
{
    char full[MAX_PATH], *name = NULL;
    DWORD length = GetFullPathNameA(path, sizeof full, full, &name);
    if (length == 0 || length >= sizeof full) {
        *error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        snprintf(which, size, "%s", path);
        return -1;
    }
    snprintf(which, size, "%s", full);
    int changeable = PathLetsOthersChange(full, CHANGING_RIGHTS, error);
    if (changeable != 0 || name == NULL || name == full)
        return changeable;
    // The folder, kept with its backslash when it is a drive's root.
    size_t folder = (size_t)(name - full);
    if (folder > 1 && full[folder - 2] != ':')
        folder--;
    full[folder] = '\0';
    changeable = PathLetsOthersChange(full, REPLACING_RIGHTS, error);
    if (changeable != 0)
        snprintf(which, size, "%s", full);
    return changeable;
}
