// Sends one log file to one recipient as a MIME attachment over SMTP. Without
// settings (or with all of them at their defaults) it speaks plain SMTP to
// port 25 without authentication; settings can name another port, STARTTLS
// or TLS from the first byte, and a user for AUTH. Not reentrant: one call at
// a time per process.
#pragma once

#include <winsock2.h>

#include "SmtpSettings.h"

enum MailResult {
    Sent                   = 0,
    ServerNotResolved      = 1,
    ConnectFailed          = 2,
    BadReply               = 3,
    FileNotOpened          = 4,    // also: a read of the file failed (the message was not completed)
    SecureConnectionFailed = 5,    // handshake, certificate, STARTTLS not offered, or security not usable
    AuthenticationRefused  = 6     // the server refused the user or password, or offers no way we sign in
};

MailResult MailLogFile(const char *path, const char *server, const char *from, const char *to,
                       const SmtpSettings *settings = NULL);

// Bounds on the waits, so a silent server cannot hang the caller: a connect
// that takes longer fails with ConnectFailed, a reply with BadReply, a TLS
// handshake (bounded as one reply) with SecureConnectionFailed. Process
// settings, shortened only by tests.
extern DWORD MailConnectTimeoutMs;  // 30000
extern DWORD MailReplyTimeoutMs;    // 60000

// Reads the log file; replaceable so that a test can make a read fail
// halfway, which Wine cannot do to a local file.
extern BOOL (WINAPI *MailReadFile)(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);

// Process state: the address of the last server resolved, and whether the
// next call must resolve (a call naming another server resolves it anyway).
// The port is set by each call from its settings.
extern sockaddr_in ServerAddress;
extern int MustResolve;

// Why the last call's secure connection failed (a TlsFailure, TlsStream.h),
// and its certificate verdict: for tests and diagnostics.
extern int LastTlsFailure;
extern int LastCertificateVerdict;
