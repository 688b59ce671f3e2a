#include "common/text/JsonReader.h"

#include <string.h>

// Longest member name compared; longer names match nothing and are skipped.
#define JSON_NAME_SIZE 64

struct JsonCursor {
    const char *At;
    const char *End;
};

static void SkipSpace(JsonCursor *c)
{
    while (c->At < c->End && (*c->At == ' ' || *c->At == '\t' || *c->At == '\r' || *c->At == '\n'))
        c->At++;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static int ReadHex4(JsonCursor *c, unsigned *value)
{
    if (c->End - c->At < 4)
        return 0;
    *value = 0;
    for (int i = 0; i < 4; i++) {
        int digit = HexDigitValue(*c->At++);
        if (digit < 0)
            return 0;
        *value = *value << 4 | (unsigned)digit;
    }
    return 1;
}

// Appends one byte to out when there is room; *fits turns 0 once not.
static void Put(char *out, size_t size, size_t *length, int *fits, unsigned byte)
{
    if (out != NULL && *length + 1 < size)
        out[*length] = (char)byte;
    else
        *fits = 0;
    (*length)++;
}

static void PutCodePoint(char *out, size_t size, size_t *length, int *fits, unsigned point)
{
    if (point < 0x80) {
        Put(out, size, length, fits, point);
    } else if (point < 0x800) {
        Put(out, size, length, fits, 0xC0 | point >> 6);
        Put(out, size, length, fits, 0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        Put(out, size, length, fits, 0xE0 | point >> 12);
        Put(out, size, length, fits, 0x80 | (point >> 6 & 0x3F));
        Put(out, size, length, fits, 0x80 | (point & 0x3F));
    } else {
        Put(out, size, length, fits, 0xF0 | point >> 18);
        Put(out, size, length, fits, 0x80 | (point >> 12 & 0x3F));
        Put(out, size, length, fits, 0x80 | (point >> 6 & 0x3F));
        Put(out, size, length, fits, 0x80 | (point & 0x3F));
    }
}

// A \u escape after its backslash and u; a surrogate pair is one character,
// a lone surrogate becomes '?'.
static int ReadUnicodeEscape(JsonCursor *c, char *out, size_t size, size_t *length, int *fits)
{
    unsigned point;
    if (!ReadHex4(c, &point))
        return 0;
    if (point >= 0xD800 && point < 0xDC00 && c->End - c->At >= 6 && c->At[0] == '\\' && c->At[1] == 'u') {
        JsonCursor low = {c->At + 2, c->End};
        unsigned second;
        if (ReadHex4(&low, &second) && second >= 0xDC00 && second < 0xE000) {
            c->At = low.At;
            point = 0x10000 + ((point - 0xD800) << 10) + (second - 0xDC00);
        }
    }
    if (point >= 0xD800 && point < 0xE000)
        point = '?';
    PutCodePoint(out, size, length, fits, point);
    return 1;
}

// A string, at its opening quote. With out, its unescaped text (terminated
// when it fits, *fits says whether it did); without, it is only checked.
static int ReadString(JsonCursor *c, char *out, size_t size, int *fits)
{
    static const char Escaped[] = "\"\\/bfnrt";
    static const char Meant[] = "\"\\/\b\f\n\r\t";
    size_t length = 0;
    *fits = 1;
    if (c->At >= c->End || *c->At != '"')
        return 0;
    c->At++;
    for (;;) {
        if (c->At >= c->End)
            return 0;
        unsigned char ch = (unsigned char)*c->At++;
        if (ch == '"')
            break;
        if (ch < 0x20)
            return 0;
        if (ch != '\\') {
            Put(out, size, &length, fits, ch);
            continue;
        }
        if (c->At >= c->End)
            return 0;
        char kind = *c->At++;
        const char *known = kind != '\0' ? strchr(Escaped, kind) : NULL;
        if (kind == 'u') {
            if (!ReadUnicodeEscape(c, out, size, &length, fits))
                return 0;
        } else if (known != NULL) {
            Put(out, size, &length, fits, (unsigned char)Meant[known - Escaped]);
        } else {
            return 0;
        }
    }
    if (out != NULL && size > 0)
        out[*fits ? length : 0] = '\0';
    return 1;
}

static int ReadLiteral(JsonCursor *c, const char *word)
{
    size_t length = strlen(word);
    if ((size_t)(c->End - c->At) < length || memcmp(c->At, word, length) != 0)
        return 0;
    c->At += length;
    return 1;
}

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

static int ReadDigits(JsonCursor *c)
{
    const char *start = c->At;
    while (c->At < c->End && IsDigit(*c->At))
        c->At++;
    return c->At > start;
}

static int ReadNumberText(JsonCursor *c)
{
    if (c->At < c->End && *c->At == '-')
        c->At++;
    if (!ReadDigits(c))
        return 0;
    if (c->At < c->End && *c->At == '.') {
        c->At++;
        if (!ReadDigits(c))
            return 0;
    }
    if (c->At < c->End && (*c->At == 'e' || *c->At == 'E')) {
        c->At++;
        if (c->At < c->End && (*c->At == '+' || *c->At == '-'))
            c->At++;
        if (!ReadDigits(c))
            return 0;
    }
    return 1;
}

static int SkipValue(JsonCursor *c, int depth);

// The members or elements of an object or array, after its opening bracket.
static int SkipContainer(JsonCursor *c, int depth, char close, int members)
{
    SkipSpace(c);
    if (c->At < c->End && *c->At == close) {
        c->At++;
        return 1;
    }
    for (;;) {
        int fits;
        SkipSpace(c);
        if (members) {
            if (!ReadString(c, NULL, 0, &fits))
                return 0;
            SkipSpace(c);
            if (c->At >= c->End || *c->At++ != ':')
                return 0;
        }
        if (!SkipValue(c, depth + 1))
            return 0;
        SkipSpace(c);
        if (c->At >= c->End)
            return 0;
        char next = *c->At++;
        if (next == close)
            return 1;
        if (next != ',')
            return 0;
    }
}

static int SkipValue(JsonCursor *c, int depth)
{
    if (depth > JSON_DEPTH_LIMIT)
        return 0;
    SkipSpace(c);
    if (c->At >= c->End)
        return 0;
    int fits;
    switch (*c->At) {
    case '{': c->At++; return SkipContainer(c, depth, '}', 1);
    case '[': c->At++; return SkipContainer(c, depth, ']', 0);
    case '"': return ReadString(c, NULL, 0, &fits);
    case 't': return ReadLiteral(c, "true");
    case 'f': return ReadLiteral(c, "false");
    case 'n': return ReadLiteral(c, "null");
    default: return ReadNumberText(c);
    }
}

// Leaves the cursor at the value of the first top-level member `name`.
static int FindMember(const char *json, size_t length, const char *name, JsonCursor *c)
{
    JsonCursor whole = {json, json + length};
    if (json == NULL)
        return JsonUnusable;
    SkipSpace(&whole);
    if (whole.At >= whole.End || *whole.At != '{' || !SkipValue(&whole, 0))
        return JsonUnusable;
    SkipSpace(&whole);
    if (whole.At != whole.End)
        return JsonUnusable;
    // Well formed: walk the top-level members.
    c->At = json;
    c->End = json + length;
    SkipSpace(c);
    c->At++;
    for (;;) {
        SkipSpace(c);
        if (*c->At == '}')
            return JsonAbsent;
        char key[JSON_NAME_SIZE];
        int fits;
        ReadString(c, key, sizeof key, &fits);
        SkipSpace(c);
        c->At++;            // the colon
        SkipSpace(c);
        if (fits && strcmp(key, name) == 0)
            return JsonTaken;
        SkipValue(c, 1);
        SkipSpace(c);
        if (*c->At++ == '}')
            return JsonAbsent;
    }
}

int JsonString(const char *json, size_t length, const char *name, char *text, size_t size)
{
    if (size > 0)
        text[0] = '\0';
    JsonCursor c;
    int found = FindMember(json, length, name, &c);
    if (found != JsonTaken)
        return found;
    int fits;
    if (*c.At != '"' || size == 0 || !ReadString(&c, text, size, &fits) || !fits) {
        if (size > 0)
            text[0] = '\0';
        return JsonUnusable;
    }
    return JsonTaken;
}

int JsonNumber(const char *json, size_t length, const char *name, DWORD *value)
{
    JsonCursor c;
    int found = FindMember(json, length, name, &c);
    if (found != JsonTaken)
        return found;
    int quoted = *c.At == '"';
    if (quoted)
        c.At++;
    unsigned long long number = 0;
    const char *start = c.At;
    while (c.At < c.End && IsDigit(*c.At) && number <= 0xFFFFFFFFull)
        number = number * 10 + (unsigned)(*c.At++ - '0');
    int ended = c.At < c.End && (quoted ? *c.At == '"' : !IsDigit(*c.At) && *c.At != '.' && *c.At != 'e' &&
                                                             *c.At != 'E');
    if (c.At == start || !ended || number > 0xFFFFFFFFull)
        return JsonUnusable;
    *value = (DWORD)number;
    return JsonTaken;
}
