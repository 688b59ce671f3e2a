// Text rules of the property pages that need no window: the rotated log
// name's preview and the reading of typed numbers.
#pragma once

#include <windows.h>
#include <stddef.h>

// What a rotated log file's name looks like for logFilename and the
// LogRotation code: the file name part (after the last backslash) with the
// stamp pattern ("yyyymm", "yyyymmdd", "yyyymmddhh", "yyyymmddhhmm") before
// its first dot, or at its end without a dot; unchanged for Never or an
// unknown code. Built in 128 characters with an extension of at most 31:
// anything longer is cut, never overrun. Always terminated within size.
void FormatNamePreview(const char *logFilename, DWORD rotation, char *text, size_t size);

// Reads text as a decimal number as GetDlgItemInt does: blanks around it
// allowed, a sign only when isSigned, and the value must fit 32 bits (signed
// or unsigned). Returns 0 and sets *value to 0 when it is not such a number.
int ParseDecimal(const char *text, int isSigned, DWORD *value);
