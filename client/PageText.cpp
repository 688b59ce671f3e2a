#include "client/PageText.h"
#include "common/secrets/SmtpPassword.h"
#include "common/settings/Parameters.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

// Stamp patterns by LogRotation; %s is the extension.
static const char *const StampFormats[ROTATION_KIND_COUNT] = {
    NULL, "yyyymm%s", "yyyymmdd%s", "yyyymmdd%s", "yyyymmddhh%s", "yyyymmddhhmm%s",
};

#define PREVIEW_SIZE   128
#define EXTENSION_SIZE 32

void FormatNamePreview(const char *logFilename, DWORD rotation, char *text, size_t size)
{
    if (size == 0)
        return;
    const char *name = strrchr(logFilename, '\\');
    name = name != NULL ? name + 1 : logFilename;
    if (rotation == 0 || rotation >= ROTATION_KIND_COUNT) {
        snprintf(text, size, "%s", name);
        return;
    }
    // The preview marks the first dot, where the service stamps before the
    // last: it shows the pattern, not the exact name of a rotated file.
    const char *dot = strchr(name, '.');
    char extension[EXTENSION_SIZE];
    snprintf(extension, sizeof extension, "%s", dot != NULL ? dot : "");
    size_t stem = dot != NULL ? (size_t)(dot - name) : strlen(name);
    char preview[PREVIEW_SIZE];
    int length = snprintf(preview, sizeof preview, "%.*s", (int)stem, name);
    if (length < 0 || (size_t)length >= sizeof preview)
        length = sizeof preview - 1;
    snprintf(preview + length, sizeof preview - length, StampFormats[rotation], extension);
    snprintf(text, size, "%s", preview);
}

int ParseDecimal(const char *text, int isSigned, DWORD *value)
{
    *value = 0;
    while (*text == ' ' || *text == '\t')
        text++;
    int negative = 0;
    if (isSigned && (*text == '-' || *text == '+')) {
        negative = *text == '-';
        text++;
    }
    if (*text < '0' || *text > '9')
        return 0;
    unsigned long long number = 0;
    while (*text >= '0' && *text <= '9') {
        number = number * 10 + (unsigned)(*text - '0');
        if (number > 0xFFFFFFFFull)
            return 0;
        text++;
    }
    while (*text == ' ' || *text == '\t')
        text++;
    if (*text != '\0')
        return 0;
    if (isSigned) {
        if (negative ? number > (unsigned long long)INT_MAX + 1 : number > (unsigned long long)INT_MAX)
            return 0;
        *value = negative ? (DWORD)(-(long long)number) : (DWORD)number;
    } else {
        *value = (DWORD)number;
    }
    return 1;
}


DWORD DigitsUpTo(const char *text, DWORD highest, int *clamped)
{
    *clamped = 0;
    unsigned long long number = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        number = number * 10 + (unsigned)(*text - '0');
        if (number > highest) {
            *clamped = 1;
            return highest;
        }
    }
    return (DWORD)number;
}

void FormatPortText(DWORD port, char *text, size_t size)
{
    snprintf(text, size, "%lu", (unsigned long)(port == 0 ? SMTP_DEFAULT_PORT : port));
}

PasswordEdit ReadPasswordText(const WCHAR *text, int showsPlaceholder, char *password, size_t size, WCHAR *shown,
                              size_t shownSize)
{
    if (size == 0 || shownSize == 0)
        return PasswordCleared;
    password[0] = '\0';
    size_t length = 0, placeholder = 0, total = 0;
    for (; text[total] != 0; total++) {
        if (text[total] == PASSWORD_PLACEHOLDER_CHAR)
            placeholder++;
        else if (length + 1 < shownSize)
            shown[length++] = text[total];
    }
    shown[length] = 0;
    if (showsPlaceholder && placeholder == PASSWORD_PLACEHOLDER_LENGTH && total == placeholder)
        return PasswordKept;
    if (placeholder > 0)
        return PasswordRetyped;
    if (length == 0)
        return PasswordCleared;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, shown, (int)length, password, (int)size - 1, NULL, NULL);
    if (bytes > 0) {
        password[bytes] = '\0';
        return PasswordReplaced;
    }
    password[0] = '\0';
    // Too long in UTF-8: cut where it fits, never inside a surrogate pair.
    size_t fit = length;
    while (fit > 0 && WideCharToMultiByte(CP_UTF8, 0, shown, (int)fit, NULL, 0, NULL, NULL) > (int)size - 1) {
        fit--;
        if (fit > 0 && IS_HIGH_SURROGATE(shown[fit - 1]))
            fit--;
    }
    shown[fit] = 0;
    return PasswordTooLong;
}

int StorePasswordEdit(PasswordEdit edit, const char *password, BYTE *blob, DWORD blobSize, DWORD *stored,
                      ProtectFunction protect)
{
    if (edit == PasswordKept)
        return 1;
    WipeSecret(blob, blobSize);
    *stored = 0;
    if (edit != PasswordReplaced)
        return 1;
    *stored = protect(password, blob, blobSize);
    return *stored > 0;
}
