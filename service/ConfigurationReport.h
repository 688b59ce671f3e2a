// The configuration report the service writes at start-up when
// VerboseLevel has 0x2: every parameter as the service took it, and what it
// did with values the registry held in a form it does not use.
#pragma once

#include <stddef.h>

// Returns the text's length; the text is always terminated within size.
int FormatConfigurationReport(char *buffer, size_t size);
