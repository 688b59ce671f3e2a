// Reading one whole SMTP reply: every continuation line ("250-...") up to the
// final line ("250 ..."), however the server splits it into TCP segments.
#pragma once

#include <winsock2.h>

// Size of the receive buffer; a reply may be longer, it is read in pieces.
#define SMTP_RECEIVE_SIZE 1024

// What a reply reader has seen so far. Only the first four characters of the
// current line matter (the code and the continuation mark), so a line of any
// length passes through this fixed record.
struct SmtpReply {
    char Line[4];      // first characters of the current line
    int LineLength;    // characters of the current line so far (CR excluded)
    char Code[4];      // code of the final line, NUL-terminated, once complete
    int State;         // SmtpReplyPending, SmtpReplyComplete or SmtpReplyMalformed
};

enum SmtpReplyState {
    SmtpReplyPending   = 0,
    SmtpReplyComplete  = 1,
    SmtpReplyMalformed = 2
};

// Starts a new reply.
void StartSmtpReply(SmtpReply *reply);

// Feeds received bytes; returns the reply's state afterwards. Bytes after the
// final line are ignored. A line shorter than three characters is malformed.
int FeedSmtpReply(SmtpReply *reply, const char *data, int length);

// Receives one whole reply on the socket, waiting at most timeoutMs for all of
// it, and returns 1 when its code equals the expected three-digit code. A
// failed or closed receive, a time-out or a malformed reply return 0.
int ExpectSmtpReply(SOCKET sock, const char *expectedCode, DWORD timeoutMs);
