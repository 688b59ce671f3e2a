#include "common/system/SecurityLibraries.h"
#include "common/system/SystemLibrary.h"

const SecurityFunctionTableA *SchannelStandIn;

// Loaded once per process and never unloaded. Two threads that ask at the
// same moment both fill the same values: harmless.
static CryptFunctions CryptTable;
static int CryptState;              // 0 not tried, 1 loaded, -1 unavailable
static NCryptFunctions NCryptTable;
static int NCryptState;
static const SecurityFunctionTableA *SchannelTable;
static int SchannelState;

template <typename Function> static int Resolve(HMODULE module, const char *name, Function *function)
{
    *function = (Function)(void *)GetProcAddress(module, name);
    return *function != NULL;
}

const CryptFunctions *Crypt()
{
    if (CryptState == 0) {
        HMODULE crypt32 = LoadSystemLibrary("crypt32.dll");
        CryptFunctions &f = CryptTable;
        int ok = crypt32 != NULL &&
                 Resolve(crypt32, "CertOpenStore", &f.CertOpenStore) &&
                 Resolve(crypt32, "CertCloseStore", &f.CertCloseStore) &&
                 Resolve(crypt32, "CertAddStoreToCollection", &f.CertAddStoreToCollection) &&
                 Resolve(crypt32, "CertAddEncodedCertificateToStore", &f.CertAddEncodedCertificateToStore) &&
                 Resolve(crypt32, "CertFreeCertificateContext", &f.CertFreeCertificateContext) &&
                 Resolve(crypt32, "CertGetCertificateChain", &f.CertGetCertificateChain) &&
                 Resolve(crypt32, "CertFreeCertificateChain", &f.CertFreeCertificateChain) &&
                 Resolve(crypt32, "CertVerifyCertificateChainPolicy", &f.CertVerifyCertificateChainPolicy) &&
                 Resolve(crypt32, "CertFindExtension", &f.CertFindExtension) &&
                 Resolve(crypt32, "CryptDecodeObjectEx", &f.CryptDecodeObjectEx) &&
                 Resolve(crypt32, "CryptStringToBinaryA", &f.CryptStringToBinaryA) &&
                 Resolve(crypt32, "CryptProtectData", &f.CryptProtectData) &&
                 Resolve(crypt32, "CryptUnprotectData", &f.CryptUnprotectData) &&
                 Resolve(crypt32, "CertFindCertificateInStore", &f.CertFindCertificateInStore) &&
                 Resolve(crypt32, "CertGetCertificateContextProperty", &f.CertGetCertificateContextProperty) &&
                 Resolve(crypt32, "CertNameToStrA", &f.CertNameToStrA);
        CryptState = ok ? 1 : -1;
    }
    return CryptState == 1 ? &CryptTable : NULL;
}

const SecurityFunctionTableA *Schannel()
{
    if (SchannelStandIn != NULL)
        return SchannelStandIn;
    if (SchannelState == 0) {
        HMODULE secur32 = LoadSystemLibrary("secur32.dll");
        INIT_SECURITY_INTERFACE_A initialise = NULL;
        if (secur32 != NULL && Resolve(secur32, SECURITY_ENTRYPOINT_ANSIA, &initialise))
            SchannelTable = initialise();
        // Every entry this library calls must be there.
        const SecurityFunctionTableA *t = SchannelTable;
        int ok = t != NULL && t->AcquireCredentialsHandleA != NULL && t->InitializeSecurityContextA != NULL &&
                 t->DeleteSecurityContext != NULL && t->FreeCredentialsHandle != NULL &&
                 t->FreeContextBuffer != NULL && t->QueryContextAttributesA != NULL && t->EncryptMessage != NULL &&
                 t->DecryptMessage != NULL;
        SchannelState = ok ? 1 : -1;
    }
    return SchannelState == 1 ? SchannelTable : NULL;
}

const NCryptFunctions *NCrypt()
{
    if (NCryptState == 0) {
        HMODULE ncrypt = LoadSystemLibrary("ncrypt.dll");
        NCryptFunctions &f = NCryptTable;
        int ok = ncrypt != NULL &&
                 Resolve(ncrypt, "NCryptOpenStorageProvider", &f.NCryptOpenStorageProvider) &&
                 Resolve(ncrypt, "NCryptOpenKey", &f.NCryptOpenKey) &&
                 Resolve(ncrypt, "NCryptSignHash", &f.NCryptSignHash) &&
                 Resolve(ncrypt, "NCryptFreeObject", &f.NCryptFreeObject);
        NCryptState = ok ? 1 : -1;
    }
    return NCryptState == 1 ? &NCryptTable : NULL;
}
