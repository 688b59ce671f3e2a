// Base64 encoder (and decoder) of the mail attachment. Works entirely inside
// two fixed buffers of its own and never allocates; each program holds one
// global instance, Codec, used by one mail transfer at a time.
#pragma once

#include <stdint.h>

#define BASE64_BUFFER_SIZE 2048
// Largest block whose text (2,044 characters) still leaves a zero byte after
// it in the output buffer.
#define BASE64_MAX_ENCODE_BLOCK 1533

struct Base64Quantum {
    uint8_t bytes[4];
    uint8_t count;
};

class Base64Codec {
public:
    Base64Codec();
    virtual ~Base64Codec();
    virtual void EncodeString(const char *text);
    virtual void EncodeBuffer(const uint8_t *data, uint32_t length);
    virtual void DecodeString(const char *text);
    virtual void DecodeBuffer(const char *text, uint32_t length);
    virtual uint8_t *GetInputBuffer();
    virtual char *GetOutputBuffer();
    virtual int32_t GetInputLength();
    virtual int32_t GetOutputLength();
    virtual uint32_t ClearOutput(uint32_t sizeHint);
    virtual uint32_t ClearInput(uint32_t sizeHint);
    virtual void StripWhitespace(const char *text, uint32_t length);
    virtual void SetInput(const uint8_t *data, uint32_t length);
    virtual void EncodeQuantum(const Base64Quantum *quantum, char *out);
    virtual uint32_t DecodeQuantum(const Base64Quantum *quantum, uint8_t *out);
    virtual void SplitQuantum(uint8_t *sextets, const uint8_t *bytes);
    virtual void JoinQuantum(uint8_t *bytes, const uint8_t *sextets);
    virtual int32_t IsWhitespace(uint8_t character);

private:
    uint8_t InputBuffer[BASE64_BUFFER_SIZE];
    char OutputBuffer[BASE64_BUFFER_SIZE];
    uint32_t InputCapacity;
    uint32_t OutputCapacity;
    int32_t InputLength;
    int32_t OutputLength;
};

// The program's one codec.
extern Base64Codec Codec;
