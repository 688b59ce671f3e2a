// Text of the mail message: the header with its sixteen placeholders, the
// boundary lines, and the bounded fields that go into them.
#pragma once

#include <windows.h>
#include <stddef.h>

// Field sizes, terminating zero included: an address as the registry holds
// it, and a file name as a Windows path can hold it.
#define MAIL_ADDRESS_SIZE   64
#define MAIL_FILE_NAME_SIZE 260
// Room for the header with every field at its longest.
#define MAIL_HEADER_SIZE    2048

// Copies text into a field of the given size, cut at the first CR or LF (so
// an address cannot carry further SMTP commands or header lines) and at the
// field's size. A null text gives an empty field.
void CopyMailField(char *field, size_t size, const char *text);

// The part of the path after its last backslash, or the whole path.
const char *MailFileName(const char *path);

// Formats the 24-line message header for the given local time and tick count
// (the boundary number). Returns the header's length, 0 if it did not fit.
int FormatMailHeader(char *buffer, size_t size, const SYSTEMTIME *now, DWORD tick,
                     const char *from, const char *to, const char *fileName);

// The closing delimiter line, the end of the DATA phase included.
int FormatMailTrailer(char *buffer, size_t size, DWORD tick);
