#include "MailLogFile.h"

#include <stdio.h>
#include <string.h>

#include "Base64Codec.h"
#include "MailMessage.h"
#include "SmtpReply.h"

#define SMTP_PORT 25
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

sockaddr_in ServerAddress;
int MustResolve = 1;

// The name ServerAddress was resolved from: a call naming another server
// resolves that one instead of mailing to the old address.
static char ResolvedServer[SERVER_NAME_SIZE];
static int WinsockStarted = 0;

static char MessageBuffer[SMTP_RECEIVE_SIZE];
static char HeaderBuffer[MAIL_HEADER_SIZE];
static BYTE FileBuffer[MAIL_FILE_BLOCK];
static char BodyBuffer[MAIL_SEND_BLOCKS * MAIL_BODY_BLOCK_SIZE];

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
    ServerAddress.sin_port = htons(SMTP_PORT);
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

// Sends all of the text; 0 when the connection failed on the way.
static int SendAll(SOCKET sock, const char *text, int length)
{
    while (length > 0) {
        int sent = send(sock, text, length, 0);
        if (sent <= 0)
            return 0;
        text += sent;
        length -= sent;
    }
    return 1;
}

static int SendText(SOCKET sock, const char *text)
{
    return SendAll(sock, text, (int)strlen(text));
}

// Sends a command formatted around one field and expects the code.
static int SendCommand(SOCKET sock, const char *format, const char *field, const char *code)
{
    int length = snprintf(MessageBuffer, sizeof MessageBuffer, format, field);
    if (length <= 0 || (size_t)length >= sizeof MessageBuffer)
        return 0;
    return SendAll(sock, MessageBuffer, length) &&
           ExpectSmtpReply(sock, code, MailReplyTimeoutMs);
}

// Streams the file as base64 lines of 76 characters, the lines of several
// blocks per send.
static int SendAttachment(SOCKET sock, HANDLE file)
{
    int length = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, FileBuffer, sizeof FileBuffer, &read, NULL) || read == 0)
            return SendAll(sock, BodyBuffer, length);
        Codec.EncodeBuffer(FileBuffer, read);
        const char *text = Codec.GetOutputBuffer();
        int textLength = Codec.GetOutputLength();
        if (length > (int)sizeof BodyBuffer - MAIL_BODY_BLOCK_SIZE) {
            if (!SendAll(sock, BodyBuffer, length))
                return 0;
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

// The dialogue after the greeting; 1 when the server took the message and
// answered QUIT.
static int TalkSmtp(SOCKET sock, HANDLE file, const SYSTEMTIME *now, DWORD tick,
                    const char *from, const char *to, const char *fileName)
{
    if (!ExpectSmtpReply(sock, "220", MailReplyTimeoutMs))
        return 0;
    if (!SendText(sock, "EHLO KVT\r\n") || !ExpectSmtpReply(sock, "250", MailReplyTimeoutMs))
        return 0;
    if (!SendCommand(sock, "MAIL FROM: <%s>\r\n", from, "250"))
        return 0;
    if (!SendCommand(sock, "RCPT TO: <%s>\r\n", to, "250"))
        return 0;
    if (!SendText(sock, "DATA\r\n") || !ExpectSmtpReply(sock, "354", MailReplyTimeoutMs))
        return 0;
    int length = FormatMailHeader(HeaderBuffer, sizeof HeaderBuffer, now, tick, from, to, fileName);
    if (length == 0 || !SendAll(sock, HeaderBuffer, length))
        return 0;
    if (!SendAttachment(sock, file))
        return 0;
    length = FormatMailTrailer(MessageBuffer, sizeof MessageBuffer, tick);
    if (length == 0 || !SendAll(sock, MessageBuffer, length) ||
        !ExpectSmtpReply(sock, "250", MailReplyTimeoutMs))
        return 0;
    return SendText(sock, "QUIT\r\n") && ExpectSmtpReply(sock, "221", MailReplyTimeoutMs);
}

MailResult MailLogFile(const char *path, const char *server, const char *from, const char *to)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    DWORD tick = GetTickCount();

    if (path == NULL)
        return FileNotOpened;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FileNotOpened;

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
    SOCKET sock = ConnectServer();
    if (sock == INVALID_SOCKET) {
        CloseHandle(file);
        return ConnectFailed;
    }
    int sent = TalkSmtp(sock, file, &now, tick, fromField, toField, nameField);
    closesocket(sock);
    CloseHandle(file);
    return sent ? Sent : BadReply;
}
