#include "common/oauth/JwtAssertion.h"

#include <stdio.h>
#include <string.h>

#include "common/secrets/SmtpPassword.h"
#include "common/settings/OAuthSettings.h"
#include "common/system/SecurityLibraries.h"
#include "common/text/Base64Text.h"

// A certificate's key provider information: two names and a few numbers.
#define PROVIDER_INFO_SIZE 2048
// RSA keys up to 8,192 bits: their DER, blob and signature.
#define KEY_DER_SIZE 8192
#define SIGNATURE_SIZE 1024

static int Fail(JwtSigner *signer, const char *text, DWORD error)
{
    if (error != 0)
        snprintf(signer->Failure, sizeof signer->Failure, "%s (error 0x%08lx)", text, (unsigned long)error);
    else
        snprintf(signer->Failure, sizeof signer->Failure, "%s", text);
    return 0;
}

static void StartSigner(JwtSigner *signer)
{
    memset(signer, 0, sizeof *signer);
}

// The key named by the certificate's provider information.
static int OpenProviderKey(const CRYPT_KEY_PROV_INFO *info, JwtSigner *signer)
{
    signer->KeySpec = info->dwKeySpec == AT_SIGNATURE ? AT_SIGNATURE : AT_KEYEXCHANGE;
    if (info->dwProvType == 0) {
        // A key storage provider's key (CNG).
        const NCryptFunctions *ncrypt = NCrypt();
        if (ncrypt == NULL)
            return Fail(signer, "the certificate's key needs ncrypt.dll, which this system lacks", 0);
        NCRYPT_PROV_HANDLE provider = 0;
        SECURITY_STATUS status = ncrypt->NCryptOpenStorageProvider(&provider, info->pwszProvName, 0);
        if (status == ERROR_SUCCESS) {
            status = ncrypt->NCryptOpenKey(provider, &signer->CngKey, info->pwszContainerName, info->dwKeySpec,
                                           (info->dwFlags & NCRYPT_MACHINE_KEY_FLAG) | NCRYPT_SILENT_FLAG);
            ncrypt->NCryptFreeObject(provider);
        }
        if (status != ERROR_SUCCESS)
            return Fail(signer, "the certificate's private key cannot be opened", (DWORD)status);
        signer->Kind = JwtCngKey;
        return 1;
    }
    // Microsoft's RSA providers share their key containers; the RSA and AES
    // provider is the one of them that hashes SHA-256.
    const WCHAR *provider = info->dwProvType == PROV_RSA_AES ? info->pwszProvName : MS_ENH_RSA_AES_PROV_W;
    if (!CryptAcquireContextW(&signer->Provider, info->pwszContainerName, provider, PROV_RSA_AES,
                              (info->dwFlags & CRYPT_MACHINE_KEYSET) | CRYPT_SILENT))
        return Fail(signer, "the certificate's private key cannot be opened", GetLastError());
    signer->Kind = JwtCryptoApiKey;
    return 1;
}

int OpenCertificateKey(const char *thumbprintText, JwtSigner *signer)
{
    StartSigner(signer);
    BYTE thumbprint[20];
    if (!ParseThumbprint(thumbprintText, thumbprint))
        return Fail(signer, "the certificate thumbprint is not 40 hexadecimal digits", 0);
    EncodeBase64Text(thumbprint, sizeof thumbprint, signer->Thumbprint, sizeof signer->Thumbprint, 1);
    const CryptFunctions *crypt = Crypt();
    if (crypt == NULL)
        return Fail(signer, "crypt32.dll is missing", 0);
    HCERTSTORE store = crypt->CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG |
                                                CERT_STORE_OPEN_EXISTING_FLAG,
                                            "MY");
    if (store == NULL)
        return Fail(signer, "the machine's Personal certificate store cannot be opened", GetLastError());
    CRYPT_HASH_BLOB hash = {sizeof thumbprint, thumbprint};
    PCCERT_CONTEXT certificate =
        crypt->CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, NULL);
    int ok = 0;
    if (certificate == NULL) {
        Fail(signer, "no certificate with this thumbprint is in the machine's Personal store", 0);
    } else {
        static BYTE infoBuffer[PROVIDER_INFO_SIZE];
        DWORD size = sizeof infoBuffer;
        if (!crypt->CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, infoBuffer, &size))
            Fail(signer, "the certificate has no private key on this machine", GetLastError());
        else
            ok = OpenProviderKey((const CRYPT_KEY_PROV_INFO *)infoBuffer, signer);
        crypt->CertFreeCertificateContext(certificate);
    }
    crypt->CertCloseStore(store, 0);
    return ok;
}

