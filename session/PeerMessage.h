#pragma once
// The peer message: a 20-byte header naming the kind and the sender, then an opaque payload.
//
//   offset 0 reserved (0), 4 kind, 8 user id, 12 group id, 16 payload length, 20 payload
//
// All header words are 32-bit little-endian. The object owns one block holding header and
// payload; without a block it is the empty message (kind 0, length 0, no payload).

#include <cstddef>
#include <cstdint>
#include <memory>

// Message kinds (wire values).
inline constexpr std::uint32_t KIND_PICTURE_FRAME = 1;
inline constexpr std::uint32_t KIND_CHAT_TEXT = 2;
inline constexpr std::uint32_t KIND_SHARES_LIST = 3;
inline constexpr std::uint32_t KIND_SHARES_REQUEST = 4;
inline constexpr std::uint32_t KIND_SHARES_DATA = 5;
inline constexpr std::uint32_t KIND_VOICE_DATA = 128;
inline constexpr std::uint32_t KIND_VOICE_START = 130;
inline constexpr std::uint32_t KIND_WINDOW_SHARE_ON = 33040;   // 0x8110
inline constexpr std::uint32_t KIND_WINDOW_SHARE_OFF = 33041;  // 0x8111

// Characters the chat window's input takes for one line (each up to four bytes on the wire).
inline constexpr int kMaxChatInputChars = 1024;

// True for the kinds above; a message of any other kind is neither sent nor acted on.
bool IsKnownKind(std::uint32_t kind) noexcept;

class CPeerMessage {
public:
    static constexpr std::size_t kHeaderSize = 20;
    // Lengths from here on cannot be represented next to the header in a signed 32-bit
    // size; such a length is treated as a broken message.
    static constexpr std::uint32_t kLengthLimit = 0x7FFFFFEC;

    CPeerMessage() = default;
    CPeerMessage(const CPeerMessage& other);
    CPeerMessage& operator=(const CPeerMessage& other);
    CPeerMessage(CPeerMessage&& other) noexcept;
    CPeerMessage& operator=(CPeerMessage&& other) noexcept;
    ~CPeerMessage() = default;

    // Replaces the content: a zeroed block of 20 + length bytes with the header written and
    // the payload copied (a null payload leaves zeros). A length of 0 or less, one at the
    // limit or beyond, or a failed allocation gives the empty message.
    void Set(std::uint32_t kind, std::uint32_t groupId, std::uint32_t userId, const void* payload, std::int64_t length);
    // As Set, but the block is kept when it has room for the payload: the capture's thread
    // refills the same messages block after block instead of allocating new ones.
    void Refill(std::uint32_t kind, std::uint32_t groupId, std::uint32_t userId, const void* payload,
                std::int64_t length);
    void CopyFrom(const CPeerMessage& other);

    // Builds the message from a block as received from the transport, copying it out of the
    // transport's buffer. A block shorter than the header or whose length field exceeds the
    // received bytes (or reaches the limit) gives the empty message, as does a length of 0
    // (no sender makes one). The reserved word is not carried over.
    void FromReceived(const void* data, std::size_t size);

    void Clear() noexcept;
    bool IsEmpty() const noexcept { return !m_pBlock; }

    std::uint32_t Kind() const noexcept;
    std::uint32_t UserId() const noexcept;
    std::uint32_t GroupId() const noexcept;
    std::uint32_t PayloadLength() const noexcept { return m_dwLength; }
    // The longest payload Refill can put in without a new block.
    std::uint32_t Capacity() const noexcept { return m_dwCapacity; }
    // The payload, followed by one zero byte so a text payload reads as a terminated string;
    // null for the empty message.
    const std::uint8_t* Payload() const noexcept;
    // Header and payload, BlockSize() bytes; null / 0 for the empty message.
    const std::uint8_t* Block() const noexcept { return m_pBlock.get(); }
    std::size_t BlockSize() const noexcept;

    // The pumps overwrite the sender fields just before sending; no effect on the empty message.
    void SetUserId(std::uint32_t userId) noexcept;
    void SetGroupId(std::uint32_t groupId) noexcept;

private:
    // Writes header and payload into the block, which holds at least payloadLength bytes.
    void Fill(std::uint32_t kind, std::uint32_t groupId, std::uint32_t userId, const void* payload,
              std::size_t payloadLength);

    std::unique_ptr<std::uint8_t[]> m_pBlock;
    std::uint32_t m_dwLength = 0;
    std::uint32_t m_dwCapacity = 0;  // the longest payload the block holds
};
