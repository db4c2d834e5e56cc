#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "session/ByteOrder.h"
#include "session/PeerMessage.h"

namespace {

using morvika::wire::LoadU32;
using morvika::wire::StoreU32;

std::vector<std::uint8_t> WireBlock(std::uint32_t kind, std::uint32_t userId, std::uint32_t groupId,
                                    std::uint32_t lengthField, const std::string& payload)
{
    std::vector<std::uint8_t> block(20 + payload.size());
    StoreU32(block.data() + 0, 0xDEADBEEF);  // reserved: ignored on receipt
    StoreU32(block.data() + 4, kind);
    StoreU32(block.data() + 8, userId);
    StoreU32(block.data() + 12, groupId);
    StoreU32(block.data() + 16, lengthField);
    std::memcpy(block.data() + 20, payload.data(), payload.size());
    return block;
}

void ExpectEmpty(const CPeerMessage& message)
{
    EXPECT_TRUE(message.IsEmpty());
    EXPECT_EQ(message.Kind(), 0u);
    EXPECT_EQ(message.UserId(), 0u);
    EXPECT_EQ(message.GroupId(), 0u);
    EXPECT_EQ(message.PayloadLength(), 0u);
    EXPECT_EQ(message.Payload(), nullptr);
    EXPECT_EQ(message.Block(), nullptr);
    EXPECT_EQ(message.BlockSize(), 0u);
}

TEST(PeerMessage, SetWritesTheHeaderLittleEndianWithSenderFieldsInWireOrder)
{
    const std::string text = "こんにちは";
    CPeerMessage message;
    message.Set(KIND_CHAT_TEXT, /*groupId*/ 0x11223344, /*userId*/ 0xA1B2C3D4, text.data(),
                static_cast<std::int64_t>(text.size()));

    ASSERT_EQ(message.BlockSize(), text.size() + 20);
    const std::uint8_t* block = message.Block();
    EXPECT_EQ(LoadU32(block + 0), 0u);
    EXPECT_EQ(LoadU32(block + 4), KIND_CHAT_TEXT);
    EXPECT_EQ(LoadU32(block + 8), 0xA1B2C3D4u);
    EXPECT_EQ(LoadU32(block + 12), 0x11223344u);
    EXPECT_EQ(LoadU32(block + 16), text.size());
    EXPECT_EQ(block[8], 0xD4);  // least significant byte first
    EXPECT_EQ(message.UserId(), 0xA1B2C3D4u);
    EXPECT_EQ(message.GroupId(), 0x11223344u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(message.Payload())), text);
}

TEST(PeerMessage, NonPositiveOrOversizedLengthGivesTheEmptyMessage)
{
    const char payload[4] = {1, 2, 3, 4};
    for (std::int64_t length : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{-0x80000000LL},
                                std::int64_t{CPeerMessage::kLengthLimit}, std::int64_t{0xFFFFFFFFLL}}) {
        CPeerMessage message;
        message.Set(KIND_VOICE_START, 1, 2, payload, 4);
        message.Set(KIND_VOICE_START, 1, 2, payload, length);  // replaces the earlier block
        SCOPED_TRACE(length);
        ExpectEmpty(message);
    }
}

TEST(PeerMessage, ReceivedChatTextIsFollowedByAZeroByte)
{
    const std::string text(37, 'x');
    const auto wire = WireBlock(KIND_CHAT_TEXT, 7, 9, static_cast<std::uint32_t>(text.size()), text);
    CPeerMessage message;
    message.FromReceived(wire.data(), wire.size());

    EXPECT_EQ(message.Kind(), KIND_CHAT_TEXT);
    EXPECT_EQ(message.UserId(), 7u);
    EXPECT_EQ(message.GroupId(), 9u);
    EXPECT_EQ(message.PayloadLength(), text.size());
    EXPECT_EQ(message.BlockSize(), text.size() + 20);
    EXPECT_EQ(message.Payload()[text.size()], 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(message.Payload())), text.size());
    EXPECT_EQ(LoadU32(message.Block()), 0u) << "the reserved word is not carried over";
}

TEST(PeerMessage, ReceivedBlockMayCarryTrailingBytesBeyondItsLength)
{
    auto wire = WireBlock(KIND_VOICE_DATA, 1, 2, 3, "abcdef");
    CPeerMessage message;
    message.FromReceived(wire.data(), wire.size());
    EXPECT_EQ(message.PayloadLength(), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(message.Payload())), "abc");
}

TEST(PeerMessage, SentBlockIsReceivedAsTheSameMessage)
{
    const std::vector<std::uint8_t> payload = {0, 255, 7, 0, 9};
    CPeerMessage sent;
    sent.Set(KIND_SHARES_DATA, 0x8000'0001, 0x7FFF'FFFF, payload.data(), 5);
    CPeerMessage received;
    received.FromReceived(sent.Block(), sent.BlockSize());
    ASSERT_EQ(received.BlockSize(), sent.BlockSize());
    EXPECT_EQ(std::memcmp(received.Block(), sent.Block(), sent.BlockSize()), 0);
}

TEST(PeerMessage, MalformedReceivedBlocksGiveTheEmptyMessage)
{
    const auto good = WireBlock(KIND_CHAT_TEXT, 1, 2, 4, "abcd");
    CPeerMessage message;

    for (std::size_t size = 0; size < 20; ++size) {
        message.Set(KIND_CHAT_TEXT, 1, 1, "zz", 2);
        message.FromReceived(good.data(), size);
        SCOPED_TRACE(size);
        ExpectEmpty(message);
    }
    message.FromReceived(nullptr, 100);
    ExpectEmpty(message);

    // A length field beyond the bytes received, by one and by far; at and beyond the limit.
    for (std::uint32_t length :
         {5u, 1000u, CPeerMessage::kLengthLimit - 1, CPeerMessage::kLengthLimit, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        const auto bad = WireBlock(KIND_CHAT_TEXT, 1, 2, length, "abcd");
        message.FromReceived(bad.data(), bad.size());
        SCOPED_TRACE(length);
        ExpectEmpty(message);
    }

    // A header alone announces no payload: nothing to act on.
    const auto headerOnly = WireBlock(KIND_VOICE_START, 1, 2, 0, "");
    message.FromReceived(headerOnly.data(), headerOnly.size());
    ExpectEmpty(message);
}

TEST(PeerMessage, CopiesOwnTheirBlock)
{
    CPeerMessage original;
    original.Set(KIND_SHARES_REQUEST, 5, 6, "abc", 3);
    CPeerMessage copy(original);
    original.SetUserId(100);  // as the pump does just before sending
    EXPECT_EQ(original.UserId(), 100u);
    EXPECT_EQ(copy.UserId(), 6u);
    EXPECT_EQ(copy.GroupId(), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.Payload())), "abc");

    CPeerMessage empty;
    copy.CopyFrom(empty);
    ExpectEmpty(copy);
    empty.SetUserId(3);  // no block: nothing to write
    ExpectEmpty(empty);
}

}  // namespace