// One DER element at *at (before end): its tag, and its content. Non-zero
// when it is whole.
static int ReadDer(const BYTE **at, const BYTE *end, BYTE *tag, const BYTE **content, DWORD *length)
{
    const BYTE *p = *at;
    if (end - p < 2)
        return 0;
    *tag = *p++;
    DWORD size = *p++;
    if (size & 0x80) {
        int bytes = size & 0x7F;
        if (bytes == 0 || bytes > 3 || end - p < bytes)
            return 0;
        size = 0;
        while (bytes-- > 0)
            size = size << 8 | *p++;
    }
    if ((DWORD)(end - p) < size)
        return 0;
    *content = p;
    *length = size;
    *at = p + size;
    return 1;
}

// The RSAPrivateKey inside a PKCS #8 PrivateKeyInfo (its version, the
// rsaEncryption algorithm, the key as an OCTET STRING), read here because
// not every crypt32 decodes PKCS_PRIVATE_KEY_INFO (Wine's does not).
static int UnwrapPkcs8(const BYTE *der, DWORD length, const BYTE **key, DWORD *keyLength)
{
    static const BYTE RsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const BYTE *at = der, *content, *inner, *oid;
    BYTE tag;
    DWORD size, innerSize, oidSize;
    if (!ReadDer(&at, der + length, &tag, &content, &size) || tag != 0x30)
        return 0;
    at = content;
    const BYTE *end = content + size;
    if (!ReadDer(&at, end, &tag, &inner, &innerSize) || tag != 0x02)
        return 0;
    if (!ReadDer(&at, end, &tag, &inner, &innerSize) || tag != 0x30)
        return 0;
    const BYTE *algorithm = inner;
    if (!ReadDer(&algorithm, inner + innerSize, &tag, &oid, &oidSize) || tag != 0x06 ||
        oidSize != sizeof RsaEncryption || memcmp(oid, RsaEncryption, oidSize) != 0)
        return 0;
    return ReadDer(&at, end, &tag, key, keyLength) && tag == 0x04;
}

int OpenPemKey(const char *pem, size_t length, JwtSigner *signer)
{
    StartSigner(signer);
    const CryptFunctions *crypt = Crypt();
    if (crypt == NULL)
        return Fail(signer, "crypt32.dll is missing", 0);
    static BYTE der[KEY_DER_SIZE];
    DWORD derLength = sizeof der;
    const BYTE *rsaKey = der;
    DWORD rsaKeyLength = 0;
    BYTE *blob = NULL;
    DWORD blobSize = 0;
    int ok = 0;
    if (!crypt->CryptStringToBinaryA(pem, (DWORD)length, CRYPT_STRING_BASE64HEADER, der, &derLength, NULL, NULL)) {
        Fail(signer, "the private key is not PEM text", GetLastError());
    } else {
        if (!UnwrapPkcs8(der, derLength, &rsaKey, &rsaKeyLength)) {
            rsaKey = der;               // PKCS #1 as it stands
            rsaKeyLength = derLength;
        }
        if (!crypt->CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, rsaKey,
                                        rsaKeyLength, CRYPT_DECODE_ALLOC_FLAG, NULL, &blob, &blobSize))
            Fail(signer, "the private key is not an RSA key", GetLastError());
        else if (!CryptAcquireContextW(&signer->Provider, NULL, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                       CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
            Fail(signer, "no RSA and AES cryptographic provider", GetLastError());
        else if (!CryptImportKey(signer->Provider, blob, blobSize, 0, 0, &signer->ImportedKey))
            Fail(signer, "the private key cannot be imported", GetLastError());
        else
            ok = 1;
    }
    WipeSecret(der, sizeof der);
    if (blob != NULL) {
        WipeSecret(blob, blobSize);
        LocalFree(blob);
    }
    signer->KeySpec = AT_KEYEXCHANGE;
    signer->Kind = ok ? JwtCryptoApiKey : JwtNoKey;
    if (!ok)
        CloseJwtKey(signer);
    return ok;
}

void CloseJwtKey(JwtSigner *signer)
{
    if (signer->ImportedKey != 0)
        CryptDestroyKey(signer->ImportedKey);
    if (signer->Provider != 0)
        CryptReleaseContext(signer->Provider, 0);
    if (signer->CngKey != 0 && NCrypt() != NULL)
        NCrypt()->NCryptFreeObject(signer->CngKey);
    signer->ImportedKey = 0;
    signer->Provider = 0;
    signer->CngKey = 0;
    signer->Kind = JwtNoKey;
}

// SHA-256 of data with provider.
static int HashSha256(HCRYPTPROV provider, const char *data, size_t length, HCRYPTHASH *hash)
{
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, hash))
        return 0;
    if (CryptHashData(*hash, (const BYTE *)data, (DWORD)length, 0))
        return 1;
    CryptDestroyHash(*hash);
    return 0;
}

