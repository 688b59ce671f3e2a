// Names outside ASCII in a message. A log's name is ANSI text (the
// machine's code page); in a message it travels as UTF-8, each place the way
// its standard asks: the Subject as RFC 2047 encoded words, the attachment's
// name and filename as RFC 2231 extended parameters, the text part as
// quoted-printable. Names in plain ASCII are never encoded. Each routine
// appends to a buffer at *length, keeps it terminated and returns non-zero
// when what it appended fitted.
#pragma once

#include <stddef.h>

// Non-zero when text holds a byte outside 7-bit ASCII.
int HasNonAscii(const char *text);

// The ANSI text as UTF-8, terminated. Non-zero when it fitted.
int AnsiToUtf8(const char *ansi, char *utf8, size_t size);

// UTF-8 text as encoded words ("=?UTF-8?B?...?="), each at most 75
// characters and each on a line of its own after a folding CR LF SP, so that
// no line passes 76 characters; a character is never split between words.
int AppendEncodedWords(char *out, size_t size, size_t *length, const char *utf8);

// A header parameter with a UTF-8 value on lines of its own, each begun by
// a TAB and ended by CR LF: name*=UTF-8''value, percent-encoded, or, when
// that would make a long line, numbered sections (name*0*=UTF-8''...;
// name*1*=...) of one line each.
int AppendExtendedParameter(char *out, size_t size, size_t *length, const char *name, const char *utf8);

// UTF-8 text as quoted-printable lines of at most 76 characters (soft line
// breaks between them), ending with CR LF.
int AppendQuotedPrintable(char *out, size_t size, size_t *length, const char *utf8);
