// The list's Properties command opens the properties sheet of one instance.
#pragma once

#include <windows.h>

// Shows the sheet titled title for instance n modally, owned by owner, and
// returns its result: 1 when a change was applied to InstanceTable while it
// was open, else 0.
int ShowInstanceProperties(HWND owner, const char *title, int n);
