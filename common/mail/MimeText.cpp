#include "common/mail/MimeText.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "common/text/Base64Text.h"

// An encoded word is at most 75 characters: "=?UTF-8?B?" and "?=" leave 63
// for base64, that is 45 bytes of text.
#define WORD_TEXT_BYTES 45
// Percent-encoded characters of one section of an RFC 2231 parameter: with
// its name the line stays under 78 characters.
#define SECTION_CHARS 56
// A quoted-printable line: 76 characters, the soft break's "=" included.
#define QP_LINE_CHARS 75
// The widest name: a path's worth of characters, three UTF-8 bytes each.
#define WIDE_NAME_SIZE 1024

static const char Hex[] = "0123456789ABCDEF";

int HasNonAscii(const char *text)
{
    for (; *text != '\0'; text++)
        if ((unsigned char)*text >= 0x80)
            return 1;
    return 0;
}

int AnsiToUtf8(const char *ansi, char *utf8, size_t size)
{
    static WCHAR wide[WIDE_NAME_SIZE];
    if (size == 0)
        return 0;
    utf8[0] = '\0';
    int wideLength = MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, WIDE_NAME_SIZE);
    return wideLength > 0 && WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, (int)size, NULL, NULL) > 0;
}

static int Append(char *out, size_t size, size_t *length, const char *text, size_t count)
{
    if (*length + count >= size)
        return 0;
    memcpy(out + *length, text, count);
    *length += count;
    out[*length] = '\0';
    return 1;
}

static int AppendText(char *out, size_t size, size_t *length, const char *text)
{
    return Append(out, size, length, text, strlen(text));
}

// Bytes of utf8 from its start, at most `limit`, that end on a character's
// boundary (never before a continuation byte).
static size_t WholeCharacters(const char *utf8, size_t limit)
{
    size_t n = strnlen(utf8, limit);
    if (n == limit) {
        while (n > 0 && ((unsigned char)utf8[n] & 0xC0) == 0x80)
            n--;
        if (n == 0)
            n = limit;      // not UTF-8: cut where it must be cut
    }
    return n;
}

int AppendEncodedWords(char *out, size_t size, size_t *length, const char *utf8)
{
    while (*utf8 != '\0') {
        size_t bytes = WholeCharacters(utf8, WORD_TEXT_BYTES);
        char word[80];
        if (EncodeBase64Text((const BYTE *)utf8, bytes, word, sizeof word, 0) == 0 ||
            !AppendText(out, size, length, "\r\n =?UTF-8?B?") || !AppendText(out, size, length, word) ||
            !AppendText(out, size, length, "?="))
            return 0;
        utf8 += bytes;
    }
    return 1;
}

// RFC 2231's attribute-char: what may stand in an extended value unencoded.
static int AttributeCharacter(unsigned char c)
{
    return c > 0x20 && c < 0x7F && strchr("*'%()<>@,;:\\\"/[]?=", c) == NULL;
}

int AppendExtendedParameter(char *out, size_t size, size_t *length, const char *name, const char *utf8)
{
    static char encoded[3 * WIDE_NAME_SIZE];
    // Where a character's encoding begins: a section may end only there,
    // splitting neither an escape nor a character's bytes.
    static BYTE starts[3 * WIDE_NAME_SIZE];
    size_t n = 0;
    for (const unsigned char *c = (const unsigned char *)utf8; *c != '\0'; c++) {
        if (n + 4 > sizeof encoded)
            return 0;
        starts[n] = (*c & 0xC0) != 0x80;
        if (AttributeCharacter(*c)) {
            encoded[n++] = (char)*c;
        } else {
            encoded[n++] = '%';
            starts[n] = 0;
            encoded[n++] = Hex[*c >> 4];
            starts[n] = 0;
            encoded[n++] = Hex[*c & 15];
        }
    }
    encoded[n] = '\0';
    if (n <= SECTION_CHARS)
        return AppendText(out, size, length, "\t") && AppendText(out, size, length, name) &&
               AppendText(out, size, length, "*=UTF-8''") && AppendText(out, size, length, encoded) &&
               AppendText(out, size, length, "\r\n");
    size_t at = 0;
    for (int section = 0; at < n; section++) {
        size_t end = at + SECTION_CHARS;
        if (end >= n) {
            end = n;
        } else {
            while (end > at && !starts[end])
                end--;
            if (end == at)
                end = at + SECTION_CHARS;     // not UTF-8: cut where it must be cut
        }
        char head[64];
        snprintf(head, sizeof head, "\t%.32s*%d*=%s", name, section, section == 0 ? "UTF-8''" : "");
        if (!AppendText(out, size, length, head) || !Append(out, size, length, encoded + at, end - at) ||
            !AppendText(out, size, length, end < n ? ";\r\n" : "\r\n"))
            return 0;
        at = end;
    }
    return 1;
}

int AppendQuotedPrintable(char *out, size_t size, size_t *length, const char *utf8)
{
    size_t line = 0;
    for (const unsigned char *c = (const unsigned char *)utf8; *c != '\0'; c++) {
        char piece[4];
        size_t pieceLength = 1;
        // A blank is kept as it is except at the end of the text, where a
        // mail system may strip it.
        if ((*c >= 0x21 && *c <= 0x7E && *c != '=') || (*c == ' ' && c[1] != '\0')) {
            piece[0] = (char)*c;
        } else {
            piece[0] = '=';
            piece[1] = Hex[*c >> 4];
            piece[2] = Hex[*c & 15];
            pieceLength = 3;
        }
        if (line + pieceLength > QP_LINE_CHARS) {
            if (!AppendText(out, size, length, "=\r\n"))
                return 0;
            line = 0;
        }
        if (!Append(out, size, length, piece, pieceLength))
            return 0;
        line += pieceLength;
    }
    return AppendText(out, size, length, "\r\n");
}
