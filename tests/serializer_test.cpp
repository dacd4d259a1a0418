#include "runtime/Serializer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void readString(vserializer& reader)
{
    reader.readString();
}

void readValue(vserializer& reader)
{
    reader.readUInt32();
}

std::wstring invalidProtocolText(const Bytes& data, void (*read)(vserializer&))
{
    vserializer reader(data);
    try {
        read(reader);
    } catch (const vserializer::invalidprotocol& error) {
        return error.message();
    }
    return L"(no invalidprotocol)";
}

TEST(Serializer, WritesLittleEndianItemsAndReadsThemBack)
{
    vserializer writer;
    const uint8_t raw[] = {0xAA, 0xBB};
    writer.writeBlock(raw, sizeof(raw));
    writer.writeString(L"A\u00e9\u4e2d");
    writer.writeString(L"");
    writer.writeUInt32(0xFFFFFFFE);
    EXPECT_EQ((Bytes{2, 0, 0, 0, 0xAA, 0xBB,                     // block
                     7, 0, 0, 0, 2, 'A', 0, 0xE9, 0, 0x2D, 0x4E, // size 2, three code units
                     1, 0, 0, 0, 2,                              // empty text: only the size byte
                     4, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}),
              writer.data());

    vserializer reader(Bytes(writer.data().begin() + 6, writer.data().end()));
    EXPECT_EQ(L"A\u00e9\u4e2d", reader.readString());
    EXPECT_EQ(L"", reader.readString());
    EXPECT_EQ(0xFFFFFFFEu, reader.readUInt32());
}

TEST(Serializer, ErrorReplyIsThrownWithTheServiceTextInPlaceOfAnyItem)
{
    // u32 0xFFFFFFFF, then a string item "No!" in UTF-16
    const Bytes reply{0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0, 2, 'N', 0, 'o', 0, '!', 0};
    for (void (*read)(vserializer&) : {readString, readValue}) {
        vserializer reader(reply);
        try {
            read(reader);
            ADD_FAILURE() << "no error";
        } catch (const vserializer::invalidprotocol&) {
            ADD_FAILURE() << "an error reply is the service's answer, not a protocol fault";
        } catch (const vexception& error) {
            EXPECT_EQ(L"No!", error.message());
        }
    }
}

TEST(Serializer, MalformedRepliesRaiseInvalidProtocolWithTheirTexts)
{
    const std::wstring endOfData = L"Unexpected end of data when read from serializer.";
    const std::wstring charSize = L"Unsupported char size when read C-string from serializer.";
    const std::wstring blockSize = L"Invalid size of block";
    const struct {
        Bytes data;
        void (*read)(vserializer&);
        std::wstring text;
    } cases[] = {
        {{}, readString, endOfData},
        {{5, 0, 0}, readString, endOfData},                // short length
        {{9, 0, 0, 0, 2, 'a', 0}, readString, endOfData},  // block past the end
        // A length from the other side is checked before anything is allocated.
        {{0xFE, 0xFF, 0xFF, 0xFF, 2}, readString, endOfData},
        // The text of an error reply is a plain block: a second mark cannot nest replies.
        {Bytes(4000, 0xFF), readString, endOfData},
        {{0, 0, 0, 0}, readString, L"Unexpected end of data when read C-string from serializer."},
        {{3, 0, 0, 0, 3, 'a', 0}, readString, charSize},
        {{1, 0, 0, 0, 0}, readString, charSize},
        {{8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, readValue, blockSize},
        {{0, 0, 0, 0}, readValue, blockSize},
        {{4, 0, 0, 0, 1, 0}, readValue, endOfData},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, invalidProtocolText(c.data, c.read)) << testing::PrintToString(c.data);
}

TEST(Serializer, NarrowTextComesFromTheAnsiCodePageAndOddBytesAreDropped)
{
    const std::string narrow = "Caf\xE9 \xA3";
    wchar_t expected[16] = {};
    const int length = MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), expected, 16);
    Bytes item{7, 0, 0, 0, 1};
    item.insert(item.end(), narrow.begin(), narrow.end());
    EXPECT_EQ(std::wstring(expected, length), vserializer(item).readString());

    // size 2 with an odd number of character bytes: the last byte is no character
    EXPECT_EQ(L"ab", vserializer(Bytes{6, 0, 0, 0, 2, 'a', 0, 'b', 0, 'c'}).readString());
    // bytes after the items read are ignored
    EXPECT_EQ(1u, vserializer(Bytes{4, 0, 0, 0, 1, 0, 0, 0, 9, 9, 9}).readUInt32());
}

} // namespace
