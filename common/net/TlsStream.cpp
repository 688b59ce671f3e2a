#include "common/net/TlsStream.h"

#include <string.h>

#include "common/net/SocketIo.h"
#include "common/secrets/SmtpPassword.h"
#include "common/system/SecurityLibraries.h"

#define HANDSHAKE_REQUEST                                                                                   \
    (ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR | \
     ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION)

static void SetBuffer(SecBuffer *buffer, ULONG type, void *data, ULONG size)
{
    buffer->BufferType = type;
    buffer->pvBuffer = data;
    buffer->cbBuffer = size;
}

static int AcquireCredentials(TlsStream *tls, PCCERT_CONTEXT clientCertificate)
{
    SCHANNEL_CRED credentials;
    memset(&credentials, 0, sizeof credentials);
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    // The certificate is judged by CheckServerCertificate, not by Schannel;
    // a client certificate is offered only when the caller gives one, never
    // one Schannel picks.
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    if (clientCertificate != NULL) {
        credentials.cCreds = 1;
        credentials.paCred = &clientCertificate;
    }
    TimeStamp expiry;
    if (Schannel()->AcquireCredentialsHandleA(NULL, (SEC_CHAR *)UNISP_NAME_A, SECPKG_CRED_OUTBOUND, NULL,
                                              &credentials, NULL, NULL, &tls->Credentials, &expiry) != SEC_E_OK)
        return 0;
    tls->HaveCredentials = 1;
    return 1;
}

// Sends a token Schannel made (and frees it): the handshake's messages, or
// the alert that ends a failed one.
static int SendToken(TlsStream *tls, SecBuffer *token)
{
    int ok = 1;
    if (token->pvBuffer != NULL) {
        if (token->cbBuffer > 0)
            ok = SendAll(tls->Socket, (const char *)token->pvBuffer, (int)token->cbBuffer);
        Schannel()->FreeContextBuffer(token->pvBuffer);
        token->pvBuffer = NULL;
    }
    return ok;
}

// Appends what the socket has to Received, waiting at most until the
// deadline. 0 when the buffer is full, the peer closed or the time ran out.
static int ReceiveMore(TlsStream *tls, DWORD start, DWORD timeoutMs)
{
    int room = (int)sizeof tls->Received - tls->ReceivedLength;
    if (room <= 0 || !WaitReadable(tls->Socket, start, timeoutMs))
        return 0;
    int received = recv(tls->Socket, tls->Received + tls->ReceivedLength, room, 0);
    if (received <= 0)
        return 0;
    tls->ReceivedLength += received;
    return 1;
}

// Keeps the unprocessed tail of Received: the last `extra` bytes.
static void KeepExtra(TlsStream *tls, ULONG extra)
{
    if (extra == 0 || extra > (ULONG)tls->ReceivedLength) {
        tls->ReceivedLength = 0;
        return;
    }
    memmove(tls->Received, tls->Received + tls->ReceivedLength - extra, extra);
    tls->ReceivedLength = (int)extra;
}

// Length of the record at the start of Received, from its header; 0 while
// the header is incomplete, -1 when it is no TLS record header at all (a
// content type of 20 to 23, version 3.x) or announces more than TLS allows.
// A peer that speaks plain text is caught here at once instead of being
// waited for until the record it seems to announce is complete.
static int RecordLength(const TlsStream *tls)
{
    if (tls->ReceivedLength < TLS_RECORD_HEADER_SIZE)
        return 0;
    const unsigned char *header = (const unsigned char *)tls->Received;
    int body = (header[3] << 8) | header[4];
    if (header[0] < 20 || header[0] > 23 || header[1] != 3 || body > TLS_RECORD_BODY_LIMIT)
        return -1;
    return TLS_RECORD_HEADER_SIZE + body;
}

