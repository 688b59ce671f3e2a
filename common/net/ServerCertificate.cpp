#include "common/net/ServerCertificate.h"

#include <string.h>

#include "common/system/SecurityLibraries.h"

static const char PemBegin[] = "-----BEGIN CERTIFICATE-----";
static const char PemEnd[] = "-----END CERTIFICATE-----";

// The file and its decoded form; one check at a time per process, like the
// mail that needs it.
static BYTE FileText[TRUSTED_CA_FILE_LIMIT];
static BYTE DerBytes[TRUSTED_CA_FILE_LIMIT];

// Where text (of length bytes, NULs allowed) holds word, or -1.
static int FindText(const BYTE *text, int length, const char *word)
{
    int wordLength = (int)strlen(word);
    for (int at = 0; at + wordLength <= length; at++)
        if (memcmp(text + at, word, wordLength) == 0)
            return at;
    return -1;
}

int ReadSmallFile(const char *path, BYTE *buffer, DWORD size)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    DWORD total = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer + total, size - total, &read, NULL)) {
            total = size;   // unreadable: treated as too large
            break;
        }
        if (read == 0)
            break;
        total += read;
        if (total == size)
            break;          // no room left: too large for a root certificate
    }
    CloseHandle(file);
    return total < size ? (int)total : -1;
}

PCCERT_CONTEXT AddTrustedCaFromFile(const char *path, HCERTSTORE store)
{
    const CryptFunctions *crypt = Crypt();
    if (crypt == NULL)
        return NULL;
    int length = ReadSmallFile(path, FileText, sizeof FileText);
    if (length <= 0)
        return NULL;
    const BYTE *der = FileText;
    DWORD derLength = (DWORD)length;
    int begin = FindText(FileText, length, PemBegin);
    if (begin >= 0) {
        // PEM: the first certificate, from its BEGIN line to its END line.
        int end = FindText(FileText + begin, length - begin, PemEnd);
        if (end < 0)
            return NULL;
        DWORD pemLength = (DWORD)(end + (int)strlen(PemEnd));
        derLength = sizeof DerBytes;
        if (!crypt->CryptStringToBinaryA((const char *)FileText + begin, pemLength, CRYPT_STRING_BASE64HEADER,
                                  DerBytes, &derLength, NULL, NULL))
            return NULL;
        der = DerBytes;
    }
    PCCERT_CONTEXT added = NULL;
    if (!crypt->CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derLength, CERT_STORE_ADD_ALWAYS,
                                          &added))
        return NULL;
    return added;
}

int ParseIpv4Address(const char *text, BYTE address[4])
{
    for (int part = 0; part < 4; part++) {
        int value = 0;
        int digits = 0;
        const char *first = text;
        while (*text >= '0' && *text <= '9' && digits < 4) {
            value = value * 10 + (*text++ - '0');
            digits++;
        }
        // A leading zero makes the resolver read the part as octal: 010 would
        // be checked as 10 and connected to as 8.
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && *first == '0'))
            return 0;
        address[part] = (BYTE)value;
        if (part < 3 && *text++ != '.')
            return 0;
    }
    return *text == '\0';
}

static int AlternativeNamesHoldAddress(PCCERT_CONTEXT certificate, const BYTE address[4])
{
    const CryptFunctions *crypt = Crypt();
    const CERT_INFO *info = certificate->pCertInfo;
    PCERT_EXTENSION extension = crypt->CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (extension == NULL)
        extension = crypt->CertFindExtension(szOID_SUBJECT_ALT_NAME, info->cExtension, info->rgExtension);
    if (extension == NULL)
        return 0;
    CERT_ALT_NAME_INFO *names = NULL;
    DWORD size = 0;
    if (!crypt->CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, NULL, &names, &size))
        return 0;
    int found = 0;
    for (DWORD i = 0; i < names->cAltEntry && !found; i++) {
        const CERT_ALT_NAME_ENTRY &entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
                memcmp(entry.IPAddress.pbData, address, 4) == 0;
    }
    LocalFree(names);
    return found;
}

// The chain ends exactly at the trusted CA: its last certificate is the same
// certificate, byte for byte, and nothing is missing below it.
static int EndsAt(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT root)
{
    if (root == NULL || chain->cChain == 0 || (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_PARTIAL_CHAIN))
        return 0;
    const CERT_SIMPLE_CHAIN *simple = chain->rgpChain[chain->cChain - 1];
    if (simple->cElement == 0)
        return 0;
    PCCERT_CONTEXT last = simple->rgpElement[simple->cElement - 1]->pCertContext;
    return last->cbCertEncoded == root->cbCertEncoded &&
           memcmp(last->pbCertEncoded, root->pbCertEncoded, root->cbCertEncoded) == 0;
}

