#include "common/text/Base64Codec.h"

#include <string.h>

static const char Base64Alphabet[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Table values besides the six-bit ones.
#define DECODE_NOT_BASE64 254
#define DECODE_PADDING    255

static uint8_t DecodeTable[256];
static uint32_t DecodeTableBuilt = 0;

static void BuildDecodeTable()
{
    memset(DecodeTable, DECODE_NOT_BASE64, sizeof DecodeTable);
    for (int i = 0; i < 64; i++) {
        uint8_t c = (uint8_t)Base64Alphabet[i];
        DecodeTable[c] = (uint8_t)i;
        DecodeTable[c + 128] = (uint8_t)i;
    }
    DecodeTable['='] = DECODE_PADDING;
    DecodeTable['=' + 128] = DECODE_PADDING;
    DecodeTableBuilt = 1;
}

Base64Codec::Base64Codec()
    : InputCapacity(BASE64_BUFFER_SIZE), OutputCapacity(BASE64_BUFFER_SIZE),
      InputLength(0), OutputLength(0)
{
    memset(InputBuffer, 0, sizeof InputBuffer);
    memset(OutputBuffer, 0, sizeof OutputBuffer);
}

Base64Codec::~Base64Codec()
{
}

void Base64Codec::EncodeString(const char *text)
{
    if (text == NULL)
        return;
    EncodeBuffer((const uint8_t *)text, (uint32_t)strlen(text));
}

void Base64Codec::EncodeBuffer(const uint8_t *data, uint32_t length)
{
    // A longer block would overrun the output buffer: only its first
    // BASE64_MAX_ENCODE_BLOCK bytes are taken.
    if (length > BASE64_MAX_ENCODE_BLOCK)
        length = BASE64_MAX_ENCODE_BLOCK;
    SetInput(data, length);
    ClearOutput(0);

    Base64Quantum quantum;
    int32_t pos = 0;
    for (; pos + 3 <= InputLength; pos += 3) {
        memcpy(quantum.bytes, InputBuffer + pos, 3);
        quantum.bytes[3] = 0;
        quantum.count = 3;
        EncodeQuantum(&quantum, OutputBuffer + OutputLength);
        OutputLength += 4;
    }
    if (pos < InputLength) {
        memset(&quantum, 0, sizeof quantum);
        quantum.count = (uint8_t)(InputLength - pos);
        memcpy(quantum.bytes, InputBuffer + pos, quantum.count);
        EncodeQuantum(&quantum, OutputBuffer + OutputLength);
        OutputLength += 4;
    }
    // The last quantum may be the end of a password: nothing of it stays
    // behind on the stack (written through volatile, so the store is kept).
    volatile uint8_t *left = (volatile uint8_t *)&quantum;
    for (size_t i = 0; i < sizeof quantum; i++)
        left[i] = 0;
}

void Base64Codec::DecodeString(const char *text)
{
    if (text == NULL)
        return;
    DecodeBuffer(text, (uint32_t)strlen(text));
}

// Decoding returns exactly the bytes that the text encodes: characters outside
// the alphabet are skipped, the first padding character ends the data, and a
// group of n characters (2 to 4) yields n - 1 bytes; a lone trailing character
// carries no whole byte and yields none.
void Base64Codec::DecodeBuffer(const char *text, uint32_t length)
{
    if (!DecodeTableBuilt)
        BuildDecodeTable();
    StripWhitespace(text, length);
    ClearInput(0);

    Base64Quantum quantum;
    memset(&quantum, 0, sizeof quantum);
    uint8_t out[3];
    for (int32_t i = 0; i < OutputLength; i++) {
        uint8_t value = DecodeTable[(uint8_t)OutputBuffer[i]];
        if (value == DECODE_PADDING)
            break;
        if (value == DECODE_NOT_BASE64)
            continue;
        quantum.bytes[quantum.count++] = value;
        if (quantum.count == 4) {
            DecodeQuantum(&quantum, out);
            // 2,048 characters give at most 1,536 bytes: always room.
            memcpy(InputBuffer + InputLength, out, 3);
            InputLength += 3;
            memset(&quantum, 0, sizeof quantum);
        }
    }
    if (quantum.count >= 2) {
        DecodeQuantum(&quantum, out);
        memcpy(InputBuffer + InputLength, out, quantum.count - 1);
        InputLength += quantum.count - 1;
    }
}

uint8_t *Base64Codec::GetInputBuffer()
{
    return InputBuffer;
}

char *Base64Codec::GetOutputBuffer()
{
    return OutputBuffer;
}

int32_t Base64Codec::GetInputLength()
{
    return InputLength;
}

int32_t Base64Codec::GetOutputLength()
{
    return OutputLength;
}

uint32_t Base64Codec::ClearOutput(uint32_t)
{
    memset(OutputBuffer, 0, OutputCapacity);
    OutputLength = 0;
    return 0;
}

uint32_t Base64Codec::ClearInput(uint32_t)
{
    memset(InputBuffer, 0, InputCapacity);
    InputLength = 0;
    return 0;
}

void Base64Codec::StripWhitespace(const char *text, uint32_t length)
{
    ClearOutput(0);
    if (text == NULL)
        return;
    for (uint32_t i = 0; i < length && (uint32_t)OutputLength < OutputCapacity; i++) {
        if (!IsWhitespace((uint8_t)text[i]))
            OutputBuffer[OutputLength++] = text[i];
    }
}

void Base64Codec::SetInput(const uint8_t *data, uint32_t length)
{
    ClearInput(0);
    if (data == NULL)
        return;
    if (length > InputCapacity)
        length = InputCapacity;
    memcpy(InputBuffer, data, length);
    InputLength = (int32_t)length;
}

void Base64Codec::EncodeQuantum(const Base64Quantum *quantum, char *out)
{
    uint8_t sextets[4];
    SplitQuantum(sextets, quantum->bytes);
    for (int i = 0; i < 4; i++)
        out[i] = Base64Alphabet[sextets[i]];
    if (quantum->count == 1)
        out[2] = '=';
    if (quantum->count <= 2)
        out[3] = '=';
}

uint32_t Base64Codec::DecodeQuantum(const Base64Quantum *quantum, uint8_t *out)
{
    JoinQuantum(out, quantum->bytes);
    uint32_t count = 0;
    for (int i = 0; i < 3; i++) {
        if (out[i] != 255)
            count++;
    }
    return count;
}

void Base64Codec::SplitQuantum(uint8_t *sextets, const uint8_t *bytes)
{
    sextets[0] = (uint8_t)(bytes[0] >> 2);
    sextets[1] = (uint8_t)(((bytes[0] & 0x03) << 4) | (bytes[1] >> 4));
    sextets[2] = (uint8_t)(((bytes[1] & 0x0F) << 2) | (bytes[2] >> 6));
    sextets[3] = (uint8_t)(bytes[2] & 0x3F);
}

void Base64Codec::JoinQuantum(uint8_t *bytes, const uint8_t *sextets)
{
    bytes[0] = (uint8_t)((sextets[0] << 2) | ((sextets[1] >> 4) & 0x03));
    bytes[1] = (uint8_t)((sextets[1] << 4) | ((sextets[2] >> 2) & 0x0F));
    bytes[2] = (uint8_t)((sextets[2] << 6) | (sextets[3] & 0x3F));
}

int32_t Base64Codec::IsWhitespace(uint8_t character)
{
    return (character >= 7 && character <= 13) || character == 32;
}
