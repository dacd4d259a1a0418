#include "runtime/Serializer.h"
#include "runtime/Strings.h"
#include "support/Capture.h"

#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;

TEST(Serializer, WritesLittleEndianItemsAndReadsThemBack)
{
    vserializer writer;
    writer.writeBlock("\xAA\xBB", 2);
    writer.writeString(L"A\u00e9\u4e2d");
    writer.writeString(L"");
    writer.writeUInt32(0xFFFFFFFE);
    // A block, text of character size 2, empty text (only the size byte), a value.
    EXPECT_EQ((Bytes{2, 0, 0, 0, 0xAA, 0xBB, 7, 0, 0, 0, 2, 'A', 0, 0xE9, 0, 0x2D, 0x4E, 1, 0, 0, 0, 2,
                     4, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}), writer.data());
    vserializer reader(Bytes(writer.data().begin() + 6, writer.data().end()));
    EXPECT_EQ(L"A\u00e9\u4e2d", reader.readString());
    EXPECT_EQ(L"", reader.readString());
    EXPECT_EQ(0xFFFFFFFEu, reader.readUInt32());
    // Narrow text in the system code page, then wide text whose odd last byte is no character.
    vserializer texts(Bytes{5, 0, 0, 0, 1, 'C', 'a', 'f', 0xE9, 6, 0, 0, 0, 2, 'a', 0, 'b', 0, 'c'});
    EXPECT_EQ(wstr("Caf\xE9", CP_ACP), texts.readString());
    EXPECT_EQ(L"ab", texts.readString());
}

// An error reply (0xFFFFFFFF, then the service's text) stands for any item and is the
// service's answer; anything else malformed is a protocol fault.
TEST(Serializer, ErrorRepliesAndMalformedRepliesRaiseTheirTexts)
{
    const std::wstring endOfData = L"Unexpected end of data when read from serializer.";
    const std::wstring charSize = L"Unsupported char size when read C-string from serializer.";
    const Bytes reply{0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0, 2, 'N', 0, 'o', 0, '!', 0};
    const std::wstring blockSize = L"Invalid size of block";
    // Read as text or as a value. A length from the other side is checked before anything is
    // allocated; the text of an error reply is a plain block, so a second mark cannot nest replies.
    const std::tuple<Bytes, bool, std::wstring> cases[] = {
        {reply, true, L"No!"}, {reply, false, L"No!"}, {{}, true, endOfData}, {{5, 0, 0}, true, endOfData},
        {{9, 0, 0, 0, 2, 'a', 0}, true, endOfData}, {{0xFE, 0xFF, 0xFF, 0xFF, 2}, true, endOfData},
        {Bytes(4000, 0xFF), true, endOfData},
        {{0, 0, 0, 0}, true, L"Unexpected end of data when read C-string from serializer."},
        {{3, 0, 0, 0, 3, 'a', 0}, true, charSize}, {{1, 0, 0, 0, 0}, true, charSize}, {{0, 0, 0, 0}, false, blockSize},
        {{3, 0, 0, 0, 1, 0, 0}, false, blockSize}, {{5, 0, 0, 0, 1, 0, 0, 0, 0}, false, blockSize},
        {{4, 0, 0, 0, 1, 0}, false, endOfData}};
    for (const auto& [data, asText, text] : cases) {
        SCOPED_TRACE(testing::PrintToString(data));
        const auto read = [&, asText = asText, &data = data] {
            vserializer reader(data);
            asText ? reader.readString() : std::to_wstring(reader.readUInt32());
        };
        const auto error = testbed::thrown(read);
        EXPECT_EQ(text, error ? error->message() : L"no error");
        EXPECT_EQ(text != L"No!", testbed::thrown<vserializer::invalidprotocol>(read).has_value());
    }
}
