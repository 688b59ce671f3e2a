#include "MailLogFile.h"

#include <stdio.h>
#include <string.h>

#include "Base64Codec.h"
#include "MailMessage.h"
#include "SmtpAuth.h"
#include "SmtpChannel.h"
#include "SmtpReply.h"
#include "SocketIo.h"
#include "TlsStream.h"

// The file is read in blocks of 18 x 57 bytes: each encodes to exactly 18
// lines of 76 characters, so every line but the last is full and padding
// only ends the attachment.
#define MAIL_FILE_BLOCK 1026
#define MAIL_LINE_CHARS 76
// One block's lines with their line ends: 1,368 characters + 18 CRLF.
#define MAIL_BODY_BLOCK_SIZE (1368 + 18 * 2)
// Lines are gathered over this many blocks per send: every send costs a round
// trip through the socket layer, and one per block made a 100 MB file crawl
// at 5 MB/s under Wine.
#define MAIL_SEND_BLOCKS 32
// A server name as long as DNS allows.
#define SERVER_NAME_SIZE 256

DWORD MailConnectTimeoutMs = 30000;
DWORD MailReplyTimeoutMs = 60000;
BOOL (WINAPI *MailReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = ReadFile;

sockaddr_in ServerAddress;
int MustResolve = 1;
int LastTlsFailure;
int LastCertificateVerdict;

// The name ServerAddress was resolved from: a call naming another server
// resolves that one instead of mailing to the old address.
static char ResolvedServer[SERVER_NAME_SIZE];
static int WinsockStarted = 0;

static char MessageBuffer[SMTP_RECEIVE_SIZE];
static char HeaderBuffer[MAIL_HEADER_SIZE];
static BYTE FileBuffer[MAIL_FILE_BLOCK];
static char BodyBuffer[MAIL_SEND_BLOCKS * MAIL_BODY_BLOCK_SIZE];
static TlsStream Tls;

static int ResolveServer(const char *server)
{
    if (!MustResolve && strcmp(server, ResolvedServer) == 0)
        return 1;
    MustResolve = 1;
    if (strlen(server) >= sizeof ResolvedServer)
        return 0;
    // Started once per run and never shut down; a failed start leaves the
    // name unresolved and is tried again by the next call.
    if (!WinsockStarted) {
        WSADATA data;
        WinsockStarted = WSAStartup(0x0102, &data) == 0;
    }
    hostent *host = gethostbyname(server);
    if (host == NULL || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list[0] == NULL)
        return 0;
    memset(&ServerAddress, 0, sizeof ServerAddress);
    ServerAddress.sin_family = AF_INET;
    ServerAddress.sin_port = htons(SMTP_DEFAULT_PORT);
    memcpy(&ServerAddress.sin_addr, host->h_addr_list[0], 4);
    strcpy(ResolvedServer, server);
    MustResolve = 0;
    return 1;
}

// Connects with a bounded wait: non-blocking connect, then select.
static SOCKET ConnectServer()
{
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET)
        return INVALID_SOCKET;
    u_long nonBlocking = 1;
    int connected = 0;
    if (ioctlsocket(sock, FIONBIO, &nonBlocking) == 0) {
        if (connect(sock, (sockaddr *)&ServerAddress, sizeof ServerAddress) == 0) {
            connected = 1;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(sock, &writable);
            FD_SET(sock, &failed);
            timeval wait;
            wait.tv_sec = (long)(MailConnectTimeoutMs / 1000);
            wait.tv_usec = (long)((MailConnectTimeoutMs % 1000) * 1000);
            if (select(0, NULL, &writable, &failed, &wait) == 1 && FD_ISSET(sock, &writable)) {
                int error = 0;
                int size = sizeof error;
                connected = getsockopt(sock, SOL_SOCKET, SO_ERROR, (char *)&error, &size) == 0 &&
                            error == 0;
            }
        }
    }
    u_long blocking = 0;
    if (!connected || ioctlsocket(sock, FIONBIO, &blocking) != 0) {
        closesocket(sock);
        return INVALID_SOCKET;
    }
    // A server that stops reading must not block a send for ever either.
    DWORD sendTimeout = MailReplyTimeoutMs;
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, (const char *)&sendTimeout, sizeof sendTimeout);
    return sock;
}

