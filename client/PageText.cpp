#include "PageText.h"
#include "Parameters.h"

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


DWORD PortFromText(const char *text, int *clamped)
{
    *clamped = 0;
    DWORD port = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        port = port * 10 + (DWORD)(*text - '0');
        if (port > 65535) {
            *clamped = 1;
            return 65535;
        }
    }
    return port;
}

void FormatPortText(DWORD port, char *text, size_t size)
{
    snprintf(text, size, "%lu", (unsigned long)(port == 0 ? SMTP_DEFAULT_PORT : port));
}

PasswordEdit ReadPasswordText(const char *text, char *password, size_t size)
{
    if (size == 0)
        return PasswordCleared;
    password[0] = '\0';
    if (strcmp(text, PASSWORD_PLACEHOLDER) == 0)
        return PasswordKept;
    size_t length = 0;
    for (; *text != '\0'; text++)
        if (*text != PASSWORD_PLACEHOLDER_CHAR && length + 1 < size)
            password[length++] = *text;
    password[length] = '\0';
    return length == 0 ? PasswordCleared : PasswordReplaced;
}
