// Who may change a file or folder, judged from its owner and DACL. Both
// programs run with full control of the machine (the service as LocalSystem,
// the configuration program elevated): a program, certificate, key or
// configuration file they take on an administrator's word is only as safe as
// the hands that can change it.
#pragma once

#include <windows.h>
#include <stddef.h>

// Rights that let a holder rewrite a file, or add to a folder: write or
// append data (on a folder: add a file or subfolder), delete it or a child,
// change its DACL or owner, and the generic forms of those.
#define CHANGING_RIGHTS (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | \
                         WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL)

// Rights on a folder that let a holder take a file in it away and put another
// in its place: delete or rename an entry or the folder itself, re-secure it.
#define REPLACING_RIGHTS (FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL)

// Whether a security descriptor lets anyone but SYSTEM, the Administrators,
// TrustedInstaller and self (the account running this program) use one of
// `rights` on the object: an owner outside them (an owner may always rewrite
// the DACL), a null DACL, or an allow entry that applies to the object itself
// with one of the rights. Deny entries are not weighed: an allow entry counts
// even where a deny entry would stop it.
int SecurityLetsOthersChange(PSECURITY_DESCRIPTOR sd, PSID self, DWORD rights);

// The same with CHANGING_RIGHTS.
int SecurityLetsOthersWrite(PSECURITY_DESCRIPTOR sd, PSID self);

// Reads the path's owner and DACL and judges them as above. 1: others can;
// 0: they cannot; -1: the security could not be read (*error says why).
int PathLetsOthersChange(const char *path, DWORD rights, DWORD *error);
int PathLetsOthersWrite(const char *path, DWORD *error);

// A file trusted as it stands (a program, a CA, a key, a configuration
// file): whether others can change it (CHANGING_RIGHTS) or replace it
// through its folder (REPLACING_RIGHTS). 1, 0 or -1 as above; `which` gets
// the path judged changeable or unreadable: the file's own or its folder's.
int FileLetsOthersChange(const char *path, char *which, size_t size, DWORD *error);
