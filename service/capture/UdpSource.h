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

// One step that never waits: the rest of the last datagram and every one
// that waits after it, as far as size goes (0: none now; wait for
// SourceEvent). A datagram larger than what is left of size is handed out
// over several steps: a short receive would cut it. One datagram a step would
// let a device that sends many small ones a second outrun the reader, which
// wakes a few times a second while data trickles.
DWORD StepUdpSource(BYTE *buffer, DWORD size);

void CloseUdpSource();
