// The folder the services run tallysvc.exe from. They run as LocalSystem, so
// whoever can change that folder or the program in it can run code as
// LocalSystem at the service's next start. A folder under Program Files is
// safe; one chosen elsewhere (D:\Apps, a zip unpacked by a user) usually
// lets Authenticated Users write, and a zip leaves its files owned by the user
// who unpacked it (an owner may always rewrite the DACL). Before a service is
// registered or started from such a folder, the folder and each file in it
// are given the DACL the setup program gives the folder it installs into.
#pragma once

#include <windows.h>
#include <stddef.h>

#include "common/system/PathSecurity.h"

// Administrators and SYSTEM full control, Users read and execute, inherited
// by everything inside, nothing inherited from above; owned by the
// Administrators.
#define PROTECTED_FOLDER_SDDL "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"

// Gives the path PROTECTED_FOLDER_SDDL. Non-zero on success, else 0 with
// *error.
int ProtectPath(const char *path, DWORD *error);

// Checks the folder, each file and folder directly in it, and the program
// (which must exist), and protects each that others can write. Non-zero when
// none can be changed by others afterwards; 0 with the reason in text (for
// the user: what, where, the error and how to put it right) when one still
// can, holds a link to another place, or could not be checked. In the root
// of a drive only the program is protected: the drive is not ours.
int SecureProgramFolder(const char *folder, const char *program, char *text, size_t size);

// Whether others can change a file that lists what a privileged caller will
// act on, or add one in its place: PathLetsOthersWrite for its folder and,
// when it exists, for the file.
int FileOrItsFolderLetsOthersWrite(const char *path, DWORD *error);

// SecureProgramFolder for the folder of tallysvc.exe beside this program.
int SecureServiceProgramFolder(char *text, size_t size);

// Called before a service is registered: secures the folder once per run (a
// save may register 64 instances) and, when it cannot, says why in a message
// and returns 0 from then on. Non-zero when services may be registered.
int ServiceFolderMayBeRegistered();