// The RS256 signature of data, big-endian, into signature.
static DWORD Sign(JwtSigner *signer, const char *data, size_t length, BYTE *signature, DWORD size)
{
    // A CNG key is given the digest, made by a provider of this call's own.
    HCRYPTPROV provider = signer->Provider;
    if (signer->Kind == JwtCngKey && !CryptAcquireContextW(&provider, NULL, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                                           CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return Fail(signer, "no RSA and AES cryptographic provider", GetLastError());
    HCRYPTHASH hash = 0;
    if (!HashSha256(provider, data, length, &hash)) {
        Fail(signer, "SHA-256 is not available", GetLastError());
        if (provider != signer->Provider)
            CryptReleaseContext(provider, 0);
        return 0;
    }
    DWORD signed_ = 0;
    if (signer->Kind == JwtCryptoApiKey) {
        DWORD signatureLength = size;
        if (CryptSignHashW(hash, signer->KeySpec, NULL, 0, signature, &signatureLength)) {
            // CryptoAPI gives the signature little-endian.
            for (DWORD i = 0; i < signatureLength / 2; i++) {
                BYTE b = signature[i];
                signature[i] = signature[signatureLength - 1 - i];
                signature[signatureLength - 1 - i] = b;
            }
            signed_ = signatureLength;
        } else {
            Fail(signer, "the private key could not sign", GetLastError());
        }
    } else if (signer->Kind == JwtCngKey) {
        BYTE digest[32];
        DWORD digestLength = sizeof digest;
        BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
        DWORD signatureLength = 0;
        SECURITY_STATUS status = NTE_BAD_HASH;
        if (CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0))
            status = NCrypt()->NCryptSignHash(signer->CngKey, &padding, digest, digestLength, signature, size,
                                              &signatureLength, BCRYPT_PAD_PKCS1);
        if (status == ERROR_SUCCESS)
            signed_ = signatureLength;
        else
            Fail(signer, "the private key could not sign", (DWORD)status);
    }
    CryptDestroyHash(hash);
    if (provider != signer->Provider)
        CryptReleaseContext(provider, 0);
    return signed_;
}

size_t SignJwt(JwtSigner *signer, const char *header, const char *claims, char *jwt, size_t size)
{
    size_t length = EncodeBase64Text((const BYTE *)header, strlen(header), jwt, size, 1);
    if (length == 0 || length + 2 >= size)
        return 0;
    jwt[length++] = '.';
    size_t part = EncodeBase64Text((const BYTE *)claims, strlen(claims), jwt + length, size - length, 1);
    if (part == 0)
        return 0;
    length += part;
    BYTE signature[SIGNATURE_SIZE];
    DWORD signatureLength = Sign(signer, jwt, length, signature, sizeof signature);
    if (signatureLength == 0 || length + 2 >= size)
        return 0;
    jwt[length++] = '.';
    part = EncodeBase64Text(signature, signatureLength, jwt + length, size - length, 1);
    WipeSecret(signature, sizeof signature);
    if (part == 0)
        return Fail(signer, "the assertion is too long", 0);
    return length + part;
}

int AppendJsonString(char *json, size_t size, size_t *length, const char *text)
{
    size_t at = *length;
    if (at + 1 >= size)
        return 0;
    json[at++] = '"';
    for (; *text != '\0'; text++) {
        unsigned char c = (unsigned char)*text;
        char escaped[8] = "";
        if (c == '"' || c == '\\')
            snprintf(escaped, sizeof escaped, "\\%c", c);
        else if (c < 0x20)
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
        size_t needed = escaped[0] != '\0' ? strlen(escaped) : 1;
        if (at + needed + 1 >= size)
            return 0;
        if (escaped[0] != '\0')
            memcpy(json + at, escaped, needed);
        else
            json[at] = (char)c;
        at += needed;
    }
    json[at++] = '"';
    json[at] = '\0';
    *length = at;
    return 1;
}
