// The box of a secret that is stored only encrypted (the SMTP password on the
// E-mail page, the OAuth 2.0 client secret in its dialog), with the
// placeholder protocol of PageText.h: a stored secret is never shown, and
// every change is stored at once, encrypted, so the clear text never stays
// in the settings.
#pragma once

#include <windows.h>

#include "client/PageText.h"

struct SecretBox {
    HWND Box;
    int Placeholder;          // the box still shows the untouched placeholder
    BYTE *Blob;               // the encrypted secret of the settings being edited
    DWORD BlobSize;
    DWORD *Size;              // bytes of Blob in use; 0: none
    ProtectFunction Protect;
    const char *FailedText;   // said when the encryption fails
};

// Makes the dialog's edit `id` a Unicode box in the same place (an ANSI box
// would lose any character outside the code page; the secret is stored as
// UTF-8), taking no more than is stored, and shows the placeholder when a
// secret is stored. Call it where filling the dialog is no edit.
void OpenSecretBox(SecretBox *box, HWND dialog, int id, BYTE *blob, DWORD blobSize, DWORD *size,
                   ProtectFunction protect, const char *failedText);

// The box's EN_CHANGE: judges the text and stores it encrypted; when the
// encryption fails, says so in a message owned by owner and empties the box.
void OnSecretBoxChange(SecretBox *box, HWND owner);

// The box's EN_SETFOCUS: typing over the placeholder replaces it whole.
void OnSecretBoxFocus(const SecretBox *box);
