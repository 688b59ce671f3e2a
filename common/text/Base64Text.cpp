#include "common/text/Base64Text.h"

#include <string.h>

#include "common/text/Base64Codec.h"

// A whole number of 3-byte groups, so only the last block is padded.
#define BLOCK_BYTES (BASE64_MAX_ENCODE_BLOCK / 3 * 3)

size_t EncodeBase64Text(const BYTE *data, size_t length, char *text, size_t size, int urlSafe)
{
    if (size == 0)
        return 0;
    size_t written = 0;
    int fits = 1;
    for (size_t at = 0; at < length && fits; at += BLOCK_BYTES) {
        size_t block = length - at < BLOCK_BYTES ? length - at : BLOCK_BYTES;
        Codec.EncodeBuffer(data + at, (uint32_t)block);
        size_t produced = (size_t)Codec.GetOutputLength();
        fits = written + produced < size;
        if (fits) {
            memcpy(text + written, Codec.GetOutputBuffer(), produced);
            written += produced;
        }
    }
    Codec.ClearInput(0);
    Codec.ClearOutput(0);
    if (!fits) {
        memset(text, 0, size);
        return 0;
    }
    if (urlSafe) {
        while (written > 0 && text[written - 1] == '=')
            written--;
        for (size_t i = 0; i < written; i++)
            text[i] = text[i] == '+' ? '-' : text[i] == '/' ? '_' : text[i];
    }
    text[written] = '\0';
    return written;
}
