// The command-line verbs of client.exe: each runs without a window, reports
// on standard output (or the console it was started from) and ends the
// program with its exit code. Any other command line opens the window.
#pragma once

// Runs the verb the command line starts with. Returns 0 when it names none
// (the window opens); otherwise non-zero, with the verb's exit code in
// *exitCode.
int RunCommandLine(const char *commandLine, int *exitCode);

// One line of a verb's report, to standard output when the program has one
// (a pipe, as setup programs read it), else to the console of the command
// prompt it was started from; lost when there is neither.
void PrintCommandLine(const char *line);
