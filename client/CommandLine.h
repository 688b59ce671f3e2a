// The command-line verbs of client.exe: each runs without a window, reports
// on standard output (or the console it was started from) and ends the
// program with its exit code. Verbs and their switches take '/' or '-' and
// any letter case. Only an empty command line opens the window.
#pragma once

#include "client/CommandConsole.h"

// Runs the verb the command line starts with. Returns 0 when the command
// line is empty (the window opens); otherwise non-zero, with the verb's exit
// code in *exitCode: 87 after the usage for a command line that names no
// verb.
int RunCommandLine(const char *commandLine, int *exitCode);

// The usage, line by line; exitCode is what the program then ends with.
int PrintUsage(int exitCode);

// Whether the program may open its window: not in a window station that
// shows nothing (a service, or a deployment tool running as LocalSystem in
// session 0), where a window would wait for ever for a click.
int DesktopIsVisible();
