// The certificate a TLS client proves itself with, for servers that require
// mutual TLS: found by its SHA-1 thumbprint in the local machine's Personal
// ("MY") store, where Schannel also finds its private key.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// The certificate (free it with CertFreeCertificateContext), or null with
// *failure saying why in words for the event log.
PCCERT_CONTEXT FindMachineCertificate(const char *thumbprint, const char **failure);

// Releases a certificate FindMachineCertificate returned (null is nothing).
void FreeMachineCertificate(PCCERT_CONTEXT certificate);
