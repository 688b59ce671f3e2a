// The one connection to the collector: TCP, TLS over it (with a private CA
// and a client certificate when set) or UDP. Every wait is bounded, so a
// stop never waits long for a collector that has stopped answering.
#pragma once

#include <windows.h>

#include "common/settings/ForwardSettings.h"
#include "service/forward/ForwardBatch.h"

#define FORWARD_CONNECT_TIMEOUT_MS 5000
#define FORWARD_SEND_TIMEOUT_MS    5000
#define FORWARD_HANDSHAKE_MS       5000
// Bytes the system may hold unsent for us: a collector that fails loses at
// most these beside what it had received, and the forwarder goes back
// further than that (ForwardThread.h).
#define FORWARD_SEND_BUFFER 65536

// Connects to the target. Non-zero on success; otherwise why says what
// failed, in words for the event log.
int OpenForwardConnection(const ForwardTarget *target, const ForwardSettings *settings, char *why, size_t size);

// Sends the batch whole (UDP: one datagram a message). Non-zero on success.
int SendForwardBatch(const ForwardBatch *batch);

// A stream collector never speaks: anything it sends (its close, a TLS
// alert) means it is going. Non-zero when the connection is no longer one
// to send on. UDP: never.
int ForwardPeerGone();

void CloseForwardConnection();
