// A TLS client stream over a connected socket, through Schannel (secur32,
// loaded at run time: SecurityLibraries.h):
// the handshake, our own check of the server's certificate, then encrypted
// sends and decrypted receives. TLS 1.2 only, the version that Schannel
// offers the same way on every Windows since 7 and under Wine. Everything
// lives in fixed buffers of the stream: memory does not depend on how much
// is sent or received.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>

#include "common/net/ServerCertificate.h"

// A TLS record: a 5-byte header, then at most 2^14 bytes of data plus what
// encryption adds (at most 2,048 bytes). A header that announces more is not
// TLS, whatever the peer claims.
#define TLS_RECORD_HEADER_SIZE 5
#define TLS_RECORD_BODY_LIMIT  (16384 + 2048)
// Received bytes not yet decrypted: a whole record and the start of the next.
#define TLS_RECEIVE_SIZE (2 * (TLS_RECORD_HEADER_SIZE + TLS_RECORD_BODY_LIMIT))
// Decrypted bytes of one record not yet handed out.
#define TLS_PLAIN_SIZE TLS_RECORD_BODY_LIMIT
// One record being sent: header, up to 16,384 bytes of data, trailer.
#define TLS_SEND_SIZE (16384 + 2048)

// Why a secure connection could not be made (for tests and diagnostics).
enum TlsFailure {
    TlsNoFailure          = 0,
    TlsNoCredentials      = 1,   // Schannel is missing or refused the client credentials
    TlsHandshakeFailed    = 2,   // the handshake failed, the peer closed or spoke no TLS
    TlsHandshakeTimedOut  = 3,   // the handshake took longer than allowed
    TlsOldProtocol        = 4,   // the session is older than TLS 1.2
    TlsCertificateRefused = 5    // CheckServerCertificate refused the server
};

struct TlsStream {
    SOCKET Socket;
    CredHandle Credentials;
    CtxtHandle Context;
    int HaveCredentials;
    int HaveContext;
    SecPkgContext_StreamSizes Sizes;
    int Failure;                        // TlsFailure of the last TlsStart
    CertificateVerdict Verdict;         // of the server's certificate
    char Received[TLS_RECEIVE_SIZE];
    int ReceivedLength;
    char Plain[TLS_PLAIN_SIZE];
    int PlainStart;
    int PlainLength;
    char Sending[TLS_SEND_SIZE];
};

// Makes the connection secure: handshake for serverName (sent as SNI unless
// it is an IP address), then
// the certificate check with trustedCaPath (may be empty). The whole
// handshake takes at most timeoutMs. Non-zero on success; on failure
// tls->Failure says why and TlsEnd must still be called.
int TlsStart(TlsStream *tls, SOCKET sock, const char *serverName, const char *trustedCaPath,
             DWORD timeoutMs);

// The same, offering clientCertificate (with its private key on this
// machine) to a server that asks for one; null offers none, as TlsStart.
int TlsStartWithCertificate(TlsStream *tls, SOCKET sock, const char *serverName, const char *trustedCaPath,
                            PCCERT_CONTEXT clientCertificate, DWORD timeoutMs);

// Encrypts and sends all of the bytes. Non-zero on success.
int TlsSend(TlsStream *tls, const char *data, int length);

// Hands out decrypted bytes, receiving and decrypting records as needed and
// waiting at most until timeoutMs after start. Returns the number of bytes;
// 0 when the peer closed, the time ran out, or the stream is not TLS.
int TlsReceive(TlsStream *tls, char *buffer, int size, DWORD start, DWORD timeoutMs);

// Drops decrypted bytes that were not handed out.
void TlsDiscardReceived(TlsStream *tls);

// Releases the Schannel handles. The socket is the caller's.
void TlsEnd(TlsStream *tls);
