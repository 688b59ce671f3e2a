// Schannel (secur32.dll) and the certificate and DPAPI functions
// (crypt32.dll), loaded on first use instead of imported. Under Wine an
// import of the two doubles every process's memory (7 MB to 16 MB), a cost
// that an instance mailing in plain text, or not at all, must not pay; and a
// system that lacks one of them fails the mail instead of the program's start.
// Both come from the system folder only.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <dpapi.h>
#include <ncrypt.h>
#define SECURITY_WIN32
#include <security.h>

// The crypt32 functions the mail library uses, under their own names.
struct CryptFunctions {
    decltype(&::CertOpenStore) CertOpenStore;
    decltype(&::CertCloseStore) CertCloseStore;
    decltype(&::CertAddStoreToCollection) CertAddStoreToCollection;
    decltype(&::CertAddEncodedCertificateToStore) CertAddEncodedCertificateToStore;
    decltype(&::CertFreeCertificateContext) CertFreeCertificateContext;
    decltype(&::CertGetCertificateChain) CertGetCertificateChain;
    decltype(&::CertFreeCertificateChain) CertFreeCertificateChain;
    decltype(&::CertVerifyCertificateChainPolicy) CertVerifyCertificateChainPolicy;
    decltype(&::CertFindExtension) CertFindExtension;
    decltype(&::CryptDecodeObjectEx) CryptDecodeObjectEx;
    decltype(&::CryptStringToBinaryA) CryptStringToBinaryA;
    decltype(&::CryptProtectData) CryptProtectData;
    decltype(&::CryptUnprotectData) CryptUnprotectData;
    decltype(&::CertFindCertificateInStore) CertFindCertificateInStore;
    decltype(&::CertGetCertificateContextProperty) CertGetCertificateContextProperty;
    decltype(&::CertNameToStrA) CertNameToStrA;
};

// The functions, or null when crypt32.dll or one of them is missing.
const CryptFunctions *Crypt();

// The CNG key storage functions that sign with a certificate's key kept by
// a key storage provider (ncrypt.dll, Vista and later), or null.
struct NCryptFunctions {
    decltype(&::NCryptOpenStorageProvider) NCryptOpenStorageProvider;
    decltype(&::NCryptOpenKey) NCryptOpenKey;
    decltype(&::NCryptSignHash) NCryptSignHash;
    decltype(&::NCryptFreeObject) NCryptFreeObject;
};
const NCryptFunctions *NCrypt();

// Schannel's function table (InitSecurityInterfaceA), or null when
// secur32.dll is missing.
const SecurityFunctionTableA *Schannel();

// A table tests put in Schannel's place, to behave as Wine's Schannel cannot
// (a request for a client certificate, a failed encryption). Null: the
// system's.
extern const SecurityFunctionTableA *SchannelStandIn;