static int PolicyAccepts(PCCERT_CHAIN_CONTEXT chain, const WCHAR *serverName, int trustedRoot)
{
    const CryptFunctions *crypt = Crypt();
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = (WCHAR *)serverName;
    CERT_CHAIN_POLICY_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    // Only the root's absence from the machine's store is forgiven, and only
    // for the root the instance names: dates, usage and name still count.
    para.dwFlags = trustedRoot ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    return crypt->CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status) &&
           status.dwError == 0;
}

CertificateVerdict CheckServerCertificate(PCCERT_CONTEXT certificate, const char *serverName,
                                          const char *trustedCaPath)
{
    const CryptFunctions *crypt = Crypt();
    if (crypt == NULL || certificate == NULL || serverName == NULL)
        return CertificateNoChain;
    BYTE address[4];
    int isAddress = ParseIpv4Address(serverName, address);
    WCHAR wideName[256];
    if (!isAddress && MultiByteToWideChar(CP_ACP, 0, serverName, -1, wideName, 256) == 0)
        return CertificateNotTrusted;

    HCERTSTORE trusted = crypt->CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, NULL);
    HCERTSTORE search = crypt->CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, CERT_STORE_CREATE_NEW_FLAG, NULL);
    PCCERT_CONTEXT root = NULL;
    PCCERT_CHAIN_CONTEXT chain = NULL;
    CertificateVerdict verdict = CertificateNoChain;
    if (trusted == NULL || search == NULL)
        goto done;
    if (trustedCaPath != NULL && trustedCaPath[0] != '\0') {
        root = AddTrustedCaFromFile(trustedCaPath, trusted);
        if (root == NULL) {
            verdict = CertificateCaUnreadable;
            goto done;
        }
    }
    // The certificates the server sent beside its own, and the trusted root.
    crypt->CertAddStoreToCollection(search, trusted, 0, 0);
    if (certificate->hCertStore != NULL)
        crypt->CertAddStoreToCollection(search, certificate->hCertStore, 0, 0);

    {
        LPSTR serverAuth[1] = {(LPSTR)szOID_PKIX_KP_SERVER_AUTH};
        CERT_CHAIN_PARA para;
        memset(&para, 0, sizeof para);
        para.cbSize = sizeof para;
        para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
        para.RequestedUsage.Usage.cUsageIdentifier = 1;
        para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
        // Never to the network (a missing issuer fetched by URL, a root
        // update): the chain is what the server sent and the trusted CA, and
        // the handshake's time-out bounds the check.
        DWORD flags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
        if (!crypt->CertGetCertificateChain(NULL, certificate, NULL, search, &para, flags, NULL, &chain) ||
            chain == NULL)
            goto done;
    }
    verdict = CertificateNotTrusted;
    {
        int trustedRoot = EndsAt(chain, root);
        // The chain's own findings are judged too, not only the policy's:
        // Wine's SSL policy lets a chain pass that ends short of any root.
        DWORD forgiven = trustedRoot ? CERT_TRUST_IS_UNTRUSTED_ROOT : 0;
        if ((chain->TrustStatus.dwErrorStatus & ~forgiven) != 0 ||
            !PolicyAccepts(chain, isAddress ? NULL : wideName, trustedRoot))
            goto done;
    }
    verdict = CertificateAccepted;
    if (isAddress && !AlternativeNamesHoldAddress(certificate, address))
        verdict = CertificateNameMismatch;

done:
    if (chain != NULL)
        crypt->CertFreeCertificateChain(chain);
    if (root != NULL)
        crypt->CertFreeCertificateContext(root);
    if (search != NULL)
        crypt->CertCloseStore(search, 0);
    if (trusted != NULL)
        crypt->CertCloseStore(trusted, 0);
    return verdict;
}

const char *CertificateVerdictText(int verdict)
{
    switch (verdict) {
    case CertificateNoChain:      return "its chain cannot be built";
    case CertificateNameMismatch: return "it does not name the server";
    case CertificateCaUnreadable: return "the trusted CA file cannot be read";
    default:                      return "it is not trusted";
    }
}
