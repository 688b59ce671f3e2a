// Reads members of the JSON object a token server answers with (or a
// Google key file holds): members in any order, any whitespace, escapes
// (\uXXXX as UTF-8), nested values skipped. Bounded: it never writes past a
// caller's buffer and refuses nesting deeper than JSON_DEPTH_LIMIT.
#pragma once

#include <windows.h>
#include <stddef.h>

#define JSON_DEPTH_LIMIT 32

enum JsonFound {
    JsonUnusable = -1,  // not one well-formed object, the member is of another type, or too long
    JsonAbsent   = 0,
    JsonTaken    = 1
};

// The string member `name` of the top-level object, unescaped into text
// (terminated; empty unless taken).
int JsonString(const char *json, size_t length, const char *name, char *text, size_t size);

// The number member `name`: a whole number of at most 4294967295, written
// as a number or as a string of digits (some servers quote expires_in).
int JsonNumber(const char *json, size_t length, const char *name, DWORD *value);

// The value of a hexadecimal digit, or -1.
int HexDigitValue(char c);
