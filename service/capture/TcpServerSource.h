// A device that connects to this service and pushes its data (listen://).
// One connection at a time, and the newest wins: a device that comes back
// after a network outage leaves its old connection half-open, and the new
// one must not wait behind it. What the old one delivered is kept, and the
// new one begins a new line. Connections from senders that AllowedSenders
// keeps out are closed at once and reported.
#pragma once

#include <windows.h>

// Binds the port (exclusively) and listens. Reports why and returns 0 when
// it cannot: the service does not start.
int StartTcpServer();

// One step that never waits: takes new connections, receives. Returns the
// bytes received (0: nothing now; wait for SourceEvent).
DWORD StepTcpServer(BYTE *buffer, DWORD size);

BOOL TcpServerConnected();
void CloseTcpServer();
