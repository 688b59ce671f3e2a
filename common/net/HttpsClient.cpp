#include "common/net/HttpsClient.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/net/SocketIo.h"
#include "common/net/TlsStream.h"
#include "common/secrets/SmtpPassword.h"

#define HOST_SIZE 256
#define PATH_SIZE 512
// The reply's status line and header fields; a longer head is not a token
// server's.
#define HEAD_LIMIT 8192
#define RAW_SIZE (HEAD_LIMIT + HTTPS_BODY_SIZE + 64)
#define REQUEST_SIZE 8192

// The token request has a connection of its own: the SMTP connection may be
// open (and secured) while a token is fetched again.
static TlsStream Tls;
static char Raw[RAW_SIZE];
static char Request[REQUEST_SIZE];

static int StartsWithNoCase(const char *text, const char *prefix)
{
    for (; *prefix != '\0'; text++, prefix++) {
        char c = *text >= 'A' && *text <= 'Z' ? (char)(*text - 'A' + 'a') : *text;
        if (c != *prefix)
            return 0;
    }
    return 1;
}

// "host[:port]" up to the end of text or a '/'; *rest is what follows.
static int ParseHostPort(const char *text, char *host, size_t hostSize, unsigned *port, const char **rest)
{
    size_t length = strcspn(text, ":/");
    if (length == 0 || length >= hostSize)
        return 0;
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            return 0;
    }
    memcpy(host, text, length);
    host[length] = '\0';
    text += length;
    if (*text == ':') {
        text++;
        unsigned number = 0;
        int digits = 0;
        while (*text >= '0' && *text <= '9' && digits < 6) {
            number = number * 10 + (unsigned)(*text++ - '0');
            digits++;
        }
        if (digits == 0 || number == 0 || number > 65535)
            return 0;
        *port = number;
    }
    *rest = text;
    return 1;
}

int ParseHttpsUrl(const char *url, char *host, size_t hostSize, unsigned *port, char *path, size_t pathSize)
{
    if (url == NULL || !StartsWithNoCase(url, "https://"))
        return 0;
    *port = 443;
    const char *rest;
    if (!ParseHostPort(url + 8, host, hostSize, port, &rest) || (*rest != '\0' && *rest != '/'))
        return 0;
    if (*rest == '\0')
        rest = "/";
    size_t length = strlen(rest);
    if (length >= pathSize)
        return 0;
    for (size_t i = 0; i < length; i++)
        if ((unsigned char)rest[i] <= ' ' || rest[i] == 0x7F)
            return 0;
    memcpy(path, rest, length + 1);
    return 1;
}

int AppendFormText(char *form, size_t size, size_t *length, const char *text)
{
    static const char Hex[] = "0123456789ABCDEF";
    size_t at = *length;
    for (; *text != '\0'; text++) {
        unsigned char c = (unsigned char)*text;
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || c == '*';
        size_t needed = plain || c == ' ' ? 1 : 3;
        if (at + needed >= size) {
            form[*length] = '\0';
            return 0;
        }
        if (plain) {
            form[at++] = (char)c;
        } else if (c == ' ') {
            form[at++] = '+';
        } else {
            form[at++] = '%';
            form[at++] = Hex[c >> 4];
            form[at++] = Hex[c & 15];
        }
    }
    form[at] = '\0';
    *length = at;
    return 1;
}

static SOCKET Connect(const char *host, unsigned port, HttpsReply *reply)
{
    int resolved = 0;
    SOCKET sock = ConnectToHost(host, port, MailConnectTimeoutMs, MailReplyTimeoutMs, &resolved);
    if (sock == INVALID_SOCKET)
        reply->Failure = resolved ? HttpsConnectFailed : HttpsNotResolved;
    return sock;
}

// Where the head (status line and fields) ends in Raw, past its empty line;
// 0 while it is not complete.
static int HeadEnd(int length)
{
    for (int i = 3; i < length; i++)
        if (memcmp(Raw + i - 3, "\r\n\r\n", 4) == 0)
            return i + 1;
    return 0;
}

