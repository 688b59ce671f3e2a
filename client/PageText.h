// Text rules of the property pages that need no window: the rotated log
// name's preview, the reading of typed numbers, and the E-mail page's Port
// and Password boxes.
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

// The Port box holds digits only: empty is the default port (stored as 0),
// a number above 65535 is taken as 65535 (and *clamped set, so the box can
// show what is stored).
DWORD PortFromText(const char *text, int *clamped);
// What the Port box shows for a stored port: 0 shows as 25.
void FormatPortText(DWORD port, char *text, size_t size);

// The Password box never shows a stored password: it shows this placeholder,
// characters no keyboard types. Leaving it as it is keeps the stored
// password, emptying the box removes it, anything else is the new password.
#define PASSWORD_PLACEHOLDER_CHAR '\x1F'
#define PASSWORD_PLACEHOLDER "\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F"
enum PasswordEdit {
    PasswordKept     = 0,
    PasswordCleared  = 1,
    PasswordReplaced = 2
};
// Judges the box's text. For a new password, its text without what is left
// of the placeholder goes to password (size bytes, terminated): a user who
// deleted part of the dots and typed on meant only what was typed.
PasswordEdit ReadPasswordText(const char *text, char *password, size_t size);
