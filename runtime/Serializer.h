#pragma once

#include "runtime/Exception.h"

#include <cstdint>
#include <string>
#include <vector>

// The byte format of the management-service protocol: blocks (u32 length, then the bytes),
// string items (a block whose first byte is the character size), 32-bit values (a 4-byte
// block) and error replies (length 0xFFFFFFFF, then a string item with the service's text).
// Integers are little-endian. Written front to back by the client, read front to back from
// a reply.
class vserializer {
public:
    // A reply that does not follow the format.
    class invalidprotocol : public vexception {
    public:
        using vexception::vexception;
    };

    static constexpr uint32_t errorReplyMark = 0xFFFFFFFF;

    vserializer() = default;
    explicit vserializer(std::vector<uint8_t> data) : data_(std::move(data)) {}

    void writeRaw(const void* bytes, size_t size);
    void writeBlock(const void* bytes, uint32_t size);
    // Always UTF-16LE (character size 2).
    void writeString(const std::wstring& text);
    void writeUInt32(uint32_t value);

    // The bytes of the next block; an error reply in its place is thrown as a vexception
    // with the service's text.
    std::vector<uint8_t> readBlock();
    std::wstring readString();
    uint32_t readUInt32();

    const std::vector<uint8_t>& data() const { return data_; }

private:
    void writeU32(uint32_t size);
    uint32_t readU32();
    std::vector<uint8_t> readBytes(uint32_t size);
    std::wstring readStringItem(bool errorReplyAllowed);

    std::vector<uint8_t> data_;
    size_t position_ = 0;
};
