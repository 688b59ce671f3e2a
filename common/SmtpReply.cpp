#include "SmtpReply.h"

#include <string.h>

void StartSmtpReply(SmtpReply *reply)
{
    memset(reply, 0, sizeof *reply);
    reply->State = SmtpReplyPending;
}

// A complete line: a continuation line has "-" after its code; anything else
// (space, text or nothing) makes it the final line.
static void EndReplyLine(SmtpReply *reply)
{
    if (reply->LineLength < 3) {
        reply->State = SmtpReplyMalformed;
    } else if (reply->LineLength == 3 || reply->Line[3] != '-') {
        memcpy(reply->Code, reply->Line, 3);
        reply->Code[3] = '\0';
        reply->State = SmtpReplyComplete;
    }
    reply->LineLength = 0;
}

int FeedSmtpReply(SmtpReply *reply, const char *data, int length)
{
    for (int i = 0; i < length && reply->State == SmtpReplyPending; i++) {
        char c = data[i];
        if (c == '\n') {
            EndReplyLine(reply);
        } else if (c != '\r') {
            if (reply->LineLength < (int)sizeof reply->Line)
                reply->Line[reply->LineLength] = c;
            if (reply->LineLength < 1000000)
                reply->LineLength++;
        }
    }
    return reply->State;
}

// Waits until the socket is readable or the deadline passes.
static int WaitReadable(SOCKET sock, DWORD start, DWORD timeoutMs)
{
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs)
        return 0;
    DWORD left = timeoutMs - elapsed;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    timeval wait;
    wait.tv_sec = (long)(left / 1000);
    wait.tv_usec = (long)((left % 1000) * 1000);
    return select(0, &readable, NULL, NULL, &wait) == 1;
}

int ExpectSmtpReply(SOCKET sock, const char *expectedCode, DWORD timeoutMs)
{
    char buffer[SMTP_RECEIVE_SIZE];
    SmtpReply reply;
    StartSmtpReply(&reply);
    DWORD start = GetTickCount();
    while (reply.State == SmtpReplyPending) {
        if (!WaitReadable(sock, start, timeoutMs))
            return 0;
        int received = recv(sock, buffer, sizeof buffer, 0);
        if (received <= 0)
            return 0;
        FeedSmtpReply(&reply, buffer, received);
    }
    return reply.State == SmtpReplyComplete && strncmp(reply.Code, expectedCode, 3) == 0;
}
