#include "common/secrets/SmtpPassword.h"

#include <string.h>

#include "common/system/SecurityLibraries.h"

// No prompt may ever appear: the service has no desktop.
#define PROTECT_FLAGS (CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_LOCAL_MACHINE)

void WipeSecret(void *buffer, size_t size)
{
    volatile BYTE *bytes = (volatile BYTE *)buffer;
    while (size-- > 0)
        *bytes++ = 0;
}

DWORD ProtectSmtpPassword(const char *password, BYTE *blob, DWORD blobSize)
{
    size_t length = strnlen(password, SMTP_PASSWORD_SIZE);
    if (length >= SMTP_PASSWORD_SIZE)
        return 0;
    const CryptFunctions *crypt = Crypt();
    DATA_BLOB clear = {(DWORD)length, (BYTE *)password};
    DATA_BLOB sealed = {0, NULL};
    if (crypt == NULL || !crypt->CryptProtectData(&clear, NULL, NULL, NULL, NULL, PROTECT_FLAGS, &sealed))
        return 0;
    DWORD size = 0;
    if (sealed.cbData > 0 && sealed.cbData <= blobSize) {
        memcpy(blob, sealed.pbData, sealed.cbData);
        size = sealed.cbData;
    }
    LocalFree(sealed.pbData);
    return size;
}

int UnprotectSmtpPassword(const BYTE *blob, DWORD blobLength, char *password, size_t passwordSize)
{
    if (passwordSize == 0)
        return 0;
    password[0] = '\0';
    if (blob == NULL || blobLength == 0)
        return 0;
    const CryptFunctions *crypt = Crypt();
    DATA_BLOB sealed = {blobLength, (BYTE *)blob};
    DATA_BLOB clear = {0, NULL};
    if (crypt == NULL || !crypt->CryptUnprotectData(&sealed, NULL, NULL, NULL, NULL, CRYPTPROTECT_UI_FORBIDDEN, &clear))
        return 0;
    int ok = clear.cbData < passwordSize &&
             (clear.cbData == 0 || memchr(clear.pbData, 0, clear.cbData) == NULL);
    if (ok && clear.cbData > 0) {
        memcpy(password, clear.pbData, clear.cbData);
        password[clear.cbData] = '\0';
    }
    if (clear.pbData != NULL) {
        WipeSecret(clear.pbData, clear.cbData);
        LocalFree(clear.pbData);
    }
    return ok;
}
