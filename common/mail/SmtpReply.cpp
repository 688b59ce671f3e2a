#include "common/mail/SmtpReply.h"

#include <string.h>

void StartSmtpReply(SmtpReply *reply)
{
    memset(reply, 0, sizeof *reply);
    reply->State = SmtpReplyPending;
}

static int WordIs(const SmtpReply *reply, const char *word)
{
    return reply->WordLength == (int)strlen(word) && memcmp(reply->Word, word, reply->WordLength) == 0;
}

// SIZE's number: digits only, else no limit is known.
static ULONGLONG WordNumber(const SmtpReply *reply)
{
    if (reply->WordLength > SMTP_WORD_SIZE)
        return 0;
    ULONGLONG number = 0;
    for (int i = 0; i < reply->WordLength; i++) {
        if (reply->Word[i] < '0' || reply->Word[i] > '9')
            return 0;
        number = number * 10 + (ULONGLONG)(reply->Word[i] - '0');
    }
    return number;
}

// One word of a line is complete. The first word is the keyword; after AUTH
// come the mechanisms ("250-AUTH PLAIN LOGIN", or the older "250-AUTH=LOGIN"),
// after SIZE its limit ("250-SIZE 35882577").
static void EndWord(SmtpReply *reply)
{
    if (reply->WordLength == 0 || reply->LineIndex == 0)
        return;
    if (reply->WordIndex == 0) {
        if (WordIs(reply, "STARTTLS"))
            reply->Extensions |= SMTP_EXTENSION_STARTTLS;
        reply->AuthLine = WordIs(reply, "AUTH");
        reply->SizeLine = WordIs(reply, "SIZE");
    } else if (reply->SizeLine) {
        if (reply->WordIndex == 1)
            reply->SizeLimit = WordNumber(reply);
    } else if (reply->AuthLine) {
        if (WordIs(reply, "PLAIN"))
            reply->Extensions |= SMTP_EXTENSION_AUTH_PLAIN;
        else if (WordIs(reply, "LOGIN"))
            reply->Extensions |= SMTP_EXTENSION_AUTH_LOGIN;
        else if (WordIs(reply, "XOAUTH2"))
            reply->Extensions |= SMTP_EXTENSION_AUTH_XOAUTH2;
    }
    reply->WordIndex++;
    reply->WordLength = 0;
}

static void AddToWord(SmtpReply *reply, char c)
{
    if (c == ' ' || c == '\t' || (c == '=' && reply->WordIndex == 0)) {
        EndWord(reply);
        return;
    }
    if (reply->WordLength < SMTP_WORD_SIZE)
        reply->Word[reply->WordLength] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
    if (reply->WordLength <= SMTP_WORD_SIZE)
        reply->WordLength++;   // a word past the size matches nothing
}

// A complete line: a continuation line has "-" after its code; anything else
// (space, text or nothing) makes it the final line.
static void EndReplyLine(SmtpReply *reply)
{
    EndWord(reply);
    reply->WordIndex = 0;
    reply->WordLength = 0;
    reply->AuthLine = 0;
    reply->SizeLine = 0;
    reply->LineIndex++;
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
            else
                AddToWord(reply, c);
            if (reply->LineLength < 1000000)
                reply->LineLength++;
        }
    }
    return reply->State;
}

int ReadSmtpReply(SmtpChannel *channel, SmtpReply *reply, DWORD timeoutMs)
{
    char buffer[SMTP_RECEIVE_SIZE];
    StartSmtpReply(reply);
    DWORD start = GetTickCount();
    while (reply->State == SmtpReplyPending) {
        int received = ChannelReceive(channel, buffer, sizeof buffer, start, timeoutMs);
        if (received <= 0)
            return 0;
        FeedSmtpReply(reply, buffer, received);
    }
    ChannelDiscard(channel);
    return reply->State == SmtpReplyComplete;
}

int ExpectSmtpReply(SmtpChannel *channel, const char *expectedCode, DWORD timeoutMs)
{
    SmtpReply reply;
    return ReadSmtpReply(channel, &reply, timeoutMs) && strncmp(reply.Code, expectedCode, 3) == 0;
}
