// A JSON Web Token signed RS256, the assertion of an OAuth 2.0 sign-in that
// proves itself with a private key instead of a secret (RFC 7523): the key
// of a certificate in the machine's Personal store (Microsoft 365), or the
// PEM key of a Google service account's key file.
//
// A certificate's key is found through the certificate's key provider
// information: a CryptoAPI key is opened with the RSA and AES provider
// (PROV_RSA_AES, which can hash SHA-256, whatever provider imported it), a
// key of a CNG key storage provider with ncrypt.dll.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>
#include <stddef.h>

enum JwtKeyKind {
    JwtNoKey        = 0,
    JwtCryptoApiKey = 1,
    JwtCngKey       = 2
};

struct JwtSigner {
    int Kind;
    HCRYPTPROV Provider;            // CryptoAPI: the key's provider
    HCRYPTKEY ImportedKey;          // a key file's key, imported for this signer only
    DWORD KeySpec;                  // AT_KEYEXCHANGE or AT_SIGNATURE
    NCRYPT_KEY_HANDLE CngKey;
    char Thumbprint[32];            // base64url of the certificate's SHA-1 thumbprint (x5t)
    char Failure[160];              // why opening or signing failed
};

// Opens the private key of the certificate whose SHA-1 thumbprint is given
// (hex, as Windows shows it) in the local machine's Personal ("MY") store.
// Non-zero on success; otherwise signer->Failure says why.
int OpenCertificateKey(const char *thumbprint, JwtSigner *signer);

// Opens a PEM private key (PKCS #8 "PRIVATE KEY" or PKCS #1 "RSA PRIVATE
// KEY"). Non-zero on success. Every copy of the key's bytes is wiped.
int OpenPemKey(const char *pem, size_t length, JwtSigner *signer);

void CloseJwtKey(JwtSigner *signer);

// base64url(header) "." base64url(claims) "." base64url(RS256 signature),
// terminated, into jwt. Returns its length; 0 when signing failed or it
// does not fit.
size_t SignJwt(JwtSigner *signer, const char *header, const char *claims, char *jwt, size_t size);

// Appends text to a JSON document as a string (quoted, escaped), keeping it
// terminated. Non-zero when it fitted.
int AppendJsonString(char *json, size_t size, size_t *length, const char *text);
