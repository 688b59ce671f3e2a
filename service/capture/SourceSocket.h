// What the network sources (TcpClientSource, TcpServerSource, UdpSource)
// share: the parsed Source and AllowedSenders, the source's short name for
// reports, and their sockets' one wake-up event. Every socket of a source is
// non-blocking and signals SourceEvent; the sources never rely on which
// event it was, they try every operation again until it would block, so a
// signal can never be lost between two sockets.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "common/settings/SourceSettings.h"

extern SourceAddress SourceTarget;
extern AllowedSenderList SourceSenders;
extern char SourceName[SOURCE_SIZE + 16];   // "tcp 10.1.1.5:1752"
extern WSAEVENT SourceEvent;

// The keep-alive of a TCP connection: a peer that vanished without closing
// (cable, power, a router's reboot) is found within about a minute.
#define KEEPALIVE_IDLE_MS     30000
#define KEEPALIVE_INTERVAL_MS 5000

// A new connection is a gap: once bytes came from an earlier one, the next
// byte begins a new stamped line, so that two connections' lines are never
// joined. NoteSourceDelivered tells that bytes came.
void BeginConnection();
void NoteSourceDelivered();

// A socket of the source: non-blocking, signalling SourceEvent on data,
// connections, connects and closes. INVALID_SOCKET on failure (error in *error).
SOCKET CreateSourceSocket(int family, int type, int *error);

// Moves an accepted socket onto SourceEvent (and non-blocking).
void SelectSourceSocket(SOCKET sock);

// TCP keep-alive every KEEPALIVE_INTERVAL_MS after KEEPALIVE_IDLE_MS idle;
// where the system refuses the interval, its own keep-alive.
void KeepConnectionAlive(SOCKET sock);

// What one receive gave.
enum ReceiveResult { ReceivedData, ReceivedNothing, ReceiveEnded };
// Receives what is there without waiting; ReceiveEnded when the peer closed
// or the connection failed (error in *error, 0 for a close).
ReceiveResult ReceiveWaiting(SOCKET sock, BYTE *buffer, DWORD size, DWORD *count, int *error);

// Creates a socket of the given type bound to the source's address and port
// (no address: every address of the machine, IPv6 and IPv4 where the system
// has both), exclusively: no other program can take the port over.
SOCKET BindSourceSocket(int type, int *error);

// A sender's address as bytes for AllowedSenders (family 4 or 6) and as text.
// Zero when it is neither IPv4 nor IPv6.
int SenderAddress(const sockaddr_storage *from, int *family, BYTE *bytes);
void FormatSenderAddress(const sockaddr_storage *from, char *text, size_t size);

// Whether a sender may send under AllowedSenders. A refused one is reported
// as `what` ("A connection", "A datagram"), once per address and hour.
int SenderAllowed(const sockaddr_storage *from, const char *what);

// What a socket error means, for the reports of the commonest ones ("" otherwise).
const char *SocketErrorMeaning(int error);
