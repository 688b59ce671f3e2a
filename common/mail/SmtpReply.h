// Reading one whole SMTP reply: every continuation line ("250-...") up to the
// final line ("250 ..."), however the server splits it into TCP segments or
// TLS records. An EHLO reply's keywords are picked up on the way.
#pragma once

#include "common/mail/SmtpChannel.h"

// Size of the receive buffer; a reply may be longer, it is read in pieces.
#define SMTP_RECEIVE_SIZE 1024

// EHLO keywords this mailer acts on.
#define SMTP_EXTENSION_STARTTLS   0x1
#define SMTP_EXTENSION_AUTH_PLAIN 0x2
#define SMTP_EXTENSION_AUTH_LOGIN 0x4
#define SMTP_EXTENSION_AUTH_XOAUTH2 0x8

// Longest keyword or mechanism name kept; longer words are skipped whole.
#define SMTP_WORD_SIZE 16

// What a reply reader has seen so far. Only the first four characters of the
// current line and one word at a time are kept, so a reply of any length
// passes through this fixed record.
struct SmtpReply {
    char Line[4];      // first characters of the current line
    int LineLength;    // characters of the current line so far (CR excluded)
    char Code[4];      // code of the final line, NUL-terminated, once complete
    int State;         // SmtpReplyPending, SmtpReplyComplete or SmtpReplyMalformed
    // EHLO keywords: the words of each line after the first (which names
    // the server), after the line's code and separator.
    unsigned Extensions;        // SMTP_EXTENSION_* seen
    int LineIndex;              // lines of the reply before the current one
    char Word[SMTP_WORD_SIZE];  // the current word, upper case
    int WordLength;             // its length; beyond SMTP_WORD_SIZE when too long
    int WordIndex;              // words of the line before it
    int AuthLine;               // the line's keyword is AUTH: its words are mechanisms
    int SizeLine;               // the line's keyword is SIZE: its word is the limit
    // SIZE (RFC 1870): the largest message the server takes, in bytes; 0:
    // none declared, or "SIZE 0", no fixed maximum. A number too long to keep
    // is taken as none.
    ULONGLONG SizeLimit;
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

// Receives one whole reply, waiting at most timeoutMs for all of it. Returns
// 1 when a well-formed reply was read (its code in reply->Code); a failed or
// closed receive, a time-out or a malformed reply return 0.
int ReadSmtpReply(SmtpChannel *channel, SmtpReply *reply, DWORD timeoutMs);

// Reads one reply and returns 1 when its code equals the expected code.
int ExpectSmtpReply(SmtpChannel *channel, const char *expectedCode, DWORD timeoutMs);
