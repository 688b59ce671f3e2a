// The connection the SMTP dialogue runs over: the socket itself, or the
// socket through TLS once the connection is secured. The dialogue's bytes are
// the same either way.
#pragma once

#include <winsock2.h>

struct TlsStream;

struct SmtpChannel {
    SOCKET Socket;
    TlsStream *Tls;     // null while the connection is plain
};

// Sends all of the bytes; 0 when the connection failed on the way.
int ChannelSend(SmtpChannel *channel, const char *data, int length);

// Receives what is there, waiting at most until timeoutMs after start (a
// GetTickCount value). Returns the number of bytes; 0 when the connection
// closed, failed or the time ran out.
int ChannelReceive(SmtpChannel *channel, char *buffer, int size, DWORD start, DWORD timeoutMs);

// Drops decrypted bytes not handed out yet: what a server sent after the end
// of a reply is not taken, plain or secured.
void ChannelDiscard(SmtpChannel *channel);
