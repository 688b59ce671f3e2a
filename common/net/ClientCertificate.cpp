#include "common/net/ClientCertificate.h"

#include "common/settings/OAuthSettings.h"
#include "common/system/SecurityLibraries.h"

PCCERT_CONTEXT FindMachineCertificate(const char *thumbprintText, const char **failure)
{
    BYTE thumbprint[20];
    if (!ParseThumbprint(thumbprintText, thumbprint)) {
        *failure = "the certificate thumbprint is not 40 hexadecimal digits";
        return NULL;
    }
    const CryptFunctions *crypt = Crypt();
    if (crypt == NULL) {
        *failure = "crypt32.dll is missing";
        return NULL;
    }
    HCERTSTORE store = crypt->CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG |
                                                CERT_STORE_OPEN_EXISTING_FLAG,
                                            "MY");
    if (store == NULL) {
        *failure = "the machine's Personal certificate store cannot be opened";
        return NULL;
    }
    CRYPT_HASH_BLOB hash = {sizeof thumbprint, thumbprint};
    PCCERT_CONTEXT certificate =
        crypt->CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, NULL);
    DWORD size = 0;
    if (certificate == NULL) {
        *failure = "no certificate with this thumbprint is in the machine's Personal store";
    } else if (!crypt->CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, NULL, &size)) {
        *failure = "the certificate has no private key on this machine";
        crypt->CertFreeCertificateContext(certificate);
        certificate = NULL;
    }
    // The context keeps its store open as long as it is needed.
    crypt->CertCloseStore(store, 0);
    return certificate;
}

void FreeMachineCertificate(PCCERT_CONTEXT certificate)
{
    if (certificate != NULL && Crypt() != NULL)
        Crypt()->CertFreeCertificateContext(certificate);
}