// Asks the proxy for a tunnel to host:port; nothing else crosses it in
// clear. A 2xx answer opens it.
static int OpenTunnel(SOCKET sock, const char *host, unsigned port, DWORD start)
{
    int length = snprintf(Raw, sizeof Raw, "CONNECT %s:%u HTTP/1.1\r\nHost: %s:%u\r\n\r\n", host, port, host, port);
    if (length <= 0 || !SendAll(sock, Raw, length))
        return 0;
    length = 0;
    int end = 0;
    while (end == 0) {
        if (length >= HEAD_LIMIT || !WaitReadable(sock, start, MailReplyTimeoutMs))
            return 0;
        int received = recv(sock, Raw + length, HEAD_LIMIT - length, 0);
        if (received <= 0)
            return 0;
        length += received;
        end = HeadEnd(length);
    }
    // The tunnel carries nothing before our handshake.
    return end == length && length >= 12 && memcmp(Raw, "HTTP/1.", 7) == 0 && Raw[9] == '2';
}

// The value of header field `name` (lower case, with its colon) in the head,
// or null.
static const char *FieldValue(const char *head, int headLength, const char *name)
{
    size_t nameLength = strlen(name);
    for (int i = 0; i + 2 < headLength; i++) {
        if (head[i] != '\n' || !StartsWithNoCase(head + i + 1, name))
            continue;
        const char *value = head + i + 1 + nameLength;
        while (*value == ' ' || *value == '\t')
            value++;
        return value;
    }
    return NULL;
}

// Decodes a chunked body from Raw + at (length bytes in all) into the
// reply. 1 when complete, 0 while more must come, -1 when it is not
// chunked encoding, -2 when it is too large.
static int DecodeChunks(int at, int length, HttpsReply *reply)
{
    int body = 0;
    for (;;) {
        char *end = NULL;
        const char *lineEnd = (const char *)memchr(Raw + at, '\n', length - at);
        if (lineEnd == NULL)
            return 0;
        long size = strtol(Raw + at, &end, 16);
        if (end == Raw + at || size < 0)
            return -1;
        if (size >= HTTPS_BODY_SIZE)
            return -2;
        at = (int)(lineEnd - Raw) + 1;
        if (size == 0)
            break;
        if (length - at < size + 2)
            return 0;
        if (body + size >= HTTPS_BODY_SIZE)
            return -2;
        memcpy(reply->Body + body, Raw + at, size);
        body += (int)size;
        at += (int)size + 2;
    }
    // The trailer fields end with an empty line.
    while (at < length && Raw[at] != '\r' && Raw[at] != '\n') {
        const char *lineEnd = (const char *)memchr(Raw + at, '\n', length - at);
        if (lineEnd == NULL)
            return 0;
        at = (int)(lineEnd - Raw) + 1;
    }
    if (at >= length)
        return 0;
    reply->Body[body] = '\0';
    reply->BodyLength = body;
    return 1;
}

// Judges what has arrived in Raw (*length bytes): 1 when the reply is
// whole, 0 while more must come, -1 when it cannot become a reply, -2 when
// it is too large. closed: nothing more will come.
static int ReplyComplete(int *length, int closed, HttpsReply *reply)
{
    int head = HeadEnd(*length);
    // An interim reply (100 Continue) is followed by the real one.
    while (head > 0 && *length >= 12 && memcmp(Raw, "HTTP/1.", 7) == 0 && Raw[9] == '1') {
        memmove(Raw, Raw + head, *length - head);
        *length -= head;
        head = HeadEnd(*length);
    }
    if (head == 0)
        return *length >= HEAD_LIMIT ? -2 : closed ? -1 : 0;
    if (*length < 12 || memcmp(Raw, "HTTP/1.", 7) != 0 || Raw[8] != ' ')
        return -1;
    reply->Status = atoi(Raw + 9);
    const char *encoding = FieldValue(Raw, head, "transfer-encoding:");
    if (encoding != NULL && StartsWithNoCase(encoding, "chunked")) {
        int decoded = DecodeChunks(head, *length, reply);
        if (decoded == 0 && *length >= (int)sizeof Raw)
            return -2;
        return decoded == 0 && closed ? -1 : decoded;
    }
    const char *declared = FieldValue(Raw, head, "content-length:");
    long size = declared != NULL ? strtol(declared, NULL, 10) : -1;
    if (size >= HTTPS_BODY_SIZE || (declared == NULL && *length - head >= HTTPS_BODY_SIZE))
        return -2;
    if (size >= 0 ? *length - head < size : !closed)
        return closed ? -1 : 0;
    int body = size >= 0 ? (int)size : *length - head;
    memcpy(reply->Body, Raw + head, body);
    reply->Body[body] = '\0';
    reply->BodyLength = body;
    return 1;
}

