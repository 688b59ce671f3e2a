// The network sources as the reader sees them, chosen by the instance's
// Source value: socket:// and rfc2217:// (TcpClientSource), listen://
// (TcpServerSource), udp:// (UdpSource). Shaped as the reader's source:
// a source that is disconnected is silent, never lost, since it comes back by
// itself; a new connection is a gap (the next byte begins a stamped line).
#pragma once

#include <windows.h>

enum SourceResult { SourceData, SourceQuiet, SourceLost, SourceStopped };

// The most one step takes from the network at once.
#define NETWORK_RECEIVE_SIZE 65536

// Non-zero when the instance captures from the network (Source is stored).
BOOL NetworkSourceConfigured();

// At start: checks Source and AllowedSenders, binds a listening source's
// port. Reports why and returns 0 when the service cannot start (a value
// that is not valid, a port that cannot be bound). A host that cannot be
// reached is no reason: it is tried until it can.
int OpenNetworkSource();

// Waits at most waitMs for data and ends at once when StopEvent is set;
// *count bytes came.
SourceResult ReadNetworkSource(BYTE *buffer, DWORD size, DWORD waitMs, DWORD *count);

// A network source never reports itself lost: it reconnects by itself.
int ReopenNetworkSource();

// At stop: only what has already arrived, without waiting.
DWORD TakeWaitingFromNetwork(BYTE *buffer, DWORD size);

void CloseNetworkSource();

// Connected (a listening source: a device is connected; UDP: always).
BOOL NetworkSourceConnected();

// The source in short for reports ("tcp 10.1.1.5:1752"), once opened.
const char *NetworkSourceName();
