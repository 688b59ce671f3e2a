#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "common/text/Base64Codec.h"

namespace {

std::string Encoded(Base64Codec &codec, const void *data, uint32_t length)
{
    codec.EncodeBuffer((const uint8_t *)data, length);
    return std::string(codec.GetOutputBuffer(), codec.GetOutputLength());
}

std::string Decoded(Base64Codec &codec, const char *text)
{
    codec.DecodeString(text);
    return std::string((const char *)codec.GetInputBuffer(), codec.GetInputLength());
}

// The output buffer past the text must be all zero: the mailer reads it as a string.
bool ZeroAfterText(Base64Codec &codec)
{
    const char *out = codec.GetOutputBuffer();
    for (int i = codec.GetOutputLength(); i < BASE64_BUFFER_SIZE; i++) {
        if (out[i] != 0)
            return false;
    }
    return true;
}

TEST(Base64Codec, ShortBlocksAndPadding)
{
    Base64Codec codec;
    EXPECT_EQ("", Encoded(codec, "", 0));
    EXPECT_TRUE(ZeroAfterText(codec));
    EXPECT_EQ("TQ==", Encoded(codec, "M", 1));
    EXPECT_EQ("TWE=", Encoded(codec, "Ma", 2));
    EXPECT_EQ("TWFu", Encoded(codec, "Man", 3));
    EXPECT_EQ("TWFueQ==", Encoded(codec, "Many", 4));
    const uint8_t extremes[] = {0x00, 0xFF, 0x00, 0xFF, 0xFF};
    EXPECT_EQ("AP8A//8=", Encoded(codec, extremes, sizeof extremes));
    EXPECT_TRUE(ZeroAfterText(codec));
}

TEST(Base64Codec, FullBlockHasNoPaddingAndShorterBlockLeavesNoResidue)
{
    Base64Codec codec;
    uint8_t block[1026];
    for (int i = 0; i < 1026; i++)
        block[i] = (uint8_t)(i * 7 + 3);
    std::string full = Encoded(codec, block, sizeof block);
    EXPECT_EQ(1368u, full.size());
    EXPECT_EQ(std::string::npos, full.find('='));
    EXPECT_EQ(1026, codec.GetInputLength());

    EXPECT_EQ("AAE=", Encoded(codec, "\x00\x01", 2));
    EXPECT_TRUE(ZeroAfterText(codec));
    EXPECT_EQ(2, codec.GetInputLength());

    // Round trip through the decoder.
    Encoded(codec, block, 1026);
    std::string text(codec.GetOutputBuffer());
    EXPECT_EQ(std::string((const char *)block, 1026), Decoded(codec, text.c_str()));
}

TEST(Base64Codec, NullPointersChangeNothing)
{
    Base64Codec codec;
    Encoded(codec, "abc", 3);
    codec.EncodeString(NULL);
    codec.DecodeString(NULL);
    EXPECT_STREQ("YWJj", codec.GetOutputBuffer());
    EXPECT_EQ(3, codec.GetInputLength());
    codec.EncodeString("abcd");
    EXPECT_STREQ("YWJjZA==", codec.GetOutputBuffer());
    // A null block with a length encodes as nothing rather than reading from null.
    codec.EncodeBuffer(NULL, 10);
    EXPECT_EQ(0, codec.GetOutputLength());
}

TEST(Base64Codec, OversizedBlockIsCutToWhatTheBuffersHold)
{
    Base64Codec codec;
    static uint8_t big[4000];
    memset(big, 'x', sizeof big);
    codec.EncodeBuffer(big, sizeof big);
    EXPECT_EQ(BASE64_MAX_ENCODE_BLOCK, codec.GetInputLength());
    EXPECT_EQ(2044, codec.GetOutputLength());
    EXPECT_TRUE(ZeroAfterText(codec));

    static char text[5000];
    memset(text, 'Q', sizeof text - 1);
    codec.DecodeString(text);
    EXPECT_EQ(1536, codec.GetInputLength());
}

TEST(Base64Codec, DecodeReturnsExactlyTheEncodedBytes)
{
    Base64Codec codec;
    EXPECT_EQ("M", Decoded(codec, "TQ=="));
    EXPECT_EQ("Ma", Decoded(codec, "TWE="));
    EXPECT_EQ("Man", Decoded(codec, "TWFu"));
    EXPECT_EQ("Ma", Decoded(codec, "TWE"));
    EXPECT_EQ("", Decoded(codec, "T"));
    // Whitespace anywhere, also inside a group of four, is skipped.
    EXPECT_EQ("Many", Decoded(codec, " T\tW\r\nFu\x0b"
                                     "e Q\x07=\x0c="));
    // Characters outside the alphabet are skipped; padding ends the data.
    EXPECT_EQ("Man", Decoded(codec, "TW*Fu"));
    EXPECT_EQ("M", Decoded(codec, "TQ==TWFu"));
    EXPECT_EQ(std::string("\x00\xff", 2), Decoded(codec, "AP8="));
}

} // namespace
