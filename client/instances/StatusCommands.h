// "/status" and "/check": what the instances are doing, for scripts and for
// monitoring systems, from the Service Control Manager and the status each
// running instance publishes (InstanceStatus.h).
#pragma once

#include "client/instances/InstanceRestart.h"

// One line per instance in use (n = 0) or for instance n:
//   N SOURCE STATE LASTDATA TODAY ALARM OUTBOX LOGFILE
// blank-separated, the log file last. Returns the configuration verbs' codes.
int ShowInstanceStatus(int n, CommandReport report);

// The monitoring-plugin convention: one line "TALLYLINE <STATE> - text |
// performance data" and its code. CRITICAL when an instance that should run
// (Start Automatically, or the one named) is stopped, or its source is
// disconnected, or it is silent beyond its Timeout (or beyond critSeconds,
// when not negative); WARNING when paused, quiet for warnSeconds (when not
// negative), mail has waited over an hour, or data was lost today.
#define CHECK_OK       0
#define CHECK_WARNING  1
#define CHECK_CRITICAL 2
#define CHECK_UNKNOWN  3
int CheckInstances(int n, long warnSeconds, long critSeconds, CommandReport report);

// How long mail may wait in the outbox before the check warns.
#define CHECK_MAIL_WAIT_SECONDS 3600
