// Entry of the service: start-up sequence and control handler.
#pragma once

#include <windows.h>

#include "service/forward/ForwardThread.h"

void WINAPI ServiceMain(DWORD argc, LPSTR *argv);
DWORD WINAPI ServiceHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The controls the service takes: stop, pause and continue, and the system's
// shutdown (and pre-shutdown) notices, which do what a stop does.
#define ACCEPTED_CONTROLS \
    (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN | \
     SERVICE_ACCEPT_PRESHUTDOWN)

// A start that fails stops with dwWin32ExitCode ERROR_SERVICE_SPECIFIC_ERROR
// and one of these as dwServiceSpecificExitCode, so that the Service Control
// Manager applies its recovery actions.
enum StartFailure {
    StartFailedParameters = 1,  // the registry parameters could not be read
    StartFailedPort = 2,        // the port could not be opened or set
    StartFailedLogFile = 3,     // the log file could not be opened
    StartFailedWorker = 4,      // a thread or event of the service could not be created
    StopIncomplete = 5,         // a stop whose reader or writer did not end in time
};

// How long the handler waits for the work of a control before it answers
// with the pending state; the work then reports a rising checkpoint every
// STOP_CHECKPOINT_MS (wait hint STOP_WAIT_HINT_MS) and its final state itself.
#define CONTROL_ANSWER_MS  500
#define STOP_CHECKPOINT_MS 1000
#define STOP_WAIT_HINT_MS  3000

// How long a stop waits for the reader to end (it never blocks in a read past
// a stop, so this is only a guard against a driver that never completes one), for the writer to finish the log (a disk
// that hangs in a write must not hold the stop for ever), and for a mail in
// progress; how long a pause waits for the writer.
#define READER_END_WAIT_MS 5000
#define WRITER_END_WAIT_MS 30000
#define MAIL_STOP_WAIT_MS  60000
#define PAUSE_WAIT_MS      30000

// The time at shutdown the service asks for: every guard of a stop, and a
// little more.
#define PRESHUTDOWN_TIMEOUT_MS (READER_END_WAIT_MS + WRITER_END_WAIT_MS + FORWARD_END_WAIT_MS + \
                                MAIL_STOP_WAIT_MS + 5000)