static int Handshake(TlsStream *tls, const char *serverName, DWORD start, DWORD timeoutMs)
{
    SecBuffer out[1];
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    SetBuffer(&out[0], SECBUFFER_TOKEN, NULL, 0);
    const SecurityFunctionTableA *sspi = Schannel();
    // The name goes out as SNI, which must not carry an IP address.
    BYTE address[4];
    SEC_CHAR *target = ParseIpv4Address(serverName, address) ? NULL : (SEC_CHAR *)serverName;
    SECURITY_STATUS status = sspi->InitializeSecurityContextA(&tls->Credentials, NULL, target, HANDSHAKE_REQUEST, 0,
                                                              0, NULL, 0, &tls->Context, &outDesc, &attributes, NULL);
    if (status != SEC_I_CONTINUE_NEEDED) {
        SendToken(tls, &out[0]);
        return 0;
    }
    tls->HaveContext = 1;
    if (!SendToken(tls, &out[0]))
        return 0;

    ULONG request = HANDSHAKE_REQUEST;
    int needMore = 1;
    for (;;) {
        if (needMore && !ReceiveMore(tls, start, timeoutMs)) {
            tls->Failure = GetTickCount() - start >= timeoutMs ? TlsHandshakeTimedOut : TlsHandshakeFailed;
            return 0;
        }
        if (RecordLength(tls) < 0)
            return 0;
        SecBuffer in[2];
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        SetBuffer(&in[0], SECBUFFER_TOKEN, tls->Received, (ULONG)tls->ReceivedLength);
        SetBuffer(&in[1], SECBUFFER_EMPTY, NULL, 0);
        SetBuffer(&out[0], SECBUFFER_TOKEN, NULL, 0);
        status = sspi->InitializeSecurityContextA(&tls->Credentials, &tls->Context, target, request, 0, 0,
                                                  &inDesc, 0, NULL, &outDesc, &attributes, NULL);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            needMore = 1;       // a record is not complete yet: keep it and read on
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS && !(request & ISC_REQ_USE_SUPPLIED_CREDS)) {
            // The server asks for a client certificate, and we have none.
            // Asked again at once with the same messages (not consumed yet)
            // and told to use only the credentials given, Schannel goes on
            // without one; waiting for more would wait for a server that
            // waits for us.
            if (out[0].pvBuffer != NULL)
                sspi->FreeContextBuffer(out[0].pvBuffer);
            request |= ISC_REQ_USE_SUPPLIED_CREDS;
            needMore = 0;
            continue;
        }
        int sent = SendToken(tls, &out[0]);
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
            return 0;
        if (!sent)
            return 0;
        KeepExtra(tls, in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
        if (status == SEC_E_OK)
            return 1;           // bytes kept now are the first application data
        needMore = tls->ReceivedLength == 0;
        if (GetTickCount() - start >= timeoutMs) {
            tls->Failure = TlsHandshakeTimedOut;
            return 0;
        }
    }
}

