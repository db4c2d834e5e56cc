// Received peer message blocks: any bytes give a well-formed message or the empty one.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "session/ByteOrder.h"
#include "session/PeerMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CPeerMessage message;
    message.FromReceived(data, size);
    if (message.IsEmpty()) {
        if (size >= CPeerMessage::kHeaderSize) {
            const std::uint32_t length = morvika::wire::LoadU32(data + 16);
            if (length != 0 && length <= size - CPeerMessage::kHeaderSize && length < CPeerMessage::kLengthLimit)
                __builtin_trap();  // a valid block was refused
        }
        return 0;
    }
    const std::uint32_t length = message.PayloadLength();
    if (length == 0 || length > size - CPeerMessage::kHeaderSize ||
        message.BlockSize() != CPeerMessage::kHeaderSize + length || message.Payload()[length] != 0 ||
        std::memcmp(message.Payload(), data + CPeerMessage::kHeaderSize, length) != 0 ||
        std::memcmp(message.Block() + 4, data + 4, 16) != 0)
        __builtin_trap();

    // What was received can be sent on unchanged.
    CPeerMessage again;
    again.FromReceived(message.Block(), message.BlockSize());
    if (again.BlockSize() != message.BlockSize() ||
        std::memcmp(again.Block(), message.Block(), message.BlockSize()) != 0)
        __builtin_trap();
    return 0;
}
