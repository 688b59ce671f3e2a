#include "service/forward/ForwardConnection.h"
#include "common/net/ClientCertificate.h"
#include "common/net/ServerCertificate.h"
#include "common/net/SocketIo.h"
#include "common/net/TlsStream.h"

#include <stdio.h>
#include <string.h>

static SOCKET Socket = INVALID_SOCKET;
static int Transport;
// Schannel's buffers are large: one stream, for the forwarder thread only.
static TlsStream Tls;
static BOOL TlsOpen;

static int Failed(char *why, size_t size, const char *text)
{
    snprintf(why, size, "%s", text);
    CloseForwardConnection();
    return 0;
}

static int StartTls(const ForwardTarget *target, const ForwardSettings *settings, char *why, size_t size)
{
    PCCERT_CONTEXT certificate = NULL;
    if (settings->ForwardCertificate[0] != '\0') {
        const char *failure = "";
        certificate = FindMachineCertificate(settings->ForwardCertificate, &failure);
        if (certificate == NULL) {
            snprintf(why, size, "the client certificate: %s", failure);
            CloseForwardConnection();
            return 0;
        }
    }
    TlsOpen = TRUE;
    int started = TlsStartWithCertificate(&Tls, Socket, target->Host, settings->ForwardTrustedCa, certificate,
                                          FORWARD_HANDSHAKE_MS);
    FreeMachineCertificate(certificate);
    if (started)
        return 1;
    if (Tls.Failure == TlsCertificateRefused)
        snprintf(why, size, "the collector's certificate was refused: %s", CertificateVerdictText(Tls.Verdict));
    else
        snprintf(why, size, "no secure connection to the collector (TLS failure %d)", Tls.Failure);
    CloseForwardConnection();
    return 0;
}

int OpenForwardConnection(const ForwardTarget *target, const ForwardSettings *settings, char *why, size_t size)
{
    CloseForwardConnection();
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((u_short)target->Port);
    if (!StartWinsock() || !ResolveIpv4(target->Host, &address.sin_addr))
        return Failed(why, size, "its name cannot be resolved");
    Transport = target->Transport;
    if (Transport == ForwardUdp) {
        Socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (Socket == INVALID_SOCKET || connect(Socket, (const sockaddr *)&address, sizeof address) != 0)
            return Failed(why, size, "no UDP socket for it");
        return 1;
    }
    Socket = ConnectWithin(&address, FORWARD_CONNECT_TIMEOUT_MS, FORWARD_SEND_TIMEOUT_MS);
    if (Socket == INVALID_SOCKET)
        return Failed(why, size, "it cannot be reached");
    int buffer = FORWARD_SEND_BUFFER;
    setsockopt(Socket, SOL_SOCKET, SO_SNDBUF, (const char *)&buffer, sizeof buffer);
    BOOL noDelay = TRUE;
    setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, (const char *)&noDelay, sizeof noDelay);
    if (Transport == ForwardTls)
        return StartTls(target, settings, why, size);
    return 1;
}

int SendForwardBatch(const ForwardBatch *batch)
{
    if (Socket == INVALID_SOCKET)
        return 0;
    if (Transport == ForwardUdp) {
        // A datagram the network loses is lost: UDP tells nobody.
        size_t start = 0;
        for (int i = 0; i < batch->Count; i++) {
            send(Socket, batch->Data + start, (int)(batch->Ends[i] - start), 0);
            start = batch->Ends[i];
        }
        return 1;
    }
    if (Transport == ForwardTls)
        return TlsSend(&Tls, batch->Data, (int)batch->Length);
    return SendAll(Socket, batch->Data, (int)batch->Length);
}

int ForwardPeerGone()
{
    if (Socket == INVALID_SOCKET)
        return 1;
    if (Transport == ForwardUdp)
        return 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Socket, &readable);
    timeval now = {0, 0};
    int ready = select(0, &readable, NULL, NULL, &now);
    if (ready < 0)
        return 1;
    if (ready == 0)
        return 0;
    char scratch[512];
    int got = recv(Socket, scratch, sizeof scratch, 0);
    // Over TLS, a record now can only be an alert: the close, or a refusal.
    return got <= 0 || Transport == ForwardTls;
}

void CloseForwardConnection()
{
    if (TlsOpen)
        TlsEnd(&Tls);
    TlsOpen = FALSE;
    if (Socket != INVALID_SOCKET) {
        if (Transport != ForwardUdp)
            shutdown(Socket, SD_SEND);
        closesocket(Socket);
    }
    Socket = INVALID_SOCKET;
}