// TLS 1.2 or later, whatever Schannel would have allowed otherwise.
static int ModernProtocol(TlsStream *tls)
{
    SecPkgContext_ConnectionInfo info;
    memset(&info, 0, sizeof info);
    if (Schannel()->QueryContextAttributesA(&tls->Context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
        return 0;
    return (info.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) != 0;
}

// The record sizes Schannel will use, bounded by the send buffer.
static int ReadStreamSizes(TlsStream *tls)
{
    SecPkgContext_StreamSizes *sizes = &tls->Sizes;
    if (Schannel()->QueryContextAttributesA(&tls->Context, SECPKG_ATTR_STREAM_SIZES, sizes) != SEC_E_OK)
        return 0;
    ULONG framing = sizes->cbHeader + sizes->cbTrailer;
    if (framing >= sizeof tls->Sending || sizes->cbHeader > sizeof tls->Sending)
        return 0;
    if (sizes->cbMaximumMessage == 0 || sizes->cbMaximumMessage > sizeof tls->Sending - framing)
        sizes->cbMaximumMessage = (ULONG)sizeof tls->Sending - framing;
    return 1;
}

static CertificateVerdict CheckCertificate(TlsStream *tls, const char *serverName, const char *trustedCaPath)
{
    PCCERT_CONTEXT certificate = NULL;
    if (Schannel()->QueryContextAttributesA(&tls->Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        certificate == NULL)
        return CertificateNoChain;
    CertificateVerdict verdict = CheckServerCertificate(certificate, serverName, trustedCaPath);
    Crypt()->CertFreeCertificateContext(certificate);
    return verdict;
}

int TlsStart(TlsStream *tls, SOCKET sock, const char *serverName, const char *trustedCaPath, DWORD timeoutMs)
{
    return TlsStartWithCertificate(tls, sock, serverName, trustedCaPath, NULL, timeoutMs);
}

int TlsStartWithCertificate(TlsStream *tls, SOCKET sock, const char *serverName, const char *trustedCaPath,
                            PCCERT_CONTEXT clientCertificate, DWORD timeoutMs)
{
    tls->Socket = sock;
    tls->HaveCredentials = tls->HaveContext = 0;
    tls->ReceivedLength = tls->PlainStart = tls->PlainLength = 0;
    tls->Failure = TlsNoFailure;
    tls->Verdict = CertificateNoChain;
    // Every later call finds the libraries loaded.
    if (Schannel() == NULL || Crypt() == NULL || !AcquireCredentials(tls, clientCertificate)) {
        tls->Failure = TlsNoCredentials;
        return 0;
    }
    DWORD start = GetTickCount();
    if (!Handshake(tls, serverName, start, timeoutMs)) {
        if (tls->Failure == TlsNoFailure)
            tls->Failure = TlsHandshakeFailed;
        return 0;
    }
    if (!ModernProtocol(tls)) {
        tls->Failure = TlsOldProtocol;
        return 0;
    }
    tls->Verdict = CheckCertificate(tls, serverName, trustedCaPath);
    if (tls->Verdict != CertificateAccepted) {
        tls->Failure = TlsCertificateRefused;
        return 0;
    }
    if (!ReadStreamSizes(tls)) {
        tls->Failure = TlsHandshakeFailed;
        return 0;
    }
    return 1;
}

int TlsSend(TlsStream *tls, const char *data, int length)
{
    const SecPkgContext_StreamSizes &sizes = tls->Sizes;
    while (length > 0) {
        int chunk = length < (int)sizes.cbMaximumMessage ? length : (int)sizes.cbMaximumMessage;
        memcpy(tls->Sending + sizes.cbHeader, data, chunk);
        SecBuffer buffers[4];
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        SetBuffer(&buffers[0], SECBUFFER_STREAM_HEADER, tls->Sending, sizes.cbHeader);
        SetBuffer(&buffers[1], SECBUFFER_DATA, tls->Sending + sizes.cbHeader, (ULONG)chunk);
        SetBuffer(&buffers[2], SECBUFFER_STREAM_TRAILER, tls->Sending + sizes.cbHeader + chunk, sizes.cbTrailer);
        SetBuffer(&buffers[3], SECBUFFER_EMPTY, NULL, 0);
        if (Schannel()->EncryptMessage(&tls->Context, 0, &desc, 0) != SEC_E_OK) {
            // Left unencrypted, it may be the password of an AUTH command.
            WipeSecret(tls->Sending, sizeof tls->Sending);
            return 0;
        }
        // The record lies where the three buffers say, header first.
        ULONG total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (total > sizeof tls->Sending || !SendAll(tls->Socket, tls->Sending, (int)total))
            return 0;
        data += chunk;
        length -= chunk;
    }
    return 1;
}

// Decrypts the record at the start of Received into Plain. 1 when done, 0
// when the peer closed or the record was refused.
static int DecryptRecord(TlsStream *tls)
{
    SecBuffer buffers[4];
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    SetBuffer(&buffers[0], SECBUFFER_DATA, tls->Received, (ULONG)tls->ReceivedLength);
    SetBuffer(&buffers[1], SECBUFFER_EMPTY, NULL, 0);
    SetBuffer(&buffers[2], SECBUFFER_EMPTY, NULL, 0);
    SetBuffer(&buffers[3], SECBUFFER_EMPTY, NULL, 0);
    // SEC_I_CONTEXT_EXPIRED is the peer's close_notify; SEC_I_RENEGOTIATE a
    // new handshake, which a mail server has no reason to ask for.
    if (Schannel()->DecryptMessage(&tls->Context, &desc, 0, NULL) != SEC_E_OK)
        return 0;
    ULONG extra = 0;
    for (int i = 0; i < 4; i++) {
        if (buffers[i].BufferType == SECBUFFER_DATA && buffers[i].cbBuffer > 0) {
            // In place, inside Received: taken before the tail moves.
            if (buffers[i].cbBuffer > sizeof tls->Plain || buffers[i].pvBuffer == NULL)
                return 0;
            memcpy(tls->Plain, buffers[i].pvBuffer, buffers[i].cbBuffer);
            tls->PlainStart = 0;
            tls->PlainLength = (int)buffers[i].cbBuffer;
        } else if (buffers[i].BufferType == SECBUFFER_EXTRA) {
            extra = buffers[i].cbBuffer;
        }
    }
    KeepExtra(tls, extra);
    return 1;
}

int TlsReceive(TlsStream *tls, char *buffer, int size, DWORD start, DWORD timeoutMs)
{
    if (!tls->HaveContext || size <= 0)
        return 0;
    while (tls->PlainLength == 0) {
        int record = RecordLength(tls);
        if (record < 0)
            return 0;
        if (record > 0 && tls->ReceivedLength >= record) {
            if (!DecryptRecord(tls))
                return 0;
        } else if (!ReceiveMore(tls, start, timeoutMs)) {
            return 0;
        }
    }
    int n = tls->PlainLength < size ? tls->PlainLength : size;
    memcpy(buffer, tls->Plain + tls->PlainStart, n);
    tls->PlainStart += n;
    tls->PlainLength -= n;
    return n;
}

void TlsDiscardReceived(TlsStream *tls)
{
    tls->PlainStart = tls->PlainLength = 0;
}

void TlsEnd(TlsStream *tls)
{
    if (tls->HaveContext)
        Schannel()->DeleteSecurityContext(&tls->Context);
    if (tls->HaveCredentials)
        Schannel()->FreeCredentialsHandle(&tls->Credentials);
    tls->HaveContext = tls->HaveCredentials = 0;
    tls->ReceivedLength = tls->PlainStart = tls->PlainLength = 0;
}
