// A device, or a device server, that this service connects to: socket://
// (what it sends is the data) and rfc2217:// (a Telnet stream with the com
// port option, Rfc2217Stream.h). A host that cannot be reached is tried again
// after 1, 2, 4, 8, 15, then every 30 seconds, also after a connection drops;
// keep-alive finds a peer that vanished without closing. The first failure
// of an episode is reported, and the reconnection, not every try.
#pragma once

#include <windows.h>

// How long one connect may take before it counts as failed.
#define CONNECT_TIMEOUT_MS 10000

// The wait before the next try, after `failures` tries failed in a row (0:
// the first failure, or a drop).
DWORD ReconnectDelayMs(int failures);

// Starts the source: the first connect is tried at the first step. telnet:
// the stream is RFC 2217.
void StartTcpClient(BOOL telnet);

// One step that never waits: connects when a try is due, sees a connect
// through, receives. Returns the data bytes received; with none, *dueMs is
// the longest the caller may wait for SourceEvent before the next step.
DWORD StepTcpClient(BYTE *buffer, DWORD size, DWORD *dueMs);

// What has already arrived, without connecting or waiting (at stop).
DWORD TakeFromTcpClient(BYTE *buffer, DWORD size);

BOOL TcpClientConnected();
void CloseTcpClient();
