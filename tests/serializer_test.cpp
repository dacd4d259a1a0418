#include "panel/Serializer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::initializer_list<int> values)
{
    Bytes result;
    for (const int value : values)
        result.push_back(static_cast<uint8_t>(value));
    return result;
}

template <class Read>
std::wstring invalidProtocolText(const Bytes& data, Read read)
{
    vserializer reader(data);
    try {
        read(reader);
    } catch (const vserializer::invalidprotocol& error) {
        return error.message();
    }
    return L"(no invalidprotocol)";
}

void readString(vserializer& reader)
{
    reader.readString();
}

void readValue(vserializer& reader)
{
    reader.readUInt32();
}

} // namespace

TEST(Serializer, WritesBlocksStringItemsAndValuesLittleEndian)
{
    vserializer writer;
    const uint8_t raw[] = {0xAA, 0xBB};
    writer.writeBlock(raw, sizeof(raw));
    writer.writeString(L"A\u00e9\u4e2d");
    writer.writeString(L"");
    writer.writeUInt32(0x01020304);
    EXPECT_EQ(bytes({2, 0, 0, 0, 0xAA, 0xBB,                               // block
                     7, 0, 0, 0, 2, 'A', 0, 0xE9, 0, 0x2D, 0x4E,           // size 2, three code units
                     1, 0, 0, 0, 2,                                        // empty text: only the size byte
                     4, 0, 0, 0, 4, 3, 2, 1}),
              writer.data());
}

TEST(Serializer, ReadsWhatItWrites)
{
    vserializer writer;
    writer.writeString(L"x\u0416y");
    writer.writeUInt32(0xFFFFFFFE);
    writer.writeString(L"");
    vserializer reader(writer.data());
    EXPECT_EQ(L"x\u0416y", reader.readString());
    EXPECT_EQ(0xFFFFFFFEu, reader.readUInt32());
    EXPECT_EQ(L"", reader.readString());
}

TEST(Serializer, ErrorReplyIsThrownWithTheServiceTextInPlaceOfAnyItem)
{
    // u32 0xFFFFFFFF, then a string item "No!" in UTF-16
    const Bytes reply = bytes({0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0, 2, 'N', 0, 'o', 0, '!', 0});
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
    EXPECT_EQ(endOfData, invalidProtocolText({}, readString));
    EXPECT_EQ(endOfData, invalidProtocolText(bytes({5, 0, 0}), readString));               // short length
    EXPECT_EQ(endOfData, invalidProtocolText(bytes({9, 0, 0, 0, 2, 'a', 0}), readString)); // block past the end
    // A length from the other side is checked before anything is allocated.
    EXPECT_EQ(endOfData, invalidProtocolText(bytes({0xFE, 0xFF, 0xFF, 0xFF, 2}), readString));
    // The text of an error reply is a plain block: a second mark cannot nest replies.
    EXPECT_EQ(endOfData, invalidProtocolText(Bytes(4000, 0xFF), readString));

    EXPECT_EQ(L"Unexpected end of data when read C-string from serializer.",
              invalidProtocolText(bytes({0, 0, 0, 0}), readString));
    EXPECT_EQ(L"Unsupported char size when read C-string from serializer.",
              invalidProtocolText(bytes({3, 0, 0, 0, 3, 'a', 0}), readString));
    EXPECT_EQ(L"Unsupported char size when read C-string from serializer.",
              invalidProtocolText(bytes({1, 0, 0, 0, 0}), readString));

    EXPECT_EQ(L"Invalid size of block", invalidProtocolText(bytes({8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), readValue));
    EXPECT_EQ(L"Invalid size of block", invalidProtocolText(bytes({0, 0, 0, 0}), readValue));
    EXPECT_EQ(endOfData, invalidProtocolText(bytes({4, 0, 0, 0, 1, 0}), readValue));
}

TEST(Serializer, NarrowTextComesFromTheAnsiCodePageAndOddBytesAreDropped)
{
    const std::string narrow = "Caf\xE9 \xA3";
    wchar_t expected[16] = {};
    const int length = MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), expected, 16);
    Bytes item = bytes({7, 0, 0, 0, 1});
    item.insert(item.end(), narrow.begin(), narrow.end());
    EXPECT_EQ(std::wstring(expected, length), vserializer(item).readString());

    // size 2 with an odd number of character bytes: the last byte is no character
    EXPECT_EQ(L"ab", vserializer(bytes({6, 0, 0, 0, 2, 'a', 0, 'b', 0, 'c'})).readString());
    // bytes after the items read are ignored
    EXPECT_EQ(1u, vserializer(bytes({4, 0, 0, 0, 1, 0, 0, 0, 9, 9, 9})).readUInt32());
}
