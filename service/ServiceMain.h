// Entry of the service: start-up sequence and control handler.
#pragma once

#include <windows.h>

void WINAPI ServiceMain(DWORD argc, LPSTR *argv);
void WINAPI ServiceHandler(DWORD control);

// How long a stop waits for the reader to notice it. The reader never blocks
// in a read past a stop, so this is only a guard.
#define READER_END_WAIT_MS 5000

// How long a stop waits for a mail in progress, and how often it tells the
// SCM that it is still waiting (with the wait hint it gives meanwhile).
#define MAIL_STOP_WAIT_MS  60000
#define STOP_CHECKPOINT_MS 1000
#define STOP_WAIT_HINT_MS  3000
