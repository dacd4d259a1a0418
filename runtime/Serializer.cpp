#include "runtime/Serializer.h"

#include "runtime/Strings.h"

void vserializer::writeRaw(const void* bytes, size_t size)
{
    const auto* first = static_cast<const uint8_t*>(bytes);
    data_.insert(data_.end(), first, first + size);
}

void vserializer::writeU32(uint32_t size)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                              static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
    writeRaw(bytes, sizeof(bytes));
}

void vserializer::writeBlock(const void* bytes, uint32_t size)
{
    writeU32(size);
    writeRaw(bytes, size);
}

void vserializer::writeString(const std::wstring& text)
{
    writeU32(static_cast<uint32_t>(1 + text.size() * 2));
    data_.push_back(2);
    for (const wchar_t c : text) {
        data_.push_back(static_cast<uint8_t>(c & 0xFF));
        data_.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
    }
}

void vserializer::writeUInt32(uint32_t value)
{
    writeU32(4);
    writeU32(value);
}

uint32_t vserializer::readU32()
{
    const std::vector<uint8_t> bytes = readBytes(4);
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::vector<uint8_t> vserializer::readBytes(uint32_t size)
{
    // Checked before anything is allocated: the length comes from the other side.
    if (size > data_.size() - position_)
        throw invalidprotocol(L"Unexpected end of data when read from serializer.", WL_CONTEXT());
    std::vector<uint8_t> bytes(data_.begin() + position_, data_.begin() + position_ + size);
    position_ += size;
    return bytes;
}

std::vector<uint8_t> vserializer::readBlock()
{
    const uint32_t size = readU32();
    if (size == errorReplyMark)
        throw vexception(readStringItem(false));
    return readBytes(size);
}

std::wstring vserializer::readString()
{
    return readStringItem(true);
}

std::wstring vserializer::readStringItem(bool errorReplyAllowed)
{
    // The text of an error reply is a plain block: a second mark there is just a length that
    // runs past the end, never another error reply.
    const std::vector<uint8_t> block = errorReplyAllowed ? readBlock() : readBytes(readU32());
    if (block.empty())
        throw invalidprotocol(L"Unexpected end of data when read C-string from serializer.", WL_CONTEXT());
    switch (block[0]) {
    case 1:
        return wstr(std::string(block.begin() + 1, block.end()), CP_ACP);
    case 2: {
        std::wstring text((block.size() - 1) / 2, L'\0');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<wchar_t>(block[1 + 2 * i] | block[2 + 2 * i] << 8);
        return text;
    }
    default:
        throw invalidprotocol(L"Unsupported char size when read C-string from serializer.", WL_CONTEXT());
    }
}

uint32_t vserializer::readUInt32()
{
    const std::vector<uint8_t> block = readBlock();
    if (block.size() != 4)
        throw invalidprotocol(L"Invalid size of block", WL_CONTEXT());
    return static_cast<uint32_t>(block[0]) | static_cast<uint32_t>(block[1]) << 8 |
           static_cast<uint32_t>(block[2]) << 16 | static_cast<uint32_t>(block[3]) << 24;
}
