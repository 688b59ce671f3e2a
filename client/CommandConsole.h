// The verbs' output and the secrets they read: standard output and input
// when the program has them (pipes, as setup programs and scripts give
// them), else the console of the command prompt it was started from.
#pragma once

#include <stddef.h>

// One line of a verb's report; lost when there is neither output.
void PrintCommandLine(const char *line);

// Reads one line, the secret `name` (SmtpPassword), into secret: from
// standard input, or typed at the prompt's console without being shown.
// Non-zero when a line was read (it may be empty); 0 when there is no input,
// the line is longer than size - 1 characters or holds a zero byte.
int ReadSecretLine(const char *name, char *secret, size_t size);
