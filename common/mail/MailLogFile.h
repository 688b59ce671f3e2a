// Sends one log file to one recipient as a MIME attachment over SMTP. Without
// settings (or with all of them at their defaults) it speaks plain SMTP to
// port 25 without authentication; settings can name another port, STARTTLS
// or TLS from the first byte, and a user for AUTH. Every connection resolves
// the server's name again and tries each of its addresses in turn. Not
// reentrant: one call at a time per process.
#pragma once

#include <winsock2.h>

#include "common/mail/MailParts.h"
#include "common/mail/MailResult.h"
#include "common/net/SocketIo.h"
#include "common/settings/MailSettings.h"
#include "common/settings/SmtpSettings.h"

// Mails the log in one message. `attachment` (MailAttachmentKind) says
// whether it goes as it is or zipped as "<log>.zip"; the message is measured
// exactly (header, base64 lines, trailer) against the SIZE the server
// declares, and one that would exceed it is not sent: MessageTooLarge. Then,
// when the attachment may be zipped and plan is not null, the plan says how
// the log goes in parts (plan->Count 0: it cannot be cut to fit).
MailResult MailLogFile(const char *path, const char *server, const char *from, const char *to,
                       const SmtpSettings *settings = NULL, DWORD attachment = AttachLog,
                       MailPlan *plan = NULL);

// Mails one part of a log (GetMailPart) as its own message: the part's
// bytes zipped as "<stem>-part<k>of<n><ext>.zip", "(part k of n)" in the
// subject. MessageTooLarge when even it exceeds the server's SIZE now;
// FileNotOpened for a part that is not one of a plan or not inside the file.
MailResult MailLogPart(const char *path, const char *server, const char *from, const char *to,
                       const SmtpSettings *settings, const MailPart *part);

// A queue mails over one connection, one transaction after another (RFC
// 5321 allows many per session): MailLogInSession mails a log (part null)
// or one part of it as MailLogFile and MailLogPart do, over the connection
// the last call kept when it was made to the same server with the same
// settings, else over a new one, and keeps it open; Sent is the server's 250
// to the message's final "." (the message is then delivered, whatever
// becomes of the connection). A kept connection the server has dropped is
// replaced once, unnoticed. EndMailSession ends it with QUIT, awaiting the
// answer (bounded as every reply) when `wait` is non-zero; non-zero when the
// server answered 221.
MailResult MailLogInSession(const char *path, const char *server, const char *from, const char *to,
                            const SmtpSettings *settings, DWORD attachment, const MailPart *part, MailPlan *plan);
int EndMailSession(int wait);

// Mails a log as `attachment` asks: in one message, or, when it must be cut,
// part after part in order, each its own message. The first failure ends it
// (*failedPart names that part, 0 when the log was not cut); plan holds the
// parts afterwards (Count 0 when it was not cut).
MailResult MailLogInFull(const char *path, const char *server, const char *from, const char *to,
                         const SmtpSettings *settings, DWORD attachment, MailPlan *plan, DWORD *failedPart);

// Mails a short text message (an alarm) through the same server and sign-in:
// FormatNoticeMessage (MailMessage.h) says how the text goes. LastMailFailure
// tells where a failure happened, as for a log.
MailResult MailNotice(const char *server, const char *from, const char *to, const SmtpSettings *settings,
                      const char *subject, const char *text);

// Where the last call's dialogue ended, and the code of the server's last
// reply there ("" when none came: a time-out, a dropped connection), so a
// caller that tries again can tell a refusal for now from one for good.
enum MailStep {
    MailStepSession = 0,    // up to MAIL FROM: resolving, connecting, greeting, EHLO, TLS, AUTH
    MailStepSender,         // MAIL FROM
    MailStepRecipient,      // RCPT TO
    MailStepData,           // DATA
    MailStepMessage,        // the message and its final "."
    MailStepQuit            // the server had accepted the message
};
struct MailFailure {
    int Step;               // MailStep
    char Code[4];
};
extern MailFailure LastMailFailure;

// The server refused the last call's message for good: a 5xx reply to
// MAIL FROM, RCPT TO, DATA or the message itself.
int MailRefusedForGood();

// The server accepted the last call's message (2xx after its final "."),
// whatever came after it (a QUIT that was not answered as it should be).
int MailAccepted();

// The waits are bounded (MailConnectTimeoutMs for each address,
// MailReplyTimeoutMs, and MailDataReplyTimeoutMs for the answer to a
// message's final ".", SocketIo.h), so a silent server cannot hang the
// caller: a connect that takes longer fails with ConnectFailed, a reply with
// BadReply, a TLS handshake (bounded as one reply) with
// SecureConnectionFailed.

// Why the last call's secure connection failed, in words that tell the
// administrator what to do (an intermediate certificate missing); "" when
// there are none to add to the result.
const char *SecureConnectionFailureText();

// Reads the log file; replaceable so that a test can make a read fail
// halfway, which Wine cannot do to a local file.
extern BOOL (WINAPI *MailReadFile)(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);

// Why the last call's secure connection failed (a TlsFailure, TlsStream.h),
// and its certificate verdict: for tests and diagnostics.
extern int LastTlsFailure;
extern int LastCertificateVerdict;