static int SendText(SmtpChannel *channel, const char *text)
{
    return ChannelSend(channel, text, (int)strlen(text));
}

// Sends a command formatted around one field and expects the code.
static int SendCommand(SmtpChannel *channel, const char *format, const char *field, const char *code)
{
    int length = snprintf(MessageBuffer, sizeof MessageBuffer, format, field);
    if (length <= 0 || (size_t)length >= sizeof MessageBuffer)
        return 0;
    return ChannelSend(channel, MessageBuffer, length) && ExpectSmtpReply(channel, code, MailReplyTimeoutMs);
}

// Streams the file as base64 lines of 76 characters, the lines of several
// blocks per send. A read that fails ends the mail before its final ".": the
// server then drops the message instead of delivering a cut one.
static MailResult SendAttachment(SmtpChannel *channel, HANDLE file)
{
    int length = 0;
    for (;;) {
        DWORD read = 0;
        if (!MailReadFile(file, FileBuffer, sizeof FileBuffer, &read, NULL))
            return FileNotOpened;
        if (read == 0)
            return ChannelSend(channel, BodyBuffer, length) ? Sent : BadReply;
        Codec.EncodeBuffer(FileBuffer, read);
        const char *text = Codec.GetOutputBuffer();
        int textLength = Codec.GetOutputLength();
        if (length > (int)sizeof BodyBuffer - MAIL_BODY_BLOCK_SIZE) {
            if (!ChannelSend(channel, BodyBuffer, length))
                return BadReply;
            length = 0;
        }
        for (int offset = 0; offset < textLength; offset += MAIL_LINE_CHARS) {
            int line = textLength - offset;
            if (line > MAIL_LINE_CHARS)
                line = MAIL_LINE_CHARS;
            memcpy(BodyBuffer + length, text + offset, line);
            length += line;
            BodyBuffer[length++] = '\r';
            BodyBuffer[length++] = '\n';
        }
    }
}

// Secures the connection: handshake and certificate check, bounded like one
// reply. From here on the dialogue runs through TLS.
static int SecureChannel(SmtpChannel *channel, const char *server, const SmtpSettings *settings)
{
    int secured = TlsStart(&Tls, channel->Socket, server, settings->SmtpTrustedCa, MailReplyTimeoutMs);
    LastTlsFailure = Tls.Failure;
    LastCertificateVerdict = Tls.Verdict;
    if (secured)
        channel->Tls = &Tls;
    return secured;
}

// EHLO and its reply, whose keywords say what the server offers.
static int Hello(SmtpChannel *channel, SmtpReply *reply)
{
    return SendText(channel, "EHLO KVT\r\n") && ReadSmtpReply(channel, reply, MailReplyTimeoutMs) &&
           strcmp(reply->Code, "250") == 0;
}

// From the greeting to a server that will take MAIL FROM: the plain
// greeting and EHLO, with STARTTLS and a second EHLO, or with TLS from the
// first byte; then AUTH when a user is set.
static MailResult OpenSession(SmtpChannel *channel, const char *server, const SmtpSettings *settings)
{
    if (settings->SmtpSecurity == SecurityImplicitTls && !SecureChannel(channel, server, settings))
        return SecureConnectionFailed;
    SmtpReply reply;
    if (!ExpectSmtpReply(channel, "220", MailReplyTimeoutMs) || !Hello(channel, &reply))
        return BadReply;
    if (settings->SmtpSecurity == SecurityStartTls) {
        // Never a silent fall back to plain text: no STARTTLS, no mail.
        if (!(reply.Extensions & SMTP_EXTENSION_STARTTLS))
            return SecureConnectionFailed;
        if (!SendText(channel, "STARTTLS\r\n") || !ReadSmtpReply(channel, &reply, MailReplyTimeoutMs))
            return BadReply;
        if (strcmp(reply.Code, "220") != 0 || !SecureChannel(channel, server, settings))
            return SecureConnectionFailed;
        // What the server said before TLS counts for nothing now.
        if (!Hello(channel, &reply))
            return BadReply;
    }
    if (settings->SmtpUser[0] == '\0')
        return Sent;
    return AuthenticateSmtp(channel, reply.Extensions, settings->SmtpUser, settings->SmtpPassword,
                            settings->SmtpPasswordSize, MailReplyTimeoutMs);
}

