// Who may open an instance's parameter keys. The SMTP password in them is
// encrypted in machine scope, which any local account that can read the
// value can decrypt, and the Services key is readable by every user: so the
// Parameters and Port1 keys allow SYSTEM (the service) and Administrators
// (this program) full control and nobody else anything, with no entries
// inherited from the service's key.
#pragma once

#include <windows.h>

// Gives the open key (opened with WRITE_DAC) that protected DACL; new
// subkeys inherit it. Non-zero on success.
int ProtectInstanceKey(HKEY key);
