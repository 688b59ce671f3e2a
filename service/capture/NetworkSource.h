// The network sources as the reader sees them, chosen by the instance's
// Source value: socket:// and rfc2217:// (TcpClientSource), listen://
// (TcpServerSource), udp:// (UdpSource). Shaped as the reader's source:
// a source that is disconnected is silent, never lost, since it comes back by
// itself; a new connection is a gap (the next byte begins a stamped line).
#pragma once

#include <windows.h>
#include "service/capture/CaptureSource.h"

// The most one step takes from the network at once.
#define NETWORK_RECEIVE_SIZE 65536
// How often a source whose bytes find no room in the capture queue looks again.
#define QUEUE_ROOM_WAIT_MS 10

// Non-zero when the instance captures from the network (Source is stored).
BOOL NetworkSourceConfigured();

// Open: checks Source and AllowedSenders, binds a listening source's port;
// reports why and returns 0 when the service cannot start (a value that is
// not valid, a port that cannot be bound). A host that cannot be reached is
// no reason: it is tried until it can. Read never returns SourceLost: a
// network source reconnects by itself and is silent meanwhile. Connected: a
// listening source while a device is connected; UDP always.
extern const CaptureSource NetworkCaptureSource;

// The source in short for reports ("tcp 10.1.1.5:1752"), once opened.
const char *NetworkSourceName();
