// Base64 of data of any length into a caller's buffer, through the program's
// one codec in blocks it can take: the XOAUTH2 sign-in and the parts of a
// JSON Web Token. The codec is wiped afterwards (the data may be a secret).
#pragma once

#include <windows.h>
#include <stddef.h>

// Encodes length bytes into text (terminated): standard base64 with
// padding, or with urlSafe the base64url of JSON Web Tokens ("-" and "_",
// no padding). Returns the text's length; 0 when it does not fit (text is
// then empty).
size_t EncodeBase64Text(const BYTE *data, size_t length, char *text, size_t size, int urlSafe);
