// Sends one log file to one recipient as a MIME attachment, speaking SMTP
// directly to port 25 of the server. Not reentrant: one call at a time per
// process.
#pragma once

#include <winsock2.h>

enum MailResult {
    Sent              = 0,
    ServerNotResolved = 1,
    ConnectFailed     = 2,
    BadReply          = 3,
    FileNotOpened     = 4
};

MailResult MailLogFile(const char *path, const char *server, const char *from, const char *to);

// Bounds on the waits, so a silent server cannot hang the caller: a connect
// that takes longer fails with ConnectFailed, a reply with BadReply. Process
// settings, shortened only by tests.
extern DWORD MailConnectTimeoutMs;  // 30000
extern DWORD MailReplyTimeoutMs;    // 60000

// Process state: the address of the last server resolved, and whether the
// next call must resolve (a call naming another server resolves it anyway).
extern sockaddr_in ServerAddress;
extern int MustResolve;
