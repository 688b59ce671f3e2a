// Our own check of the certificate an SMTP server presents in the TLS
// handshake. Schannel is told to leave validation to us, so the decision is
// made here, the same way on Windows and under Wine: the chain is built with
// CertGetCertificateChain and judged with CertVerifyCertificateChainPolicy
// (CERT_CHAIN_POLICY_SSL) against the server's name.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// Why a certificate was refused (for tests and diagnostics).
enum CertificateVerdict {
    CertificateAccepted     = 0,
    CertificateNoChain      = 1,   // the chain could not be built
    CertificateNotTrusted   = 2,   // the policy refused it (unknown root, name, dates, usage...)
    CertificateNameMismatch = 3,   // an IP address server not named in the certificate
    CertificateCaUnreadable = 4    // the trusted CA file could not be read
};

// Largest trusted CA file read; a root certificate is a few kilobytes.
#define TRUSTED_CA_FILE_LIMIT 32768

// Reads a whole file (a CA's certificate, a key file), which must be
// smaller than the buffer. Its length, or -1 when it cannot be read or does
// not fit.
int ReadSmallFile(const char *path, BYTE *buffer, DWORD size);

// Reads a PEM or DER file holding one certificate (the first of a PEM file)
// and adds it to store. Returns the added certificate (free it with
// CertFreeCertificateContext), or null when the file cannot be read or holds
// no certificate.
PCCERT_CONTEXT AddTrustedCaFromFile(const char *path, HCERTSTORE store);

// A plain dotted IPv4 address, four decimal parts of 0 to 255 without
// leading zeros, into address; anything else is a host name. Non-zero for an
// address.
int ParseIpv4Address(const char *text, BYTE address[4]);

// Judges the server's certificate (with the certificates the server sent
// beside it) for serverName, a host name or a dotted IPv4 address. A chain
// that ends exactly at the certificate in trustedCaPath (when not empty) is
// accepted although that root is not in the machine's store; nothing else is
// relaxed. For an IP address the certificate must name that address in its
// subjectAltName: Wine's policy compares only DNS names.
CertificateVerdict CheckServerCertificate(PCCERT_CONTEXT certificate, const char *serverName,
                                          const char *trustedCaPath);

// Why a certificate was refused, in words for the event log ("its chain
// cannot be built", "it does not name the server", ...).
const char *CertificateVerdictText(int verdict);
