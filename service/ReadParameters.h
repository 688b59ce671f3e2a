#pragma once
#include <stddef.h>

// Fills Params, MailConfigured and ExtensionPos from the instance's two
// registry keys. Non-zero on success; a missing key is reported and fails.
int ReadParameters();

// Index in path at which the rotation stamp goes: the last dot of the last
// path element (not at index 0), else the path's length.
size_t FindExtensionPos(const char *path);