// The dialogue after the connect; Sent when the server took the message and
// answered QUIT.
static MailResult TalkSmtp(SmtpChannel *channel, HANDLE file, const SYSTEMTIME *now, DWORD tick,
                           const char *from, const char *to, const char *fileName, const char *server,
                           const SmtpSettings *settings)
{
    MailResult opened = OpenSession(channel, server, settings);
    if (opened != Sent)
        return opened;
    if (!SendCommand(channel, "MAIL FROM: <%s>\r\n", from, "250"))
        return BadReply;
    if (!SendCommand(channel, "RCPT TO: <%s>\r\n", to, "250"))
        return BadReply;
    if (!SendText(channel, "DATA\r\n") || !ExpectSmtpReply(channel, "354", MailReplyTimeoutMs))
        return BadReply;
    int length = FormatMailHeader(HeaderBuffer, sizeof HeaderBuffer, now, tick, from, to, fileName);
    if (length == 0 || !ChannelSend(channel, HeaderBuffer, length))
        return BadReply;
    MailResult body = SendAttachment(channel, file);
    if (body != Sent)
        return body;
    length = FormatMailTrailer(MessageBuffer, sizeof MessageBuffer, tick);
    if (length == 0 || !ChannelSend(channel, MessageBuffer, length) ||
        !ExpectSmtpReply(channel, "250", MailReplyTimeoutMs))
        return BadReply;
    if (!SendText(channel, "QUIT\r\n") || !ExpectSmtpReply(channel, "221", MailReplyTimeoutMs))
        return BadReply;
    return Sent;
}

// Settings the mail cannot go out with, whatever the server: a security
// value that is not one of the codes, or a user to sign in without TLS (the
// password would cross the network in clear).
static int Unusable(const SmtpSettings *settings)
{
    return settings->SmtpSecurity >= SMTP_SECURITY_COUNT ||
           (settings->SmtpSecurity == SecurityNone && settings->SmtpUser[0] != '\0');
}

MailResult MailLogFile(const char *path, const char *server, const char *from, const char *to,
                       const SmtpSettings *settings)
{
    static const SmtpSettings Defaults = {};
    if (settings == NULL)
        settings = &Defaults;
    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD tick = GetTickCount();
    LastTlsFailure = TlsNoFailure;
    LastCertificateVerdict = CertificateAccepted;

    if (path == NULL)
        return FileNotOpened;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FileNotOpened;
    if (Unusable(settings)) {
        CloseHandle(file);
        return SecureConnectionFailed;
    }

    // Addresses end at a CR or LF: nothing after it can reach the server.
    char fromField[MAIL_ADDRESS_SIZE];
    char toField[MAIL_ADDRESS_SIZE];
    char nameField[MAIL_FILE_NAME_SIZE];
    CopyMailField(fromField, sizeof fromField, from);
    CopyMailField(toField, sizeof toField, to);
    CopyMailField(nameField, sizeof nameField, MailFileName(path));

    if (server == NULL || !ResolveServer(server)) {
        CloseHandle(file);
        return ServerNotResolved;
    }
    ServerAddress.sin_port = htons((u_short)SmtpPortOf(settings));
    SOCKET sock = ConnectServer();
    if (sock == INVALID_SOCKET) {
        CloseHandle(file);
        return ConnectFailed;
    }
    SmtpChannel channel = {sock, NULL};
    MailResult result = TalkSmtp(&channel, file, &now, tick, fromField, toField, nameField, server, settings);
    TlsEnd(&Tls);
    closesocket(sock);
    CloseHandle(file);
    return result;
}
