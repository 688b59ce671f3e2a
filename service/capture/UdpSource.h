// The datagrams that reach a port (udp://), each whole and in the order they
// come; those from senders that AllowedSenders keeps out are dropped and
// reported.
#pragma once

#include <windows.h>

// The largest datagram (IPv4's limit; IPv6 jumbograms do not reach here).
#define DATAGRAM_SIZE 65536
// What the system holds for the source while it is paused: as much as the
// capture queue.
#define UDP_RECEIVE_BUFFER_SIZE (1024 * 1024)

// Binds the port (exclusively). Reports why and returns 0 when it cannot:
// the service does not start.
int StartUdpSource();

// One step that never waits: the rest of the last datagram, or the next one
// (0: none now; wait for SourceEvent). A datagram larger than size is handed
// out over several steps: a short receive would cut it.
DWORD StepUdpSource(BYTE *buffer, DWORD size);

void CloseUdpSource();
