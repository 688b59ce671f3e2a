// Text rules of the property pages that need no window: the rotated log
// name's preview, the reading of typed numbers, and the E-mail page's
// number and secret boxes.
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

// A digits-only box (Port, Retry hours): empty is 0, a number above highest
// is taken as highest (and *clamped set, so the box can show what is
// stored). For the Port box 0 stands for the default port.
DWORD DigitsUpTo(const char *text, DWORD highest, int *clamped);
// What the Port box shows for a stored port: 0 shows as 25.
void FormatPortText(DWORD port, char *text, size_t size);

// The Password box never shows a stored password: it shows this placeholder,
// characters no keyboard types. Left as it is, the stored password is kept;
// any edit of it starts from empty (the box then holds only what was typed
// into it), and from then on the box holds exactly the password that will
// be stored: emptied, the password is removed.
#define PASSWORD_PLACEHOLDER_CHAR '\x1F'
#define PASSWORD_PLACEHOLDER "\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F\x1F"
#define PASSWORD_PLACEHOLDER_LENGTH 12
enum PasswordEdit {
    PasswordKept     = 0,
    PasswordCleared  = 1,
    PasswordReplaced = 2,
    PasswordRetyped  = 3,   // the box must show what was typed into the placeholder
    PasswordTooLong  = 4    // the box must show the longest start whose UTF-8 fits
};
// Judges the box's text, as typed (UTF-16), after a change; showsPlaceholder:
// the box held the untouched placeholder until this change. For a new
// password its UTF-8 goes to password (size bytes, terminated; the mail
// goes out in UTF-8). For Retyped and TooLong the box must show shown
// (shownSize characters, terminated) instead; that change is judged anew.
PasswordEdit ReadPasswordText(const WCHAR *text, int showsPlaceholder, char *password, size_t size, WCHAR *shown,
                              size_t shownSize);

// Applies a judged edit to a stored secret (the SMTP password, the OAuth
// client secret: blob of blobSize bytes, *stored of them in use): Kept leaves
// it, Cleared removes it, Replaced stores password encrypted by protect.
// Returns 0 when the encryption failed: the secret is then removed, no old
// one kept.
typedef DWORD (*ProtectFunction)(const char *password, BYTE *blob, DWORD blobSize);
int StorePasswordEdit(PasswordEdit edit, const char *password, BYTE *blob, DWORD blobSize, DWORD *stored,
                      ProtectFunction protect);
