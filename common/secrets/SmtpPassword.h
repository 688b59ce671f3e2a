// The SMTP password at rest: encrypted with DPAPI (CryptProtectData) in
// machine scope, because the configuration program that stores it runs as an
// administrator and the service that uses it as LocalSystem. The clear text
// exists only in memory, for as long as a call needs it, and is wiped after.
#pragma once

#include <windows.h>
#include <stddef.h>

// The longest clear secret (the SMTP password, the OAuth client secret),
// terminator included; it is only ever in memory.
#define SMTP_PASSWORD_SIZE 128

// Encrypts password (at most SMTP_PASSWORD_SIZE - 1 characters) into blob.
// Returns the blob's length, 0 on failure (blob then holds nothing).
DWORD ProtectSmtpPassword(const char *password, BYTE *blob, DWORD blobSize);

// Decrypts a blob into password (terminated). Non-zero on success; on failure
// password is empty. A blob whose clear text would not fit fails.
int UnprotectSmtpPassword(const BYTE *blob, DWORD blobLength, char *password, size_t passwordSize);

// Overwrites memory that held a clear password, in a way the compiler keeps.
void WipeSecret(void *buffer, size_t size);
