// Entry of the service: start-up sequence and control handler.
#pragma once

#include <windows.h>

void WINAPI ServiceMain(DWORD argc, LPSTR *argv);
void WINAPI ServiceHandler(DWORD control);

// How long a stop waits for the reader to notice it. The reader never blocks
// in a read past a stop, so this is only a guard.
#define READER_END_WAIT_MS 5000