static int ReceiveReply(HttpsReply *reply)
{
    DWORD start = GetTickCount();
    int length = 0;
    for (;;) {
        int room = (int)sizeof Raw - length;
        int received = room > 0 ? TlsReceive(&Tls, Raw + length, room, start, MailReplyTimeoutMs) : 0;
        length += received;
        int complete = ReplyComplete(&length, received == 0, reply);
        if (complete == 0 && received > 0)
            continue;
        if (complete <= 0)
            reply->Failure = complete == -2 ? HttpsReplyTooLarge : HttpsNoReply;
        return complete > 0;
    }
}

static int Exchange(SOCKET sock, const char *host, const char *path, const char *form, size_t formLength,
                    const char *trustedCaPath, HttpsReply *reply)
{
    if (!TlsStart(&Tls, sock, host, trustedCaPath, MailReplyTimeoutMs)) {
        reply->Failure = HttpsSecureFailed;
        reply->TlsFailure = Tls.Failure;
        reply->Verdict = Tls.Verdict;
        return 0;
    }
    int head = snprintf(Request, sizeof Request,
                        "POST %s HTTP/1.1\r\n"
                        "Host: %s\r\n"
                        "Content-Type: application/x-www-form-urlencoded\r\n"
                        "Accept: application/json\r\n"
                        "User-Agent: Tallyline\r\n"
                        "Content-Length: %u\r\n"
                        "Connection: close\r\n"
                        "\r\n",
                        path, host, (unsigned)formLength);
    int sent = head > 0 && (size_t)head + formLength <= sizeof Request;
    if (sent) {
        memcpy(Request + head, form, formLength);
        sent = TlsSend(&Tls, Request, head + (int)formLength);
    }
    WipeSecret(Request, sizeof Request);
    if (!sent) {
        reply->Failure = HttpsRequestFailed;
        return 0;
    }
    return ReceiveReply(reply);
}

int PostHttpsForm(const char *url, const char *form, size_t formLength, const char *proxy,
                  const char *trustedCaPath, HttpsReply *reply)
{
    memset(reply, 0, sizeof *reply);
    char host[HOST_SIZE], path[PATH_SIZE], proxyHost[HOST_SIZE];
    unsigned port = 443, proxyPort = 8080;
    const char *rest = "";
    int viaProxy = proxy != NULL && proxy[0] != '\0';
    if (!ParseHttpsUrl(url, host, sizeof host, &port, path, sizeof path) ||
        (viaProxy && (!ParseHostPort(proxy, proxyHost, sizeof proxyHost, &proxyPort, &rest) || *rest != '\0'))) {
        reply->Failure = HttpsBadUrl;
        return 0;
    }
    DWORD start = GetTickCount();
    SOCKET sock = viaProxy ? Connect(proxyHost, proxyPort, reply) : Connect(host, port, reply);
    if (sock == INVALID_SOCKET)
        return 0;
    int ok = 0;
    if (viaProxy && !OpenTunnel(sock, host, port, start))
        reply->Failure = HttpsProxyRefused;
    else
        ok = Exchange(sock, host, path, form, formLength, trustedCaPath, reply);
    TlsEnd(&Tls);
    closesocket(sock);
    // The reply carries the access token: no copy stays behind.
    WipeSecret(Raw, sizeof Raw);
    return ok;
}
