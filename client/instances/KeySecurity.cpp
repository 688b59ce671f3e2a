#include "client/instances/KeySecurity.h"

// Two allowed-access entries, each with a SID of at most two sub-authorities.
#define ACL_BUFFER_SIZE 128

static int AllowFullControl(PACL acl, WELL_KNOWN_SID_TYPE who)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    return CreateWellKnownSid(who, NULL, sid, &size) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, sid);
}

int ProtectInstanceKey(HKEY key)
{
    DWORD aclBuffer[ACL_BUFFER_SIZE / sizeof(DWORD)];   // DWORD-aligned, as an ACL must be
    PACL acl = (PACL)aclBuffer;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) || !AllowFullControl(acl, WinLocalSystemSid) ||
        !AllowFullControl(acl, WinBuiltinAdministratorsSid) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return 0;
    return RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
}
